// Graphics: bitmaps, images, a drawing context and symbol artwork, on cairo.
//
// Contract:
// - Geometry is in points. Rectangles for drawing have their origin at the
//   bottom left of the drawing surface; pixel rows of a bitmap are numbered
//   from the top (row 0 is the top row).
// - BitmapImageRep is RGBA, 8 bits per sample, alpha last, not
//   premultiplied as seen through getPixel/setPixel. A new bitmap is fully
//   transparent. Its size in points (default: one point per pixel) tells a
//   context made on it how points map to pixels, so drawing in points covers
//   the whole bitmap at any scale.
// - Image is a size in points with bitmap representations, or a symbol with
//   vector artwork. Drawing an image picks the representation whose pixels
//   best match the destination's device pixels.
// - The current context belongs to the calling thread. saveGraphicsState()
//   remembers the current context and its drawing state (fill colour);
//   restoreGraphicsState() brings both back, so a caller that brackets its
//   own changes leaves its caller's context untouched. Drawing without a
//   current context does nothing.
// - imageWithSystemSymbolName() knows the six badge symbols
//   ("exclamationmark.circle.fill", "pencil.circle.fill", "plus.circle.fill",
//   "minus.circle.fill", "lock.circle.fill", "questionmark.circle.fill"): a
//   filled circle with a glyph. With a palette of two colours the glyph takes
//   the first and the circle the second; without a palette the circle is
//   black and the glyph is cut out. Any other name gives nullptr. A symbol
//   image is a little larger than its circle, as symbols carry padding.
// - Objects are not shared across threads while one of them draws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace graphics {

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

// As a from-rectangle: the whole image.
inline constexpr Rect ZeroRect{};

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  bool operator==(const Color&) const = default;

  // Makes this the fill colour of the current context.
  void setFill() const;
};

inline constexpr Color whiteColor{1, 1, 1, 1};
inline constexpr Color blackColor{0, 0, 0, 1};
inline constexpr Color clearColor{0, 0, 0, 0};
// The light-appearance system palette: red #FF3B30, orange #FF9500,
// blue #007AFF, grey #8E8E93, purple #AF52DE.
inline constexpr Color systemRedColor{255 / 255.0, 59 / 255.0, 48 / 255.0, 1};
inline constexpr Color systemOrangeColor{255 / 255.0, 149 / 255.0, 0 / 255.0, 1};
inline constexpr Color systemBlueColor{0 / 255.0, 122 / 255.0, 255 / 255.0, 1};
inline constexpr Color systemGrayColor{142 / 255.0, 142 / 255.0, 147 / 255.0, 1};
inline constexpr Color systemPurpleColor{175 / 255.0, 82 / 255.0, 222 / 255.0, 1};

// Font weights on the usual -1 ... 1 scale.
inline constexpr double FontWeightRegular = 0.0;
inline constexpr double FontWeightBold = 0.4;

enum class CompositingOperation { SourceOver = 2 };
enum class ImageInterpolation { Default = 0, None = 1, Low = 2, High = 3, Medium = 4 };

class BitmapImageRep {
 public:
  // A fully transparent bitmap; nullptr when a side is not positive or the
  // bitmap cannot be had.
  static std::shared_ptr<BitmapImageRep> make(std::int64_t pixelsWide, std::int64_t pixelsHigh);
  ~BitmapImageRep();
  BitmapImageRep(const BitmapImageRep&) = delete;
  BitmapImageRep& operator=(const BitmapImageRep&) = delete;

  std::int64_t pixelsWide() const { return wide_; }
  std::int64_t pixelsHigh() const { return high_; }
  Size size() const { return size_; }
  void setSize(Size size) { size_ = size; }

  // Red, green, blue, alpha of the pixel in column x, row y (from the top);
  // all zero outside the bitmap.
  std::array<unsigned, 4> getPixel(std::int64_t x, std::int64_t y) const;
  // Outside the bitmap it does nothing.
  void setPixel(const std::array<unsigned, 4>& rgba, std::int64_t x, std::int64_t y);

  // The bitmap as a PNG file's bytes; nothing when encoding fails.
  std::optional<std::vector<std::uint8_t>> PNGRepresentation() const;

  struct Native;
  Native& native() const { return *native_; }

 private:
  BitmapImageRep(std::int64_t wide, std::int64_t high, std::unique_ptr<Native> native);
  std::int64_t wide_;
  std::int64_t high_;
  Size size_;
  std::unique_ptr<Native> native_;
};

struct SymbolConfiguration {
  std::optional<double> pointSize;
  std::optional<double> weight;
  std::vector<Color> paletteColors;  // empty: no palette

  static SymbolConfiguration configurationWithPointSize(double pointSize, double weight);
  static SymbolConfiguration configurationWithPaletteColors(std::vector<Color> colors);
  // This configuration with every value that `other` sets replaced by it.
  SymbolConfiguration configurationByApplyingConfiguration(const SymbolConfiguration& other) const;
};

struct SymbolArtwork;

class Image {
 public:
  explicit Image(Size size) : size_(size) {}

  // The named symbol at the default point size, or nullptr for a name
  // without artwork. The description is kept for accessibility only.
  static std::shared_ptr<Image> imageWithSystemSymbolName(const std::string& name,
                                                          const std::optional<std::string>& accessibilityDescription);
  // This symbol with the configuration; an image that is no symbol is
  // returned as a copy.
  std::shared_ptr<Image> imageWithSymbolConfiguration(const SymbolConfiguration& configuration) const;

  Size size() const { return size_; }
  void addRepresentation(std::shared_ptr<BitmapImageRep> rep) { reps_.push_back(std::move(rep)); }
  const std::vector<std::shared_ptr<BitmapImageRep>>& representations() const { return reps_; }

  // Draws the `from` part of the image (in the image's points, ZeroRect for
  // all of it) stretched into `rect` of the current context.
  void drawInRect(Rect rect, Rect from, CompositingOperation operation, double fraction) const;

 private:
  Size size_;
  std::vector<std::shared_ptr<BitmapImageRep>> reps_;
  std::shared_ptr<const SymbolArtwork> symbol_;
  SymbolConfiguration configuration_;
};

class GraphicsContext {
 public:
  // A context that draws on the bitmap, in its points, origin bottom left;
  // nullptr when no bitmap is given.
  static std::shared_ptr<GraphicsContext> graphicsContextWithBitmapImageRep(std::shared_ptr<BitmapImageRep> rep);
  static std::shared_ptr<GraphicsContext> currentContext();
  static void setCurrentContext(std::shared_ptr<GraphicsContext> context);
  static void saveGraphicsState();
  // Without a matching save it does nothing.
  static void restoreGraphicsState();

  ~GraphicsContext();
  GraphicsContext(const GraphicsContext&) = delete;
  GraphicsContext& operator=(const GraphicsContext&) = delete;

  ImageInterpolation imageInterpolation() const { return interpolation_; }
  void setImageInterpolation(ImageInterpolation interpolation) { interpolation_ = interpolation; }

  struct Native;
  Native& native() const { return *native_; }

 private:
  explicit GraphicsContext(std::unique_ptr<Native> native);
  ImageInterpolation interpolation_ = ImageInterpolation::Default;
  std::unique_ptr<Native> native_;
};

class BezierPath {
 public:
  static BezierPath bezierPathWithOvalInRect(Rect rect);
  // Fills the path with the current context's fill colour.
  void fill() const;

 private:
  Rect oval_;
};

// Fills the rectangle with the current context's fill colour.
void rectFill(Rect rect);

// Draws one line of text with its baseline starting at `point`, in the
// default sans-serif face, into the current context.
void drawString(const std::string& text, Point point, double fontSize, const Color& color);

}  // namespace graphics
