// Images: bitmap representations or symbol artwork, drawn into the current
// context.
#include <algorithm>
#include <cmath>

#include "platform/graphics/native.h"

namespace graphics {

namespace {

cairo_filter_t filterFor(ImageInterpolation interpolation) {
  switch (interpolation) {
    case ImageInterpolation::None:
      return CAIRO_FILTER_NEAREST;
    case ImageInterpolation::Low:
      return CAIRO_FILTER_BILINEAR;
    case ImageInterpolation::High:
      return CAIRO_FILTER_BEST;
    case ImageInterpolation::Default:
    case ImageInterpolation::Medium:
      break;
  }
  return CAIRO_FILTER_GOOD;
}

cairo_operator_t operatorFor(CompositingOperation operation) {
  switch (operation) {
    case CompositingOperation::SourceOver:
      break;
  }
  return CAIRO_OPERATOR_OVER;
}

// The representation with the fewest pixels that still covers `needed`
// device pixels across the image, else the largest.
const BitmapImageRep* bestRepresentation(const std::vector<std::shared_ptr<BitmapImageRep>>& reps, double needed) {
  const BitmapImageRep* covering = nullptr;
  const BitmapImageRep* largest = nullptr;
  for (const auto& rep : reps) {
    if (!largest || rep->pixelsWide() > largest->pixelsWide()) largest = rep.get();
    if (static_cast<double>(rep->pixelsWide()) + 1e-6 >= needed &&
        (!covering || rep->pixelsWide() < covering->pixelsWide()))
      covering = rep.get();
  }
  return covering ? covering : largest;
}

}  // namespace

std::shared_ptr<Image> Image::imageWithSystemSymbolName(const std::string& name,
                                                        const std::optional<std::string>& /*accessibilityDescription*/) {
  const SymbolArtwork* artwork = symbolArtworkNamed(name);
  if (!artwork) return nullptr;
  auto image = std::make_shared<Image>(symbolImageSize(kDefaultSymbolPointSize));
  // The artwork is static; the image refers to it without owning it.
  image->symbol_ = std::shared_ptr<const SymbolArtwork>(std::shared_ptr<void>(), artwork);
  return image;
}

std::shared_ptr<Image> Image::imageWithSymbolConfiguration(const SymbolConfiguration& configuration) const {
  auto image = std::make_shared<Image>(*this);
  if (!symbol_) return image;
  image->configuration_ = configuration_.configurationByApplyingConfiguration(configuration);
  image->size_ = symbolImageSize(image->configuration_.pointSize.value_or(kDefaultSymbolPointSize));
  return image;
}

void Image::drawInRect(Rect rect, Rect from, CompositingOperation operation, double fraction) const {
  const auto context = GraphicsContext::currentContext();
  if (!context || rect.width <= 0 || rect.height <= 0 || size_.width <= 0 || size_.height <= 0) return;
  const Rect source = from == ZeroRect ? Rect{0, 0, size_.width, size_.height} : from;
  if (source.width <= 0 || source.height <= 0) return;
  // Image points (origin bottom left) per destination point.
  const double kx = source.width / rect.width;
  const double ky = source.height / rect.height;

  cairo_t* cr = context->native().cr;
  cairo_save(cr);
  cairo_set_operator(cr, operatorFor(operation));
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);

  if (symbol_) {
    cairo_push_group(cr);
    // The artwork is drawn y down from the image's top left.
    cairo_translate(cr, rect.x - source.x / kx, rect.y + (size_.height - source.y) / ky);
    cairo_scale(cr, 1 / kx, -1 / ky);
    drawSymbol(cr, *symbol_, configuration_, size_);
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, fraction);
    cairo_restore(cr);
    return;
  }

  double deviceWidth = rect.width, deviceHeight = 0;
  cairo_user_to_device_distance(cr, &deviceWidth, &deviceHeight);
  const double needed = std::hypot(deviceWidth, deviceHeight) * size_.width / source.width;
  const BitmapImageRep* rep = bestRepresentation(reps_, needed);
  if (!rep) {
    cairo_restore(cr);
    return;
  }
  // Pixels per image point, and the pixels under the from-rectangle (rows
  // from the top), widened to whole pixels.
  const double px = static_cast<double>(rep->pixelsWide()) / size_.width;
  const double py = static_cast<double>(rep->pixelsHigh()) / size_.height;
  const auto clampX = [&](double v) { return std::clamp(v, 0.0, static_cast<double>(rep->pixelsWide())); };
  const auto clampY = [&](double v) { return std::clamp(v, 0.0, static_cast<double>(rep->pixelsHigh())); };
  const int left = static_cast<int>(std::floor(clampX(source.x * px)));
  const int right = static_cast<int>(std::ceil(clampX((source.x + source.width) * px)));
  const int top = static_cast<int>(std::floor(clampY((size_.height - source.y - source.height) * py)));
  const int bottom = static_cast<int>(std::ceil(clampY((size_.height - source.y) * py)));
  if (right <= left || bottom <= top) {
    cairo_restore(cr);
    return;
  }
  // A copy of just those pixels, padded at its edges, so that filtering at
  // the border of a cropped part never blends in pixels outside it.
  cairo_surface_t* part = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, right - left, bottom - top);
  cairo_t* copy = cairo_create(part);
  cairo_set_operator(copy, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(copy, rep->native().surface, -left, -top);
  cairo_paint(copy);
  cairo_destroy(copy);

  cairo_pattern_t* pattern = cairo_pattern_create_for_surface(part);
  cairo_matrix_t toPart;
  cairo_matrix_init(&toPart, kx * px, 0, 0, -ky * py, (source.x - rect.x * kx) * px - left,
                    (size_.height - source.y + rect.y * ky) * py - top);
  cairo_pattern_set_matrix(pattern, &toPart);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(pattern, filterFor(context->imageInterpolation()));
  cairo_set_source(cr, pattern);
  cairo_paint_with_alpha(cr, fraction);
  cairo_pattern_destroy(pattern);
  cairo_surface_destroy(part);
  cairo_restore(cr);
}

}  // namespace graphics
