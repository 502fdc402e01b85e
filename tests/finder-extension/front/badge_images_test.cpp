#include <gtest/gtest.h>

#include "finder-extension/front/KRVFinderSync+BadgeImages.h"
#include "finder-extension/front/KRVFinderSync.h"
#include "finder-extension/registry/KRVBadgeIdentifiers.h"
#include "platform/findersync/findersync.h"
#include "platform/graphics/graphics.h"
#include "tests/support/support.h"

using namespace graphics;

namespace {

using Pixel = std::array<unsigned, 4>;
constexpr Pixel kOpaqueRed{255, 0, 0, 255};
constexpr Pixel kOpaqueBlue{0, 0, 255, 255};

// An image of `width` x `height` points, one pixel per point, filled with `pixel`.
std::shared_ptr<Image> filledImage(std::int64_t width, std::int64_t height, Pixel pixel) {
  auto rep = BitmapImageRep::make(width, height);
  for (std::int64_t y = 0; y < height; ++y)
    for (std::int64_t x = 0; x < width; ++x) rep->setPixel(pixel, x, y);
  auto image = std::make_shared<Image>(rep->size());
  image->addRepresentation(rep);
  return image;
}

// A 64 x 64 canvas, transparent but for the given pixels (alpha as given).
std::shared_ptr<BitmapImageRep> canvasWith(const std::vector<std::pair<int, int>>& pixels, unsigned alpha = 255) {
  auto canvas = BitmapImageRep::make(64, 64);
  for (auto [x, y] : pixels) canvas->setPixel({255, 0, 0, alpha}, x, y);
  return canvas;
}

bool visible(const Pixel& pixel) { return pixel[3] >= 17; }

bool sameColour(const Pixel& pixel, const Color& color, int tolerance = 3) {
  const auto near = [&](unsigned sample, double value) {
    return std::abs(static_cast<int>(sample) - static_cast<int>(value * 255 + 0.5)) <= tolerance;
  };
  return near(pixel[0], color.red) && near(pixel[1], color.green) && near(pixel[2], color.blue) && pixel[3] == 255;
}

void expectTwoRepresentations(const Image& image) {
  EXPECT_EQ(image.size(), (Size{16, 16}));
  ASSERT_EQ(image.representations().size(), 2u);
  EXPECT_EQ(image.representations()[0]->pixelsWide(), 16);
  EXPECT_EQ(image.representations()[0]->pixelsHigh(), 16);
  EXPECT_EQ(image.representations()[1]->pixelsWide(), 32);
  EXPECT_EQ(image.representations()[1]->pixelsHigh(), 32);
  for (const auto& rep : image.representations()) EXPECT_EQ(rep->size(), (Size{16, 16}));
}

bool samePixels(const BitmapImageRep& a, const BitmapImageRep& b) {
  if (a.pixelsWide() != b.pixelsWide() || a.pixelsHigh() != b.pixelsHigh()) return false;
  for (std::int64_t y = 0; y < a.pixelsHigh(); ++y)
    for (std::int64_t x = 0; x < a.pixelsWide(); ++x)
      if (a.getPixel(x, y) != b.getPixel(x, y)) return false;
  return true;
}

struct Row {
  std::string identifier, label, symbol;
  Color color;
};
const std::vector<Row> kTable = {
    {KRVFinderSyncBadgeConflicted, "Conflicted", "exclamationmark.circle.fill", systemRedColor},
    {KRVFinderSyncBadgeModified, "Modified", "pencil.circle.fill", systemOrangeColor},
    {KRVFinderSyncBadgeAdded, "Added", "plus.circle.fill", systemBlueColor},
    {KRVFinderSyncBadgeDeleted, "Deleted", "minus.circle.fill", systemGrayColor},
    {KRVFinderSyncBadgeLocked, "Locked", "lock.circle.fill", systemPurpleColor},
    {KRVFinderSyncBadgeUnversioned, "Unversioned", "questionmark.circle.fill", systemGrayColor},
};

}  // namespace

TEST(BadgeBitmap, IsSquareTransparentAndSizedInPoints) {
  auto rep = KRVFinderSync::p_bitmapRepWithSize(16, 2);
  ASSERT_TRUE(rep);
  EXPECT_EQ(rep->pixelsWide(), 32);
  EXPECT_EQ(rep->pixelsHigh(), 32);
  EXPECT_EQ(rep->size(), (Size{16, 16}));
  for (std::int64_t y = 0; y < 32; ++y)
    for (std::int64_t x = 0; x < 32; ++x) ASSERT_EQ(rep->getPixel(x, y)[3], 0u);

  auto truncated = KRVFinderSync::p_bitmapRepWithSize(16.9, 1);
  ASSERT_TRUE(truncated);
  EXPECT_EQ(truncated->pixelsWide(), 16);

  EXPECT_FALSE(KRVFinderSync::p_bitmapRepWithSize(0, 1));
  EXPECT_FALSE(KRVFinderSync::p_bitmapRepWithSize(16, 0));
  EXPECT_FALSE(KRVFinderSync::p_bitmapRepWithSize(1e300, 1)) << "no undefined conversion, no huge allocation";
}

TEST(BadgeCanvas, SquareSourceFillsTheWholeCanvas) {
  const auto canvas = KRVBadgeCanvasWithImage(*filledImage(10, 10, kOpaqueRed));
  ASSERT_TRUE(canvas);
  EXPECT_EQ(canvas->pixelsWide(), 64);
  for (std::int64_t y = 0; y < 64; ++y)
    for (std::int64_t x = 0; x < 64; ++x) ASSERT_EQ(canvas->getPixel(x, y), kOpaqueRed) << x << "," << y;
}

TEST(BadgeCanvas, TwoToOneSourceIsDrawn64By32WithItsLowerEdgeAt16) {
  const auto canvas = KRVBadgeCanvasWithImage(*filledImage(20, 10, kOpaqueRed));
  ASSERT_TRUE(canvas);
  // Points y 16..48 from the bottom are rows 16..47 from the top.
  for (std::int64_t y = 0; y < 64; ++y)
    for (std::int64_t x = 0; x < 64; ++x)
      ASSERT_EQ(canvas->getPixel(x, y)[3], (y >= 16 && y < 48) ? 255u : 0u) << x << "," << y;
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvas), (Rect{0, 16, 64, 32}));
}

TEST(BadgeCrop, BoxOfVisiblePixelsInPointsFromTheBottom) {
  // Columns 4..59 and rows 2..61 from the top, marked by two corners and an
  // inner pixel.
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({{4, 30}, {59, 2}, {20, 61}, {30, 30}})), (Rect{4, 2, 56, 60}));
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({{0, 0}})), (Rect{0, 63, 1, 1}));
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({{63, 63}})), (Rect{63, 0, 1, 1}));
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({})), std::nullopt);
}

TEST(BadgeCrop, AlphaSixteenIsInvisibleSeventeenVisible) {
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({{10, 10}, {50, 50}}, 16)), std::nullopt);
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvasWith({{10, 10}}, 17)), (Rect{10, 53, 1, 1}));
  // Faint pixels do not widen a box made by visible ones.
  auto canvas = canvasWith({{10, 10}});
  canvas->setPixel({0, 0, 0, 16}, 40, 40);
  EXPECT_EQ(KRVBadgeCropRectOfCanvas(*canvas), (Rect{10, 53, 1, 1}));
}

TEST(FullBleed, TheCropIsStretchedOverTheWholeBadgeRightWayUp) {
  // Visible box columns 4..59, rows 2..61: upper half red, lower half blue.
  auto rep = BitmapImageRep::make(64, 64);
  for (std::int64_t y = 2; y <= 61; ++y)
    for (std::int64_t x = 4; x <= 59; ++x) rep->setPixel(y < 32 ? kOpaqueRed : kOpaqueBlue, x, y);
  Image source({64, 64});
  source.addRepresentation(rep);

  const auto badge = KRVFinderSync::p_fullBleedBadgeImageFromImage(source);
  ASSERT_TRUE(badge);
  expectTwoRepresentations(*badge);
  for (const auto& out : badge->representations()) {
    const std::int64_t side = out->pixelsWide();
    for (std::int64_t x = 0; x < side; ++x) {
      EXPECT_EQ(out->getPixel(x, 0), kOpaqueRed) << "top row, x " << x;
      EXPECT_EQ(out->getPixel(x, side - 1), kOpaqueBlue) << "bottom row, x " << x;
    }
    EXPECT_EQ(out->getPixel(0, side / 4)[3], 255u) << "left edge covered";
    EXPECT_EQ(out->getPixel(side - 1, side / 4)[3], 255u) << "right edge covered";
  }
}

TEST(FullBleed, NothingVisibleGivesNoImage) {
  EXPECT_FALSE(KRVFinderSync::p_fullBleedBadgeImageFromImage(*filledImage(8, 8, {0, 0, 0, 0})));
  EXPECT_FALSE(KRVFinderSync::p_fullBleedBadgeImageFromImage(*filledImage(8, 8, {255, 0, 0, 16})));
  EXPECT_FALSE(KRVFinderSync::p_fullBleedBadgeImageFromImage(Image({16, 16}))) << "no representation at all";
}

TEST(Dot, IsAFilledCircleOfTheColourAtBothScales) {
  const auto dot = KRVFinderSync::p_badgeDotWithColor(systemPurpleColor);
  ASSERT_TRUE(dot);
  expectTwoRepresentations(*dot);
  for (const auto& rep : dot->representations()) {
    const std::int64_t side = rep->pixelsWide();
    EXPECT_TRUE(sameColour(rep->getPixel(side / 2, side / 2), systemPurpleColor));
    EXPECT_TRUE(visible(rep->getPixel(side / 2, 0)));
    EXPECT_TRUE(visible(rep->getPixel(0, side / 2)));
    EXPECT_EQ(rep->getPixel(0, 0)[3], 0u);
    EXPECT_EQ(rep->getPixel(side - 1, side - 1)[3], 0u);
  }
}

TEST(SymbolBadge, UnknownSymbolGivesTheDot) {
  const auto badge = KRVFinderSync::p_badgeImageWithSymbolName("no.such.symbol", systemOrangeColor);
  const auto dot = KRVFinderSync::p_badgeDotWithColor(systemOrangeColor);
  ASSERT_TRUE(badge);
  expectTwoRepresentations(*badge);
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_TRUE(samePixels(*badge->representations()[i], *dot->representations()[i])) << "representation " << i;
}

TEST(SymbolBadge, EachSymbolIsFullBleedRoundAndColouredInTheMiddle) {
  for (const Row& row : kTable) {
    SCOPED_TRACE(row.symbol);
    const auto badge = KRVFinderSync::p_badgeImageWithSymbolName(row.symbol, row.color);
    ASSERT_TRUE(badge);
    expectTwoRepresentations(*badge);
    const auto dot = KRVFinderSync::p_badgeDotWithColor(row.color);
    EXPECT_FALSE(samePixels(*badge->representations()[1], *dot->representations()[1])) << "not the dot";
    for (const auto& rep : badge->representations()) {
      const std::int64_t side = rep->pixelsWide();
      bool top = false, bottom = false, left = false, right = false;
      for (std::int64_t i = 0; i < side; ++i) {
        top = top || visible(rep->getPixel(i, 0));
        bottom = bottom || visible(rep->getPixel(i, side - 1));
        left = left || visible(rep->getPixel(0, i));
        right = right || visible(rep->getPixel(side - 1, i));
      }
      EXPECT_TRUE(top && bottom && left && right) << side << " px";
      // Round: the corners stay clear.
      EXPECT_FALSE(visible(rep->getPixel(0, 0)));
      EXPECT_FALSE(visible(rep->getPixel(side - 1, side - 1)));
      const Pixel centre = rep->getPixel(side / 2, side / 2);
      EXPECT_TRUE(sameColour(centre, whiteColor, 40) || sameColour(centre, row.color, 40))
          << side << " px centre " << centre[0] << "," << centre[1] << "," << centre[2] << "," << centre[3];
      // Just inside the rim, left of the middle, is the badge colour.
      EXPECT_TRUE(sameColour(rep->getPixel(side / 16 + 1, side / 2), row.color, 40)) << side << " px rim";
    }
  }
}

TEST(Registration, SixImagesInTableOrderAndNoneForClean) {
  auto controller = std::make_shared<findersync::FakeController>();
  findersync::setDefaultController(controller);
  KRVFinderSync::p_registerBadgeImages();
  findersync::setDefaultController(nullptr);

  const auto calls = controller->badgeImageCalls();
  ASSERT_EQ(calls.size(), kTable.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(kTable[i].identifier);
    EXPECT_EQ(calls[i].identifier, kTable[i].identifier);
    EXPECT_EQ(calls[i].label, kTable[i].label);
    ASSERT_TRUE(calls[i].image);
    expectTwoRepresentations(*calls[i].image);
    EXPECT_NE(calls[i].identifier, KRVFinderSyncBadgeClean);
    // The image is the badge of the row's symbol and colour.
    const auto expected = KRVFinderSync::p_badgeImageWithSymbolName(kTable[i].symbol, kTable[i].color);
    EXPECT_TRUE(samePixels(*calls[i].image->representations()[1], *expected->representations()[1]));
  }
  // Deleted and Unversioned share a colour but not a glyph.
  EXPECT_FALSE(samePixels(*calls[3].image->representations()[1], *calls[5].image->representations()[1]));
}

TEST(Registration, WithoutAControllerNothingHappens) {
  findersync::setDefaultController(nullptr);
  KRVFinderSync::p_registerBadgeImages();
  EXPECT_EQ(findersync::defaultController(), nullptr);
}

TEST(Drawing, LeavesTheCallersContextUntouched) {
  auto mine = BitmapImageRep::make(8, 8);
  auto context = GraphicsContext::graphicsContextWithBitmapImageRep(mine);
  GraphicsContext::setCurrentContext(context);
  Color{0, 0, 1, 1}.setFill();
  context->setImageInterpolation(ImageInterpolation::None);

  KRVFinderSync::p_badgeImageWithSymbolName("lock.circle.fill", systemRedColor);
  KRVFinderSync::p_badgeDotWithColor(systemRedColor);

  EXPECT_EQ(GraphicsContext::currentContext(), context);
  EXPECT_EQ(context->imageInterpolation(), ImageInterpolation::None);
  for (std::int64_t y = 0; y < 8; ++y)
    for (std::int64_t x = 0; x < 8; ++x) ASSERT_EQ(mine->getPixel(x, y)[3], 0u) << "nothing drawn on the caller's bitmap";
  rectFill({0, 0, 8, 8});
  EXPECT_EQ(mine->getPixel(4, 4), kOpaqueBlue) << "the caller's fill colour survives";
  GraphicsContext::setCurrentContext(nullptr);

  // And with no context at all, none is left behind.
  KRVFinderSync::p_badgeDotWithColor(systemRedColor);
  EXPECT_EQ(GraphicsContext::currentContext(), nullptr);
}

TEST(ContactSheet, WritesOnePictureOfTheSixBadges) {
  testsupport::TempDir dir;
  const auto result = testsupport::run({testsupport::binDir() + "/badge-contact-sheet", dir / "sheet.png"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string png = testsupport::readFile(dir / "sheet.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);

  EXPECT_EQ(testsupport::run({testsupport::binDir() + "/badge-contact-sheet"}).status, 2) << "usage";
  EXPECT_NE(testsupport::run({testsupport::binDir() + "/badge-contact-sheet", dir / "missing/sheet.png"}).status, 0);
}
