// Our own artwork for the badge symbols: a filled circle with a glyph made
// of round-capped strokes and simple shapes. The stroke width grows with the
// weight, as a bolder font would.
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "platform/graphics/native.h"

namespace graphics {

namespace {

constexpr double pi = std::numbers::pi;

void strokeLine(cairo_t* cr, double x0, double y0, double x1, double y1, double width) {
  cairo_set_line_width(cr, width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
  cairo_stroke(cr);
}

void fillDot(cairo_t* cr, double x, double y, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x, y, radius, 0, 2 * pi);
  cairo_fill(cr);
}

void exclamationGlyph(cairo_t* cr, double s) {
  strokeLine(cr, 0, -0.52, 0, 0.12, s * 1.1);
  fillDot(cr, 0, 0.45, s * 0.65);
}

void plusGlyph(cairo_t* cr, double s) {
  strokeLine(cr, -0.5, 0, 0.5, 0, s);
  strokeLine(cr, 0, -0.5, 0, 0.5, s);
}

void minusGlyph(cairo_t* cr, double s) { strokeLine(cr, -0.5, 0, 0.5, 0, s); }

void questionGlyph(cairo_t* cr, double s) {
  cairo_set_line_width(cr, s);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_new_path(cr);
  // The hook: over the top from the left, down on the right, then in to
  // the stem.
  cairo_arc(cr, 0, -0.2, 0.28, pi * 1.05, pi * 2.25);
  cairo_curve_to(cr, 0.06, 0.0, 0.0, 0.02, 0.0, 0.14);
  cairo_stroke(cr);
  fillDot(cr, 0, 0.45, s * 0.65);
}

// A pencil pointing down-left, in a frame turned so that x runs along it.
// At 16 pixels the circle is 16 pixels wide, so the pencil is made long and
// broad, with one clear gap between body and point rather than thin bands
// that smoothing would wash out.
void pencilFrame(cairo_t* cr) { cairo_rotate(cr, -pi / 4); }

void pencilGlyph(cairo_t* cr, double s) {
  const double half = s * 1.4;
  cairo_save(cr);
  pencilFrame(cr);
  cairo_new_path(cr);
  cairo_move_to(cr, 0.74, -half);
  cairo_line_to(cr, -0.24, -half);
  cairo_line_to(cr, -0.76, 0);
  cairo_line_to(cr, -0.24, half);
  cairo_line_to(cr, 0.74, half);
  cairo_close_path(cr);
  cairo_fill(cr);
  cairo_restore(cr);
}

void pencilCuts(cairo_t* cr, double s) {
  const double half = s * 1.4;
  cairo_save(cr);
  pencilFrame(cr);
  // The gap where the sharpened point begins.
  cairo_set_line_width(cr, s * 0.5);
  cairo_move_to(cr, -0.18, -half - 0.05);
  cairo_line_to(cr, -0.18, half + 0.05);
  cairo_stroke(cr);
  cairo_restore(cr);
}

void lockGlyph(cairo_t* cr, double s) {
  // Shackle.
  cairo_set_line_width(cr, s);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  cairo_new_path(cr);
  cairo_move_to(cr, -0.3, 0.0);
  cairo_line_to(cr, -0.3, -0.24);
  cairo_arc(cr, 0, -0.24, 0.3, pi, 2 * pi);
  cairo_line_to(cr, 0.3, 0.0);
  cairo_stroke(cr);
  // Body, with rounded corners.
  const double left = -0.5, right = 0.5, top = -0.08, bottom = 0.6, r = 0.1;
  cairo_new_sub_path(cr);
  cairo_arc(cr, right - r, top + r, r, -pi / 2, 0);
  cairo_arc(cr, right - r, bottom - r, r, 0, pi / 2);
  cairo_arc(cr, left + r, bottom - r, r, pi / 2, pi);
  cairo_arc(cr, left + r, top + r, r, pi, 3 * pi / 2);
  cairo_close_path(cr);
  cairo_fill(cr);
}

void lockCuts(cairo_t* cr, double s) {
  fillDot(cr, 0, 0.22, 0.1);
  strokeLine(cr, 0, 0.22, 0, 0.4, s * 0.45);
}

const std::array<SymbolArtwork, 6> artworks{{
    {"exclamationmark.circle.fill", exclamationGlyph, nullptr},
    {"pencil.circle.fill", pencilGlyph, pencilCuts},
    {"plus.circle.fill", plusGlyph, nullptr},
    {"minus.circle.fill", minusGlyph, nullptr},
    {"lock.circle.fill", lockGlyph, lockCuts},
    {"questionmark.circle.fill", questionGlyph, nullptr},
}};

void setSource(cairo_t* cr, const Color& color) { cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha); }

}  // namespace

const SymbolArtwork* symbolArtworkNamed(const std::string& name) {
  for (const auto& artwork : artworks)
    if (artwork.name == name) return &artwork;
  return nullptr;
}

Size symbolImageSize(double pointSize) { return {pointSize * 1.2, pointSize * 1.17}; }

void drawSymbol(cairo_t* cr, const SymbolArtwork& artwork, const SymbolConfiguration& configuration, Size size) {
  const double pointSize = configuration.pointSize.value_or(kDefaultSymbolPointSize);
  const double weight = std::clamp(configuration.weight.value_or(FontWeightRegular), -1.0, 1.0);
  const auto& palette = configuration.paletteColors;
  // Without a palette the symbol is monochrome: a black circle with the
  // glyph cut out of it.
  const Color circle = palette.size() >= 2 ? palette[1] : palette.size() == 1 ? palette[0] : blackColor;
  const std::optional<Color> glyph = palette.size() >= 2 ? std::optional(palette[0]) : std::nullopt;
  const double stroke = 0.2 + 0.1 * weight;

  cairo_save(cr);
  cairo_push_group(cr);
  cairo_translate(cr, size.width / 2, size.height / 2);
  cairo_scale(cr, pointSize / 2, pointSize / 2);
  setSource(cr, circle);
  fillDot(cr, 0, 0, 1);
  if (glyph) {
    setSource(cr, *glyph);
  } else {
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  }
  artwork.glyph(cr, stroke);
  if (artwork.cuts) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    setSource(cr, circle);
    artwork.cuts(cr, stroke);
  }
  cairo_pop_group_to_source(cr);
  cairo_paint(cr);
  cairo_restore(cr);
}

SymbolConfiguration SymbolConfiguration::configurationWithPointSize(double pointSize, double weight) {
  return {pointSize, weight, {}};
}

SymbolConfiguration SymbolConfiguration::configurationWithPaletteColors(std::vector<Color> colors) {
  return {std::nullopt, std::nullopt, std::move(colors)};
}

SymbolConfiguration SymbolConfiguration::configurationByApplyingConfiguration(const SymbolConfiguration& other) const {
  SymbolConfiguration result = *this;
  if (other.pointSize) result.pointSize = other.pointSize;
  if (other.weight) result.weight = other.weight;
  if (!other.paletteColors.empty()) result.paletteColors = other.paletteColors;
  return result;
}

}  // namespace graphics
