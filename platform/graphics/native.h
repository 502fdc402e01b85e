// The cairo side of the graphics library, shared by its own source files
// only: the surface behind a bitmap, the cairo context behind a drawing
// context, and the symbol artwork.
#pragma once

#include <cairo.h>

#include <string>

#include "platform/graphics/graphics.h"

namespace graphics {

// An ARGB32 image surface (premultiplied, native byte order).
struct BitmapImageRep::Native {
  cairo_surface_t* surface = nullptr;
};

// User space is the bitmap's points with the origin at the bottom left;
// cairo's gstate holds the fill colour, so cairo_save/cairo_restore save and
// restore the drawing state.
struct GraphicsContext::Native {
  std::shared_ptr<BitmapImageRep> rep;
  cairo_t* cr = nullptr;
};

// A symbol's glyph, drawn in a frame with the circle's centre at (0, 0), its
// radius 1 and y pointing down. `glyph` paints with the current source;
// `cuts`, when set, paints details back in the circle's colour.
struct SymbolArtwork {
  std::string name;
  void (*glyph)(cairo_t* cr, double stroke);
  void (*cuts)(cairo_t* cr, double stroke);
};

inline constexpr double kDefaultSymbolPointSize = 13;

// The artwork for a symbol name, or nullptr.
const SymbolArtwork* symbolArtworkNamed(const std::string& name);
// A symbol image's size in points for a point size: the circle's diameter
// is the point size, with padding around it.
Size symbolImageSize(double pointSize);
// Draws the symbol into the box (0, 0, size) of cr's user space, y down.
void drawSymbol(cairo_t* cr, const SymbolArtwork& artwork, const SymbolConfiguration& configuration, Size size);

}  // namespace graphics
