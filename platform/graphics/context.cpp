// Drawing contexts, the calling thread's current context and its stack of
// saved states, filled ovals and text.
#include <cmath>
#include <numbers>

#include "platform/graphics/native.h"

namespace graphics {

namespace {
thread_local std::shared_ptr<GraphicsContext> current;
// One entry per saveGraphicsState: the context that was current, whose
// cairo state was saved with it (nullptr when there was none).
thread_local std::vector<std::shared_ptr<GraphicsContext>> savedStates;

cairo_t* currentCairo() { return current ? current->native().cr : nullptr; }
}  // namespace

std::shared_ptr<GraphicsContext> GraphicsContext::graphicsContextWithBitmapImageRep(
    std::shared_ptr<BitmapImageRep> rep) {
  if (!rep) return nullptr;
  cairo_t* cr = cairo_create(rep->native().surface);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(cr);
    return nullptr;
  }
  const double wide = static_cast<double>(rep->pixelsWide());
  const double high = static_cast<double>(rep->pixelsHigh());
  const Size size = rep->size();
  // Points to pixels, flipping y so that the origin is at the bottom left.
  cairo_translate(cr, 0, high);
  cairo_scale(cr, size.width > 0 ? wide / size.width : 1, size.height > 0 ? -high / size.height : -1);
  auto native = std::make_unique<Native>();
  native->rep = std::move(rep);
  native->cr = cr;
  return std::shared_ptr<GraphicsContext>(new GraphicsContext(std::move(native)));
}

GraphicsContext::GraphicsContext(std::unique_ptr<Native> native) : native_(std::move(native)) {}

GraphicsContext::~GraphicsContext() { cairo_destroy(native_->cr); }

std::shared_ptr<GraphicsContext> GraphicsContext::currentContext() { return current; }

void GraphicsContext::setCurrentContext(std::shared_ptr<GraphicsContext> context) { current = std::move(context); }

void GraphicsContext::saveGraphicsState() {
  if (cairo_t* cr = currentCairo()) cairo_save(cr);
  savedStates.push_back(current);
}

void GraphicsContext::restoreGraphicsState() {
  if (savedStates.empty()) return;
  current = std::move(savedStates.back());
  savedStates.pop_back();
  if (cairo_t* cr = currentCairo()) cairo_restore(cr);
}

void Color::setFill() const {
  if (cairo_t* cr = currentCairo()) cairo_set_source_rgba(cr, red, green, blue, alpha);
}

BezierPath BezierPath::bezierPathWithOvalInRect(Rect rect) {
  BezierPath path;
  path.oval_ = rect;
  return path;
}

void BezierPath::fill() const {
  cairo_t* cr = currentCairo();
  // A flat oval has no inside; a zero scale would also break the context.
  if (!cr || oval_.width <= 0 || oval_.height <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, oval_.x + oval_.width / 2, oval_.y + oval_.height / 2);
  cairo_scale(cr, oval_.width / 2, oval_.height / 2);
  cairo_new_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * std::numbers::pi);
  cairo_restore(cr);  // the path stays, in device space; the fill colour is the saved one
  cairo_fill(cr);
}

void rectFill(Rect rect) {
  cairo_t* cr = currentCairo();
  if (!cr) return;
  cairo_new_path(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_fill(cr);
}

void drawString(const std::string& text, Point point, double fontSize, const Color& color) {
  cairo_t* cr = currentCairo();
  if (!cr || fontSize <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, point.x, point.y);
  cairo_scale(cr, 1, -1);  // glyphs are drawn y down
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, fontSize);
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_move_to(cr, 0, 0);
  cairo_show_text(cr, text.c_str());
  cairo_restore(cr);
}

}  // namespace graphics
