#include "platform/graphics/graphics.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace graphics;

namespace {

using Pixel = std::array<unsigned, 4>;

std::shared_ptr<GraphicsContext> contextOn(const std::shared_ptr<BitmapImageRep>& rep) {
  return GraphicsContext::graphicsContextWithBitmapImageRep(rep);
}

// A bitmap of the given pixels, rows from the top.
std::shared_ptr<BitmapImageRep> bitmapOf(const std::vector<std::vector<Pixel>>& rows) {
  auto rep = BitmapImageRep::make(static_cast<std::int64_t>(rows[0].size()), static_cast<std::int64_t>(rows.size()));
  for (std::size_t y = 0; y < rows.size(); ++y)
    for (std::size_t x = 0; x < rows[y].size(); ++x)
      rep->setPixel(rows[y][x], static_cast<std::int64_t>(x), static_cast<std::int64_t>(y));
  return rep;
}

std::shared_ptr<Image> imageOf(const std::shared_ptr<BitmapImageRep>& rep) {
  auto image = std::make_shared<Image>(rep->size());
  image->addRepresentation(rep);
  return image;
}

// Draws with `context` current, then puts the caller's context back.
template <typename Draw>
void drawIn(const std::shared_ptr<GraphicsContext>& context, Draw draw) {
  GraphicsContext::saveGraphicsState();
  GraphicsContext::setCurrentContext(context);
  draw();
  GraphicsContext::restoreGraphicsState();
}

void expectNear(const Pixel& actual, const Pixel& expected, unsigned tolerance = 1) {
  for (int i = 0; i < 4; ++i)
    EXPECT_NEAR(static_cast<int>(actual[i]), static_cast<int>(expected[i]), static_cast<int>(tolerance))
        << "sample " << i;
}

constexpr Pixel kRed{255, 0, 0, 255};
constexpr Pixel kBlue{0, 0, 255, 255};
constexpr Pixel kClear{0, 0, 0, 0};

const std::vector<std::string> kSymbolNames = {"exclamationmark.circle.fill", "pencil.circle.fill",
                                               "plus.circle.fill",            "minus.circle.fill",
                                               "lock.circle.fill",            "questionmark.circle.fill"};

}  // namespace

TEST(Bitmap, NewIsTransparentAndPixelsKeepStraightSamples) {
  auto rep = BitmapImageRep::make(5, 3);
  ASSERT_TRUE(rep);
  EXPECT_EQ(rep->pixelsWide(), 5);
  EXPECT_EQ(rep->pixelsHigh(), 3);
  EXPECT_EQ(rep->size(), (Size{5, 3}));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(rep->getPixel(x, y), kClear);

  // Stored premultiplied, read back straight: colour survives within rounding,
  // alpha exactly (the badge threshold depends on it).
  rep->setPixel({200, 100, 50, 128}, 4, 2);
  expectNear(rep->getPixel(4, 2), {200, 100, 50, 128});
  rep->setPixel({10, 20, 30, 16}, 0, 0);
  EXPECT_EQ(rep->getPixel(0, 0)[3], 16u);
  rep->setPixel({10, 20, 30, 17}, 1, 0);
  EXPECT_EQ(rep->getPixel(1, 0)[3], 17u);
  EXPECT_EQ(rep->getPixel(2, 0), kClear) << "neighbours untouched";

  EXPECT_EQ(rep->getPixel(5, 0), kClear) << "outside reads as nothing";
  rep->setPixel(kRed, -1, 0);  // ignored, must not write anywhere
  EXPECT_EQ(rep->getPixel(4, 0), kClear);
}

TEST(Bitmap, RejectsImpossibleSizes) {
  EXPECT_FALSE(BitmapImageRep::make(0, 4));
  EXPECT_FALSE(BitmapImageRep::make(4, -1));
  EXPECT_FALSE(BitmapImageRep::make(1LL << 40, 1));
}

TEST(Bitmap, PNGDecodesToTheSamePixels) {
  auto rep = bitmapOf({{kRed, kClear}, {kBlue, {0, 255, 0, 128}}});
  const auto png = rep->PNGRepresentation();
  ASSERT_TRUE(png);
  ASSERT_GT(png->size(), 8u);
  EXPECT_EQ(std::memcmp(png->data(), "\x89PNG\r\n\x1a\n", 8), 0);

  struct Reader {
    const std::vector<std::uint8_t>* bytes;
    std::size_t at = 0;
  } reader{&*png};
  cairo_surface_t* decoded = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* data, unsigned int length) {
        auto* r = static_cast<Reader*>(closure);
        if (r->at + length > r->bytes->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, r->bytes->data() + r->at, length);
        r->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  ASSERT_EQ(cairo_surface_status(decoded), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(decoded), 2);
  EXPECT_EQ(cairo_image_surface_get_height(decoded), 2);
  const auto word = [&](int x, int y) {
    std::uint32_t w;
    std::memcpy(&w, cairo_image_surface_get_data(decoded) + y * cairo_image_surface_get_stride(decoded) + x * 4, 4);
    return w;
  };
  EXPECT_EQ(word(0, 0), 0xffff0000u);  // red, top left
  EXPECT_EQ(word(1, 0), 0x00000000u);
  EXPECT_EQ(word(0, 1), 0xff0000ffu);  // blue, bottom left
  EXPECT_EQ(word(1, 1) >> 24, 128u);
  cairo_surface_destroy(decoded);
}

TEST(Context, DrawsInPointsFromTheBottomLeftAtAnyScale) {
  // 4 x 4 points on 8 x 8 pixels: one point is two pixels.
  auto rep = BitmapImageRep::make(8, 8);
  rep->setSize({4, 4});
  drawIn(contextOn(rep), [] {
    Color{1, 0, 0, 1}.setFill();
    rectFill({0, 0, 1, 1});
  });
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(rep->getPixel(x, y), (x < 2 && y >= 6) ? kRed : kClear) << x << "," << y;
}

TEST(Context, SaveAndRestoreGiveBackTheCallersContextAndState) {
  auto callerRep = BitmapImageRep::make(4, 4);
  auto caller = contextOn(callerRep);
  GraphicsContext::setCurrentContext(caller);
  Color{1, 0, 0, 1}.setFill();
  caller->setImageInterpolation(ImageInterpolation::Low);

  GraphicsContext::saveGraphicsState();
  auto other = contextOn(BitmapImageRep::make(4, 4));
  GraphicsContext::setCurrentContext(other);
  Color{0, 0, 1, 1}.setFill();
  other->setImageInterpolation(ImageInterpolation::High);
  // Nested bracket on the caller's own context changes its colour inside.
  GraphicsContext::saveGraphicsState();
  GraphicsContext::setCurrentContext(caller);
  Color{0, 1, 0, 1}.setFill();
  GraphicsContext::restoreGraphicsState();
  EXPECT_EQ(GraphicsContext::currentContext(), other);
  GraphicsContext::restoreGraphicsState();

  EXPECT_EQ(GraphicsContext::currentContext(), caller);
  EXPECT_EQ(caller->imageInterpolation(), ImageInterpolation::Low);
  rectFill({0, 0, 4, 4});
  EXPECT_EQ(callerRep->getPixel(2, 2), kRed) << "the caller's fill colour survives";
  GraphicsContext::setCurrentContext(nullptr);
}

TEST(Context, RestoreBringsBackNoContextAndUnmatchedRestoreIsHarmless) {
  GraphicsContext::setCurrentContext(nullptr);
  GraphicsContext::saveGraphicsState();
  GraphicsContext::setCurrentContext(contextOn(BitmapImageRep::make(2, 2)));
  GraphicsContext::restoreGraphicsState();
  EXPECT_EQ(GraphicsContext::currentContext(), nullptr);
  GraphicsContext::restoreGraphicsState();
  EXPECT_EQ(GraphicsContext::currentContext(), nullptr);
  // Drawing with no context does nothing (and does not crash).
  BezierPath::bezierPathWithOvalInRect({0, 0, 2, 2}).fill();
  EXPECT_FALSE(contextOn(nullptr));
}

TEST(Context, CurrentContextBelongsToTheThread) {
  auto mine = contextOn(BitmapImageRep::make(2, 2));
  GraphicsContext::setCurrentContext(mine);
  std::shared_ptr<GraphicsContext> seen = mine;
  std::thread([&] { seen = GraphicsContext::currentContext(); }).join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(GraphicsContext::currentContext(), mine);
  GraphicsContext::setCurrentContext(nullptr);
}

TEST(Oval, FillsTheInscribedCircleOnly) {
  auto rep = BitmapImageRep::make(32, 32);
  rep->setSize({16, 16});
  drawIn(contextOn(rep), [] {
    Color{0, 0, 1, 1}.setFill();
    BezierPath::bezierPathWithOvalInRect({0, 0, 16, 16}).fill();
    BezierPath::bezierPathWithOvalInRect({0, 0, 16, 0}).fill();  // flat: nothing, context stays usable
  });
  EXPECT_EQ(rep->getPixel(16, 16), kBlue);
  EXPECT_GT(rep->getPixel(16, 0)[3], 200u) << "touches the top edge";
  EXPECT_GT(rep->getPixel(0, 16)[3], 200u) << "touches the left edge";
  EXPECT_EQ(rep->getPixel(0, 0), kClear);
  EXPECT_EQ(rep->getPixel(31, 31), kClear);
}

TEST(ImageDrawing, FromRectIsInImagePointsFromTheBottomLeft) {
  // Top row red, bottom row blue.
  auto source = imageOf(bitmapOf({{kRed}, {kBlue}}));
  auto rep = BitmapImageRep::make(4, 4);
  drawIn(contextOn(rep), [&] {
    source->drawInRect({0, 0, 4, 4}, {0, 0, 1, 1}, CompositingOperation::SourceOver, 1.0);
  });
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(rep->getPixel(x, y), kBlue) << x << "," << y;

  // The whole image, stretched: red on top, blue below, sharp at the middle.
  auto whole = BitmapImageRep::make(4, 4);
  drawIn(contextOn(whole), [&] {
    source->drawInRect({0, 0, 4, 4}, ZeroRect, CompositingOperation::SourceOver, 1.0);
  });
  EXPECT_EQ(whole->getPixel(1, 0), kRed);
  EXPECT_EQ(whole->getPixel(1, 3), kBlue);
}

TEST(ImageDrawing, DrawsOnlyInsideTheRectangle) {
  auto source = imageOf(bitmapOf({{kRed, kRed}, {kRed, kRed}}));
  auto rep = BitmapImageRep::make(8, 8);
  drawIn(contextOn(rep), [&] {
    source->drawInRect({2, 2, 4, 2}, ZeroRect, CompositingOperation::SourceOver, 1.0);
  });
  // Points y 2..4 from the bottom are rows 4..5 from the top.
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(rep->getPixel(x, y), (x >= 2 && x < 6 && y >= 4 && y < 6) ? kRed : kClear) << x << "," << y;
}

TEST(ImageDrawing, PicksTheRepresentationThatFitsTheDevicePixels) {
  Image image({16, 16});
  auto small = BitmapImageRep::make(16, 16);
  auto large = BitmapImageRep::make(32, 32);
  large->setSize({16, 16});
  small->setSize({16, 16});
  drawIn(contextOn(small), [] {
    Color{1, 0, 0, 1}.setFill();
    rectFill({0, 0, 16, 16});
  });
  drawIn(contextOn(large), [] {
    Color{0, 0, 1, 1}.setFill();
    rectFill({0, 0, 16, 16});
  });
  image.addRepresentation(small);
  image.addRepresentation(large);

  for (std::int64_t scale : {1, 2}) {
    auto target = BitmapImageRep::make(16 * scale, 16 * scale);
    target->setSize({16, 16});
    drawIn(contextOn(target), [&] {
      image.drawInRect({0, 0, 16, 16}, ZeroRect, CompositingOperation::SourceOver, 1.0);
    });
    EXPECT_EQ(target->getPixel(8, 8), scale == 1 ? kRed : kBlue) << "scale " << scale;
  }
}

TEST(ImageDrawing, ComposesSourceOverWithTheFraction) {
  auto source = imageOf(bitmapOf({{kBlue}}));
  auto rep = BitmapImageRep::make(2, 1);
  rep->setPixel(kRed, 0, 0);
  drawIn(contextOn(rep), [&] {
    source->drawInRect({0, 0, 2, 1}, ZeroRect, CompositingOperation::SourceOver, 0.5);
  });
  // Half blue over red; half blue over nothing.
  expectNear(rep->getPixel(0, 0), {128, 0, 127, 255}, 2);
  expectNear(rep->getPixel(1, 0), {0, 0, 255, 128}, 2);
}

TEST(Symbols, KnowsTheSixNamesAndNothingElse) {
  for (const auto& name : kSymbolNames) EXPECT_TRUE(Image::imageWithSystemSymbolName(name, std::nullopt)) << name;
  EXPECT_FALSE(Image::imageWithSystemSymbolName("star.circle.fill", std::nullopt));
  EXPECT_FALSE(Image::imageWithSystemSymbolName("", "description"));
}

TEST(Symbols, ConfigurationSetsSizeWithPaddingAndKeepsEarlierValues) {
  auto symbol = Image::imageWithSystemSymbolName("plus.circle.fill", std::nullopt);
  const auto sized = symbol->imageWithSymbolConfiguration(SymbolConfiguration::configurationWithPointSize(64, 0.4));
  EXPECT_GT(sized->size().width, 64);
  EXPECT_GT(sized->size().height, 64);
  EXPECT_LT(sized->size().width, 64 * 1.5);

  const auto combined = SymbolConfiguration::configurationWithPointSize(64, FontWeightBold)
                            .configurationByApplyingConfiguration(
                                SymbolConfiguration::configurationWithPaletteColors({whiteColor, systemRedColor}));
  EXPECT_EQ(combined.pointSize, 64);
  EXPECT_EQ(combined.weight, FontWeightBold);
  EXPECT_EQ(combined.paletteColors, (std::vector<Color>{whiteColor, systemRedColor}));
}

// Renders a configured symbol onto a bitmap of its own size, one pixel per point.
std::shared_ptr<BitmapImageRep> render(const std::string& name, const SymbolConfiguration& configuration) {
  const auto image =
      Image::imageWithSystemSymbolName(name, std::nullopt)->imageWithSymbolConfiguration(configuration);
  auto rep = BitmapImageRep::make(static_cast<std::int64_t>(image->size().width),
                                  static_cast<std::int64_t>(image->size().height));
  drawIn(contextOn(rep), [&] {
    image->drawInRect({0, 0, rep->size().width, rep->size().height}, ZeroRect, CompositingOperation::SourceOver,
                      1.0);
  });
  return rep;
}

TEST(Symbols, PaletteColoursTheGlyphFirstAndTheCircleSecond) {
  const auto configuration = SymbolConfiguration::configurationWithPointSize(64, FontWeightBold)
                                 .configurationByApplyingConfiguration(
                                     SymbolConfiguration::configurationWithPaletteColors({whiteColor, {1, 0, 0, 1}}));
  for (const auto& name : kSymbolNames) {
    SCOPED_TRACE(name);
    const auto rep = render(name, configuration);
    const std::int64_t cx = rep->pixelsWide() / 2, cy = rep->pixelsHigh() / 2;
    // Padding around the circle stays clear; just inside the rim is circle.
    EXPECT_EQ(rep->getPixel(0, 0), kClear);
    EXPECT_EQ(rep->getPixel(cx, 1), kClear);
    EXPECT_EQ(rep->getPixel(cx, cy - 29), kRed);
    EXPECT_EQ(rep->getPixel(cx - 29, cy), kRed);
    // Some of the inside is white glyph.
    int white = 0;
    for (std::int64_t y = cy - 20; y <= cy + 20; ++y)
      for (std::int64_t x = cx - 20; x <= cx + 20; ++x)
        if (rep->getPixel(x, y) == Pixel{255, 255, 255, 255}) ++white;
    EXPECT_GT(white, 40);
  }
}

TEST(Symbols, WithoutPaletteTheGlyphIsCutOutOfABlackCircle) {
  const auto rep = render("minus.circle.fill", SymbolConfiguration::configurationWithPointSize(64, FontWeightRegular));
  const std::int64_t cx = rep->pixelsWide() / 2, cy = rep->pixelsHigh() / 2;
  EXPECT_EQ(rep->getPixel(cx, cy), kClear) << "the minus bar is a hole";
  EXPECT_EQ(rep->getPixel(cx, cy - 20), (Pixel{0, 0, 0, 255}));
}

TEST(Symbols, GlyphsDifferAndWeightThickensThem) {
  const auto regular = SymbolConfiguration::configurationWithPointSize(64, FontWeightRegular);
  const auto bold = SymbolConfiguration::configurationWithPointSize(64, FontWeightBold);
  const auto holes = [](const std::shared_ptr<BitmapImageRep>& rep) {
    int n = 0;
    for (std::int64_t y = 0; y < rep->pixelsHigh(); ++y)
      for (std::int64_t x = 0; x < rep->pixelsWide(); ++x)
        if (rep->getPixel(x, y)[3] == 0) ++n;
    return n;
  };
  std::vector<int> counts;
  for (const auto& name : kSymbolNames) counts.push_back(holes(render(name, regular)));
  std::sort(counts.begin(), counts.end());
  EXPECT_EQ(std::adjacent_find(counts.begin(), counts.end()), counts.end()) << "six distinct glyphs";
  EXPECT_GT(holes(render("plus.circle.fill", bold)), holes(render("plus.circle.fill", regular)));
}

TEST(Text, DrawsInkNearTheBaseline) {
  auto rep = BitmapImageRep::make(60, 20);
  drawIn(contextOn(rep), [] { drawString("Ab", {2, 5}, 12, {0, 0, 0, 1}); });
  int inked = 0, belowBaseline = 0;
  for (std::int64_t y = 0; y < 20; ++y)
    for (std::int64_t x = 0; x < 60; ++x)
      if (rep->getPixel(x, y)[3] > 128) {
        ++inked;
        if (y > 15) ++belowBaseline;  // baseline at 5 points up is row 15
      }
  EXPECT_GT(inked, 10);
  EXPECT_EQ(belowBaseline, 0) << "upright text sits on the baseline";
}
