#include "platform/workspace/workspace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "tests/support/support.h"

using foundation::FileURL;
using testsupport::TempDir;

namespace {

// Points the desktop's application folders at a temporary tree and restores
// the variables afterwards. recorder is a desktop entry whose program writes
// one line per launch into launches.log: its arguments, then the two
// activation variables ("-" when unset).
class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir / "system").c_str(), 1);
    testsupport::makeDirs(dir / "data/applications");
    testsupport::makeDirs(dir / "system/applications");
    testsupport::writeLaunchRecorder(dir.path());
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    workspace::setMainBundleURL(std::nullopt);
  }

  std::string writeEntry(const std::string& path, const std::string& execArguments = "%u") {
    testsupport::writeFile(path, "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + (dir / "record.sh") +
                                     " " + execArguments + "\n");
    return path;
  }

  // The launches recorded once count of them have arrived.
  std::vector<std::string> launches(std::size_t count) {
    const std::string log = dir / "launches.log";
    auto lines = [&] {
      std::vector<std::string> result;
      if (!testsupport::exists(log)) return result;
      std::istringstream in(testsupport::readFile(log));
      for (std::string line; std::getline(in, line);) result.push_back(line);
      return result;
    };
    testsupport::waitFor([&] { return lines().size() >= count; }, std::chrono::seconds(10));
    return lines();
  }

  TempDir dir;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> result;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '|');) result.push_back(field);
  return result;
}

}  // namespace

TEST_F(Workspace, BundleIsTheExecutablesFolderUnlessReplaced) {
  EXPECT_EQ(workspace::mainBundleURL().path(), testsupport::binDir());
  workspace::setMainBundleURL(FileURL::fileURLWithPath("/opt/Korvane.app/Contents/PlugIns/Ext"));
  EXPECT_EQ(workspace::mainBundleURL().path(), "/opt/Korvane.app/Contents/PlugIns/Ext");
  workspace::setMainBundleURL(std::nullopt);
  EXPECT_EQ(workspace::mainBundleURL().path(), testsupport::binDir());
}

TEST_F(Workspace, ApplicationIsTheUsersDesktopEntryBeforeTheSystemsOne) {
  EXPECT_FALSE(workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3"));
  const std::string system = writeEntry(dir / "system/applications/com.korvaneapp.v3.desktop");
  EXPECT_EQ(workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3")->path(), system);
  const std::string user = writeEntry(dir / "data/applications/com.korvaneapp.v3.desktop");
  EXPECT_EQ(workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3")->path(), user);
  EXPECT_FALSE(workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp"));
}

TEST_F(Workspace, OpensURLsWithADesktopEntryAndActivatesOnlyWhenAsked) {
  // The test's own variables must not leak into a launch that does not activate.
  setenv("XDG_ACTIVATION_TOKEN", "inherited", 1);
  setenv("DESKTOP_STARTUP_ID", "inherited", 1);
  const auto app = FileURL::fileURLWithPath(writeEntry(dir / "data/applications/app.desktop"));

  ASSERT_TRUE(workspace::openURLs({"korvane://finder-sync-command?id=first"}, app, {.activates = false}));
  auto lines = launches(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "korvane://finder-sync-command?id=first|-|-");

  ASSERT_TRUE(workspace::openURLs({"korvane://finder-sync-command?id=second"}, app, {.activates = true}));
  lines = launches(2);
  ASSERT_EQ(lines.size(), 2u);
  auto second = fields(lines[1]);
  ASSERT_EQ(second.size(), 3u) << lines[1];
  EXPECT_EQ(second[0], "korvane://finder-sync-command?id=second");
  EXPECT_NE(second[1], "inherited");
  EXPECT_NE(second[1], "-");
  EXPECT_EQ(second[1], second[2]);
}

TEST_F(Workspace, TheDefaultConfigurationActivatesAndAFreshTokenComesWithEachLaunch) {
  const auto app = FileURL::fileURLWithPath(writeEntry(dir / "data/applications/app.desktop"));
  ASSERT_TRUE(workspace::openURLs({"korvane://a"}, app, {}));
  ASSERT_TRUE(workspace::openURLs({"korvane://b"}, app, {}));
  auto lines = launches(2);
  ASSERT_EQ(lines.size(), 2u);
  auto a = fields(lines[0]), b = fields(lines[1]);
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_NE(a[1], "-");
  EXPECT_NE(a[1], b[1]);
}

TEST_F(Workspace, ABundleIsLaunchedThroughTheFirstDesktopEntryInItsContents) {
  const std::string bundle = dir / "Korvane.app";
  testsupport::makeDirs(bundle + "/Contents");
  EXPECT_FALSE(workspace::openURLs({"korvane://none"}, FileURL::fileURLWithPath(bundle), {}));

  testsupport::writeFile(bundle + "/Contents/b.desktop",
                         "[Desktop Entry]\nType=Application\nName=B\nExec=" + (dir / "record.sh") + " b %u\n");
  writeEntry(bundle + "/Contents/a.desktop", "a %U");
  ASSERT_TRUE(workspace::openURLs({"korvane://one", "korvane://two"}, FileURL::fileURLWithPath(bundle),
                                  {.activates = false}));
  auto lines = launches(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "a korvane://one korvane://two|-|-");
}

TEST_F(Workspace, NothingToLaunchIsReportedAsFailure) {
  EXPECT_FALSE(workspace::openURLs({"korvane://x"}, FileURL::fileURLWithPath(dir / "missing.desktop"), {}));
  testsupport::writeFile(dir / "broken.desktop", "not a desktop entry\n");
  EXPECT_FALSE(workspace::openURLs({"korvane://x"}, FileURL::fileURLWithPath(dir / "broken.desktop"), {}));
}
