#include "platform/launchservices/launchservices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/support.h"

using launchservices::applicationURLsForName;
using launchservices::LSCopyApplicationURLsForBundleIdentifier;
using testsupport::makeDirs;
using testsupport::writeFile;

namespace {

std::string applicationEntry(const std::string& name, const std::string& more = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + more;
}

std::vector<std::string> paths(const std::optional<std::vector<foundation::FileURL>>& urls) {
  std::vector<std::string> result;
  if (urls)
    for (const auto& url : urls.value()) result.push_back(url.path());
  return result;
}

// Real application folders under a temporary directory: XDG_DATA_HOME is
// <tmp>/home, XDG_DATA_DIRS is <tmp>/sys1:<tmp>/sys2, HOME is <tmp>/user.
class LaunchServices : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* key : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "HOME"}) {
      const char* value = std::getenv(key);
      saved_.emplace_back(key, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("XDG_DATA_HOME", (dir_ / "home").c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir_ / "sys1:" + dir_.path() + "/sys2").c_str(), 1);
    setenv("HOME", (dir_ / "user").c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [key, value] : saved_) value ? setenv(key.c_str(), value->c_str(), 1) : unsetenv(key.c_str());
  }

  // Writes <tmp>/<base>/applications/<relative> and returns its path.
  std::string install(const std::string& base, const std::string& relative, const std::string& content) {
    std::string path = dir_ / (base + "/applications/" + relative);
    makeDirs(std::filesystem::path(path).parent_path().string());
    writeFile(path, content);
    return path;
  }

  testsupport::TempDir dir_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(LaunchServices, FindsAnEntryByItsDesktopFileID) {
  std::string path = install("sys2", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  std::string error;
  EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("com.korvaneapp.v3", &error)), std::vector{path});
  EXPECT_EQ(error, "");
  EXPECT_FALSE(LSCopyApplicationURLsForBundleIdentifier("com.korvaneapp", &error));
  EXPECT_EQ(error, "no application has the identifier \"com.korvaneapp\"");
  EXPECT_FALSE(LSCopyApplicationURLsForBundleIdentifier("com.korvaneapp.v3.desktop"));
}

TEST_F(LaunchServices, EntriesSharingAnIDInOneFolderComeInPathOrder) {
  std::string nested = install("sys1", "org/example/Viewer.desktop", applicationEntry("Viewer"));
  std::string flat = install("sys1", "org-example-Viewer.desktop", applicationEntry("Viewer"));
  install("sys2", "org-example-Viewer.desktop", applicationEntry("Viewer"));
  EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("org-example-Viewer")), (std::vector{flat, nested}));
}

TEST_F(LaunchServices, HiddenOrBrokenEntriesAreNotFoundAndStillHideLowerFolders) {
  install("sys2", "org.example.Tool.desktop", applicationEntry("Tool"));
  const std::pair<std::string, std::string> notCounting[] = {
      {"hidden", applicationEntry("Tool", "Hidden=true\n")},
      {"deleted", "[Desktop Entry]\nHidden=true\n"},
      {"not a key file", "this is not a desktop entry\n"},
      {"no entry group", "[Something Else]\nType=Application\nName=Tool\n"},
      {"entry group not first", "[Other]\nA=b\n[Desktop Entry]\nType=Application\nName=Tool\n"},
      {"no type", "[Desktop Entry]\nName=Tool\n"},
      {"no name", "[Desktop Entry]\nType=Application\n"},
      {"a link", "[Desktop Entry]\nType=Link\nName=Tool\nURL=https://example.org/\n"},
  };
  for (const auto& [what, content] : notCounting) {
    install("home", "org.example.Tool.desktop", content);
    std::string error;
    EXPECT_FALSE(LSCopyApplicationURLsForBundleIdentifier("org.example.Tool", &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
    EXPECT_FALSE(applicationURLsForName("Tool")) << what;
  }
  // Hidden=false and a malformed Hidden value leave the entry shown.
  for (const char* hidden : {"Hidden=false\n", "Hidden=perhaps\n"}) {
    std::string path = install("home", "org.example.Tool.desktop", applicationEntry("Tool", hidden));
    EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("org.example.Tool")), std::vector{path}) << hidden;
  }
}

TEST_F(LaunchServices, OnlyDesktopFilesCount) {
  install("home", "org.example.Notes.desktop.orig", applicationEntry("Notes"));
  install("home", "org.example.Notes", applicationEntry("Notes"));
  EXPECT_FALSE(LSCopyApplicationURLsForBundleIdentifier("org.example.Notes"));
  EXPECT_FALSE(applicationURLsForName("Notes"));
}

TEST_F(LaunchServices, UnsetOrRelativeVariablesTakeTheirDefaults) {
  std::string user = install("user/.local/share", "org.example.Clock.desktop", applicationEntry("Clock"));
  std::string sys = install("sys1", "org.example.Clock.desktop", applicationEntry("Clock"));
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("org.example.Clock")), std::vector{user});
  setenv("XDG_DATA_HOME", "relative/home", 1);
  EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("org.example.Clock")), std::vector{user});

  // Relative folders of XDG_DATA_DIRS are skipped; trailing and doubled
  // slashes do not change the answer's path.
  std::filesystem::remove(user);
  setenv("XDG_DATA_DIRS", ("relative:" + dir_.path() + "//sys1/").c_str(), 1);
  EXPECT_EQ(paths(LSCopyApplicationURLsForBundleIdentifier("org.example.Clock")), std::vector{sys});
}

TEST_F(LaunchServices, FindsByUntranslatedNameInPrecedenceOrder) {
  std::string mine = install("home", "local.Korvane.desktop", applicationEntry("Korvane", "Name[fr]=Corvane\n"));
  std::string system = install("sys2", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  install("sys1", "other.desktop", applicationEntry("Korvane Helper"));
  EXPECT_EQ(paths(applicationURLsForName("Korvane")), (std::vector{mine, system}));
  EXPECT_FALSE(applicationURLsForName("Corvane"));
  EXPECT_FALSE(applicationURLsForName("korvane"));
  std::string error;
  EXPECT_FALSE(applicationURLsForName("", &error));
  EXPECT_EQ(error, "no application is named \"\"");

  // An ID hidden by a higher folder is not found by name either.
  install("sys1", "com.korvaneapp.v3.desktop", applicationEntry("Korvane", "Hidden=true\n"));
  EXPECT_EQ(paths(applicationURLsForName("Korvane")), std::vector{mine});
}

}  // namespace
