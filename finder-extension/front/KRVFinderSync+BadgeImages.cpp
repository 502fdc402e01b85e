// The six badge images: a symbol in the badge's colour, cropped to its
// visible pixels and stretched to fill the 16-point badge square, or a plain
// dot of that colour when the symbol cannot be had. Registered with the
// Finder Sync controller once, at start-up.
#include "finder-extension/front/KRVFinderSync+BadgeImages.h"

#include <algorithm>
#include <array>
#include <climits>

#include "finder-extension/front/KRVFinderSync.h"
#include "finder-extension/registry/KRVBadgeIdentifiers.h"

namespace {

struct BadgeRow {
  const std::string& identifier;
  const char* label;
  const char* symbolName;
  graphics::Color color;
};

// Registered in this order; "clean" has no image.
const std::array<BadgeRow, 6>& badgeTable() {
  static const std::array<BadgeRow, 6> table{{
      {KRVFinderSyncBadgeConflicted, "Conflicted", "exclamationmark.circle.fill", graphics::systemRedColor},
      {KRVFinderSyncBadgeModified, "Modified", "pencil.circle.fill", graphics::systemOrangeColor},
      {KRVFinderSyncBadgeAdded, "Added", "plus.circle.fill", graphics::systemBlueColor},
      {KRVFinderSyncBadgeDeleted, "Deleted", "minus.circle.fill", graphics::systemGrayColor},
      {KRVFinderSyncBadgeLocked, "Locked", "lock.circle.fill", graphics::systemPurpleColor},
      {KRVFinderSyncBadgeUnversioned, "Unversioned", "questionmark.circle.fill", graphics::systemGrayColor},
  }};
  return table;
}

constexpr double kBadgeSize = 16;
constexpr double kSymbolPointSize = 64;
// A pixel is visible when its alpha sample is above this.
constexpr unsigned kInvisibleAlpha = 16;

}  // namespace

void KRVFinderSync::p_registerBadgeImages() {
  for (const BadgeRow& row : badgeTable()) {
    auto image = p_badgeImageWithSymbolName(row.symbolName, row.color);
    // With no controller installed there is no one to register with.
    if (auto controller = findersync::defaultController())
      controller->setBadgeImage(std::move(image), row.label, row.identifier);
  }
}

std::shared_ptr<graphics::Image> KRVFinderSync::p_badgeImageWithSymbolName(const std::string& symbolName,
                                                                           const graphics::Color& color) {
  using graphics::SymbolConfiguration;
  const auto symbol = graphics::Image::imageWithSystemSymbolName(symbolName, std::nullopt);
  if (!symbol) return p_badgeDotWithColor(color);
  const auto configuration =
      SymbolConfiguration::configurationWithPointSize(kSymbolPointSize, graphics::FontWeightBold)
          .configurationByApplyingConfiguration(
              SymbolConfiguration::configurationWithPaletteColors({graphics::whiteColor, color}));
  const auto configured = symbol->imageWithSymbolConfiguration(configuration);
  if (auto badge = p_fullBleedBadgeImageFromImage(*configured)) return badge;
  return p_badgeDotWithColor(color);
}

std::shared_ptr<graphics::BitmapImageRep> KRVBadgeCanvasWithImage(const graphics::Image& image) {
  auto canvas = KRVFinderSync::p_bitmapRepWithSize(KRVBadgeCanvasSide, 1);
  if (!canvas) return nullptr;
  const graphics::Size size = image.size();
  if (size.width <= 0 || size.height <= 0) return canvas;
  graphics::GraphicsContext::saveGraphicsState();
  graphics::GraphicsContext::setCurrentContext(graphics::GraphicsContext::graphicsContextWithBitmapImageRep(canvas));
  const double side = KRVBadgeCanvasSide;
  const double factor = std::min(side / size.width, side / size.height);
  const double width = size.width * factor;
  const double height = size.height * factor;
  image.drawInRect({(side - width) * 0.5, (side - height) * 0.5, width, height}, graphics::ZeroRect,
                   graphics::CompositingOperation::SourceOver, 1.0);
  graphics::GraphicsContext::restoreGraphicsState();
  return canvas;
}

std::optional<graphics::Rect> KRVBadgeCropRectOfCanvas(const graphics::BitmapImageRep& canvas) {
  const std::int64_t side = KRVBadgeCanvasSide;
  std::int64_t minX = INT_MAX, minY = INT_MAX, maxX = -1, maxY = -1;
  for (std::int64_t y = 0; y < side; ++y) {
    for (std::int64_t x = 0; x < side; ++x) {
      if (canvas.getPixel(x, y)[3] <= kInvisibleAlpha) continue;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  if (maxX == -1) return std::nullopt;
  return graphics::Rect{static_cast<double>(minX), static_cast<double>(side - 1 - maxY),
                        static_cast<double>(maxX - minX + 1), static_cast<double>(maxY - minY + 1)};
}

std::shared_ptr<graphics::Image> KRVFinderSync::p_fullBleedBadgeImageFromImage(const graphics::Image& image) {
  using graphics::GraphicsContext;
  const auto canvas = KRVBadgeCanvasWithImage(image);
  if (!canvas) return nullptr;
  const auto crop = KRVBadgeCropRectOfCanvas(*canvas);
  if (!crop) return nullptr;

  graphics::Image wrapped({KRVBadgeCanvasSide, KRVBadgeCanvasSide});
  wrapped.addRepresentation(canvas);
  auto result = std::make_shared<graphics::Image>(graphics::Size{kBadgeSize, kBadgeSize});
  for (std::int64_t scale : {1, 2}) {
    auto rep = p_bitmapRepWithSize(kBadgeSize, scale);
    if (!rep) return nullptr;
    GraphicsContext::saveGraphicsState();
    GraphicsContext::setCurrentContext(GraphicsContext::graphicsContextWithBitmapImageRep(rep));
    if (auto context = GraphicsContext::currentContext())
      context->setImageInterpolation(graphics::ImageInterpolation::High);
    // A crop that is not square is stretched by different factors.
    wrapped.drawInRect({0, 0, kBadgeSize, kBadgeSize}, *crop, graphics::CompositingOperation::SourceOver, 1.0);
    GraphicsContext::restoreGraphicsState();
    result->addRepresentation(std::move(rep));
  }
  return result;
}

std::shared_ptr<graphics::Image> KRVFinderSync::p_badgeDotWithColor(const graphics::Color& color) {
  using graphics::GraphicsContext;
  auto result = std::make_shared<graphics::Image>(graphics::Size{kBadgeSize, kBadgeSize});
  for (std::int64_t scale : {1, 2}) {
    auto rep = p_bitmapRepWithSize(kBadgeSize, scale);
    if (!rep) continue;
    GraphicsContext::saveGraphicsState();
    GraphicsContext::setCurrentContext(GraphicsContext::graphicsContextWithBitmapImageRep(rep));
    color.setFill();
    graphics::BezierPath::bezierPathWithOvalInRect({0, 0, kBadgeSize, kBadgeSize}).fill();
    GraphicsContext::restoreGraphicsState();
    result->addRepresentation(std::move(rep));
  }
  return result;
}

std::shared_ptr<graphics::BitmapImageRep> KRVFinderSync::p_bitmapRepWithSize(double size, std::int64_t scale) {
  // Bitmaps beyond this side are more than a badge needs (and than cairo can
  // hold); the bound also keeps the conversion below defined.
  constexpr double kLargestSide = 32767;
  if (!(size >= 1 && size * static_cast<double>(scale) <= kLargestSide) || scale < 1) return nullptr;
  const auto pixels = static_cast<std::int64_t>(size) * scale;
  auto rep = graphics::BitmapImageRep::make(pixels, pixels);
  if (rep) rep->setSize({size, size});
  return rep;
}
