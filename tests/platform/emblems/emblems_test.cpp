#include "platform/emblems/emblems.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/support.h"

using testsupport::TempDir;

namespace {

// Sets XDG_DATA_HOME and HOME (nullptr: unset) for the test's lifetime.
struct Env : testsupport::ScopedEnv {
  Env(const char* xdg, const char* home) : ScopedEnv({{"XDG_DATA_HOME", xdg}, {"HOME", home}}) {}
};

// A 16-point image with a 16- and a 32-pixel representation, each filled
// with its own colour.
std::shared_ptr<graphics::Image> badgeImage(unsigned red) {
  auto image = std::make_shared<graphics::Image>(graphics::Size{16, 16});
  for (std::int64_t pixels : {16, 32}) {
    auto rep = graphics::BitmapImageRep::make(pixels, pixels);
    rep->setSize({16, 16});
    for (std::int64_t y = 0; y < pixels; ++y)
      for (std::int64_t x = 0; x < pixels; ++x) rep->setPixel({red, 0, pixels == 16 ? 0u : 255u, 255}, x, y);
    image->addRepresentation(rep);
  }
  return image;
}

// Width and height from a PNG file's header.
std::pair<unsigned, unsigned> pngSize(const std::string& path) {
  const std::string bytes = testsupport::readFile(path);
  if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
  const auto word = [&](std::size_t at) {
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  return {word(16), word(20)};
}

std::string pngOf(const graphics::BitmapImageRep& rep) {
  const auto png = rep.PNGRepresentation();
  return png ? std::string(png->begin(), png->end()) : std::string();
}

}  // namespace

TEST(Emblems, InstallsBothSizesInTheIconTheme) {
  TempDir dir;
  Env env((dir / "data").c_str(), "/nonexistent");
  const auto image = badgeImage(255);
  const auto installed = emblems::installEmblem(*image, "conflicted");
  ASSERT_TRUE(installed);
  EXPECT_EQ(installed->path1x, dir / "data/icons/hicolor/16x16/emblems/emblem-korvane-conflicted.png");
  EXPECT_EQ(installed->path2x, dir / "data/icons/hicolor/16x16@2/emblems/emblem-korvane-conflicted.png");
  EXPECT_EQ(pngSize(installed->path1x), std::make_pair(16u, 16u));
  EXPECT_EQ(pngSize(installed->path2x), std::make_pair(32u, 32u));
  EXPECT_EQ(testsupport::readFile(installed->path1x), pngOf(*image->representations()[0]));
  EXPECT_EQ(testsupport::readFile(installed->path2x), pngOf(*image->representations()[1]));
  struct stat st;
  ASSERT_EQ(stat(installed->path1x.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "readable by the file manager";
}

TEST(Emblems, PicksRepresentationsBySizeNotOrder) {
  TempDir dir;
  Env env(dir.path().c_str(), nullptr);
  const auto ordered = badgeImage(255);
  graphics::Image reversed({16, 16});
  reversed.addRepresentation(ordered->representations()[1]);
  reversed.addRepresentation(ordered->representations()[0]);
  const auto installed = emblems::installEmblem(reversed, "added");
  ASSERT_TRUE(installed);
  EXPECT_EQ(pngSize(installed->path1x), std::make_pair(16u, 16u));
  EXPECT_EQ(pngSize(installed->path2x), std::make_pair(32u, 32u));
}

TEST(Emblems, DefaultsToTheHomeDataFolderAndIgnoresRelativeXDG) {
  TempDir dir;
  for (const char* xdg : {static_cast<const char*>(nullptr), "relative/data"}) {
    Env env(xdg, dir.path().c_str());
    const auto installed = emblems::installEmblem(*badgeImage(10), "modified");
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->path1x, dir / ".local/share/icons/hicolor/16x16/emblems/emblem-korvane-modified.png");
    EXPECT_TRUE(testsupport::exists(installed->path2x));
  }
  Env none(nullptr, nullptr);
  EXPECT_FALSE(emblems::installEmblem(*badgeImage(10), "modified"));
}

TEST(Emblems, ReplacesAnEarlierFileAndLeavesNoTemporaries) {
  TempDir dir;
  Env env(dir.path().c_str(), nullptr);
  const auto first = emblems::installEmblem(*badgeImage(10), "locked");
  ASSERT_TRUE(first);
  const auto second = badgeImage(200);
  ASSERT_TRUE(emblems::installEmblem(*second, "locked"));
  EXPECT_EQ(testsupport::readFile(first->path1x), pngOf(*second->representations()[0]));
  const auto folder = std::filesystem::path(first->path1x).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);
}

TEST(Emblems, RefusesUnsafeNamesAndImagesWithoutBothSizes) {
  TempDir dir;
  Env env((dir / "data").c_str(), nullptr);
  for (const std::string bad : {"", ".", "..", "../escape", "a/b"})
    EXPECT_FALSE(emblems::installEmblem(*badgeImage(1), bad)) << bad;
  EXPECT_FALSE(testsupport::exists(dir / "data")) << "nothing written for a refused name";

  graphics::Image onlySmall({16, 16});
  onlySmall.addRepresentation(badgeImage(1)->representations()[0]);
  EXPECT_FALSE(emblems::installEmblem(onlySmall, "deleted"));
  EXPECT_FALSE(emblems::installEmblem(graphics::Image({16, 16}), "deleted"));
}

TEST(Emblems, FailsWhenTheFolderCannotBeMade) {
  TempDir dir;
  testsupport::writeFile(dir / "file", "not a folder");
  Env env((dir / "file").c_str(), nullptr);
  EXPECT_FALSE(emblems::installEmblem(*badgeImage(1), "unversioned"));
}

TEST(Emblems, WritesIntoAGivenThemeFolderWhateverTheEnvironment) {
  TempDir dir;
  Env env(nullptr, nullptr);
  const auto written = emblems::writeEmblem(*badgeImage(30), "added", dir / "share/icons/hicolor");
  ASSERT_TRUE(written);
  EXPECT_EQ(written->path1x, dir / "share/icons/hicolor/16x16/emblems/emblem-korvane-added.png");
  EXPECT_EQ(pngSize(written->path2x), std::make_pair(32u, 32u));
  EXPECT_FALSE(emblems::writeEmblem(*badgeImage(30), "../added", dir / "share/icons/hicolor"));
}

TEST(Emblems, FindsTheEmblemsOfAnInstalledThemeInTheFirstDataFolderHoldingBoth) {
  TempDir dir;
  // Only the 16-pixel file in the first folder: it does not count.
  std::filesystem::create_directories(dir / "first/icons/hicolor/16x16/emblems");
  testsupport::writeFile(dir / "first/icons/hicolor/16x16/emblems/emblem-korvane-added.png", "png");
  ASSERT_TRUE(emblems::writeEmblem(*badgeImage(30), "added", dir / "second/icons/hicolor"));
  ASSERT_TRUE(emblems::writeEmblem(*badgeImage(30), "added", dir / "third/icons/hicolor"));
  const std::string dirs = "relative/share:" + (dir / "first") + ":" + (dir / "second") + ":" +
                           (dir / "third");
  testsupport::ScopedEnv env({{"XDG_DATA_DIRS", dirs.c_str()}});
  const auto found = emblems::themeEmblem("added");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path1x, dir / "second/icons/hicolor/16x16/emblems/emblem-korvane-added.png");
  EXPECT_EQ(found->path2x, dir / "second/icons/hicolor/16x16@2/emblems/emblem-korvane-added.png");
  EXPECT_FALSE(emblems::themeEmblem("modified"));
  EXPECT_FALSE(emblems::themeEmblem("../added"));
}
