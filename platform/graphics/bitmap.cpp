// Bitmaps on cairo image surfaces. Cairo keeps premultiplied ARGB words;
// getPixel and setPixel convert to and from straight RGBA samples.
#include <algorithm>
#include <cstring>

#include "platform/graphics/native.h"

namespace graphics {

namespace {
unsigned premultiply(unsigned sample, unsigned alpha) { return (sample * alpha + 127) / 255; }
unsigned unpremultiply(unsigned sample, unsigned alpha) { return alpha ? (sample * 255 + alpha / 2) / alpha : 0; }
}  // namespace

std::shared_ptr<BitmapImageRep> BitmapImageRep::make(std::int64_t pixelsWide, std::int64_t pixelsHigh) {
  if (pixelsWide <= 0 || pixelsHigh <= 0 || pixelsWide > INT32_MAX || pixelsHigh > INT32_MAX) return nullptr;
  // A new image surface is cleared to transparent black.
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(pixelsWide), static_cast<int>(pixelsHigh));
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  auto native = std::make_unique<Native>();
  native->surface = surface;
  return std::shared_ptr<BitmapImageRep>(new BitmapImageRep(pixelsWide, pixelsHigh, std::move(native)));
}

BitmapImageRep::BitmapImageRep(std::int64_t wide, std::int64_t high, std::unique_ptr<Native> native)
    : wide_(wide),
      high_(high),
      size_{static_cast<double>(wide), static_cast<double>(high)},
      native_(std::move(native)) {}

BitmapImageRep::~BitmapImageRep() { cairo_surface_destroy(native_->surface); }

std::array<unsigned, 4> BitmapImageRep::getPixel(std::int64_t x, std::int64_t y) const {
  if (x < 0 || y < 0 || x >= wide_ || y >= high_) return {0, 0, 0, 0};
  cairo_surface_flush(native_->surface);
  const unsigned char* row =
      cairo_image_surface_get_data(native_->surface) + y * cairo_image_surface_get_stride(native_->surface);
  std::uint32_t word;
  std::memcpy(&word, row + x * 4, sizeof word);
  const unsigned alpha = word >> 24;
  return {unpremultiply((word >> 16) & 0xff, alpha), unpremultiply((word >> 8) & 0xff, alpha),
          unpremultiply(word & 0xff, alpha), alpha};
}

void BitmapImageRep::setPixel(const std::array<unsigned, 4>& rgba, std::int64_t x, std::int64_t y) {
  if (x < 0 || y < 0 || x >= wide_ || y >= high_) return;
  cairo_surface_flush(native_->surface);
  unsigned char* row =
      cairo_image_surface_get_data(native_->surface) + y * cairo_image_surface_get_stride(native_->surface);
  const unsigned alpha = std::min(rgba[3], 255u);
  const std::uint32_t word = alpha << 24 | premultiply(std::min(rgba[0], 255u), alpha) << 16 |
                             premultiply(std::min(rgba[1], 255u), alpha) << 8 |
                             premultiply(std::min(rgba[2], 255u), alpha);
  std::memcpy(row + x * 4, &word, sizeof word);
  cairo_surface_mark_dirty(native_->surface);
}

std::optional<std::vector<std::uint8_t>> BitmapImageRep::PNGRepresentation() const {
  std::vector<std::uint8_t> bytes;
  auto append = [](void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
  };
  if (cairo_surface_write_to_png_stream(native_->surface, append, &bytes) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return bytes;
}

}  // namespace graphics
