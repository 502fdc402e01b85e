// badge-contact-sheet OUT.png: draws the extension's six badge images, as
// registered, into one PNG for people to look at: each badge's label, its
// 16-pixel and 32-pixel images at their own size on light and dark ground,
// and the 32-pixel image enlarged without smoothing.
#include <cstdio>
#include <fstream>
#include <memory>

#include "finder-extension/front/KRVFinderSync.h"
#include "platform/findersync/findersync.h"
#include "platform/graphics/graphics.h"

namespace {

using graphics::Color;
using graphics::GraphicsContext;
using graphics::Image;
using graphics::Rect;

constexpr double kColumn = 112;
constexpr double kMargin = 16;
constexpr double kEnlarged = 96;
constexpr double kHeight = 272;
constexpr Color kDarkGround{0.12, 0.12, 0.13, 1};
constexpr Color kInk{0.1, 0.1, 0.1, 1};

// Draws one representation alone, so that it is the one shown.
void drawRepresentation(const std::shared_ptr<graphics::BitmapImageRep>& rep, Rect rect) {
  Image single(rep->size());
  single.addRepresentation(rep);
  single.drawInRect(rect, graphics::ZeroRect, graphics::CompositingOperation::SourceOver, 1.0);
}

// Rectangles measured from the top of the sheet.
Rect fromTop(double x, double top, double width, double height) { return {x, kHeight - top - height, width, height}; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: badge-contact-sheet OUT.png\n");
    return 2;
  }
  auto controller = std::make_shared<findersync::FakeController>();
  findersync::setDefaultController(controller);
  KRVFinderSync::p_registerBadgeImages();
  const auto calls = controller->badgeImageCalls();

  const double width = 2 * kMargin + kColumn * static_cast<double>(calls.size());
  auto sheet = graphics::BitmapImageRep::make(static_cast<std::int64_t>(width), static_cast<std::int64_t>(kHeight));
  if (!sheet) return 1;
  GraphicsContext::setCurrentContext(GraphicsContext::graphicsContextWithBitmapImageRep(sheet));
  graphics::whiteColor.setFill();
  graphics::rectFill({0, 0, width, kHeight});
  kDarkGround.setFill();
  graphics::rectFill(fromTop(0, 216, width, 56));
  graphics::drawString("Badge images: 16 px and 32 px, 32 px enlarged, on light and dark", {kMargin, kHeight - 22},
                       13, kInk);

  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& image = calls[i].image;
    const double x = kMargin + kColumn * static_cast<double>(i);
    graphics::drawString(calls[i].label, {x, kHeight - 50}, 12, kInk);
    if (!image || image->representations().size() < 2) continue;
    const auto& rep1x = image->representations()[0];
    const auto& rep2x = image->representations()[1];
    drawRepresentation(rep1x, fromTop(x, 70, 16, 16));
    drawRepresentation(rep2x, fromTop(x + 28, 62, 32, 32));
    GraphicsContext::currentContext()->setImageInterpolation(graphics::ImageInterpolation::None);
    drawRepresentation(rep2x, fromTop(x, 108, kEnlarged, kEnlarged));
    GraphicsContext::currentContext()->setImageInterpolation(graphics::ImageInterpolation::Default);
    drawRepresentation(rep1x, fromTop(x, 236, 16, 16));
    drawRepresentation(rep2x, fromTop(x + 28, 228, 32, 32));
  }
  GraphicsContext::setCurrentContext(nullptr);

  const auto png = sheet->PNGRepresentation();
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  if (!png || !out.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size())) ||
      !out.flush()) {
    std::fprintf(stderr, "badge-contact-sheet: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
