// korvane-app install-desktop-entry, and the installed entry launched by the
// desktop's launcher the way the extension opens a command URL.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/plist/plist.h"
#include "platform/workspace/workspace.h"
#include "tests/support/support.h"

using testsupport::TempDir;

namespace {

const std::string kID = "5A0B2C4D-6E8F-4A1B-9C3D-5E7F9A1B3C5D";

class DesktopEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir / "system").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("HOME", (dir / "home").c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }

  std::string install(const std::string& program, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {program, "install-desktop-entry"});
    auto result = testsupport::run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }
  void writeCommand(const std::vector<std::string>& paths) {
    testsupport::makeDirs(finderSync + "/Commands");
    const plist::Dictionary command = {{"action", "commit"},
                                       {"paths", plist::Array(paths.begin(), paths.end())},
                                       {"date", std::chrono::system_clock::now()}};
    ASSERT_TRUE(plist::writeFileAtomically(finderSync + "/Commands/" + kID + ".plist", command));
  }
  // What the launched handler logged, once it has logged count reports.
  std::string logAfter(std::size_t count) {
    const std::string log = finderSync + "/ReceivedCommands.log";
    auto reports = [&] {
      if (!testsupport::exists(log)) return std::size_t{0};
      const std::string text = testsupport::readFile(log);
      std::size_t n = 0;
      for (std::size_t at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at + 2)) ++n;
      return n;
    };
    testsupport::waitFor([&] { return reports() >= count; }, std::chrono::seconds(10));
    return testsupport::exists(log) ? testsupport::readFile(log) : "";
  }

  TempDir dir;
  const std::string entry = dir / "data/applications/com.korvaneapp.v3.desktop";
  const std::string finderSync = dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST_F(DesktopEntry, InstallsTheHandlerOfKorvaneURLsUnderTheApplicationsIdentifier) {
  const std::string program = testsupport::binDir() + "/korvane-app";
  EXPECT_EQ(install(program), entry + "\n");
  const std::string text = testsupport::readFile(entry);
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=" + program + " open-url %u\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nMimeType=x-scheme-handler/korvane;\n"), std::string::npos) << text;
  EXPECT_EQ(workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3")->path(), entry);

  install(program, {"--run"});
  EXPECT_NE(testsupport::readFile(entry).find("korvane-app open-url --run %u\n"), std::string::npos);
  EXPECT_EQ(testsupport::run({program, "install-desktop-entry", "--now"}).status, 2);
}

TEST_F(DesktopEntry, LaunchedEntryReceivesTheURLAndTheActivationRequest) {
  install(testsupport::binDir() + "/korvane-app");
  writeCommand({"/wc/one", "/wc/two"});
  const auto app = workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3");
  ASSERT_TRUE(app);
  const std::string url = "korvane://finder-sync-command?id=" + kID;
  ASSERT_TRUE(workspace::openURLs({url}, *app, {.activates = false}));
  const std::string report = "id: " + kID + "\naction: commit\npath: /wc/one\npath: /wc/two\n";
  EXPECT_EQ(logAfter(1), report + "activate: no\n\n");
  // The handler deletes a command file once read.
  writeCommand({"/wc/one", "/wc/two"});
  ASSERT_TRUE(workspace::openURLs({url}, *app, {.activates = true}));
  EXPECT_EQ(logAfter(2), report + "activate: no\n\n" + report + "activate: yes\n\n");
}

// The program's path goes into the Exec line quoted; the desktop's own
// parser must give back exactly that path. ("%" is left out: GIO checks that
// the program exists before it expands "%%", so it rejects such a path.)
TEST_F(DesktopEntry, AProgramPathWithAwkwardCharactersStillLaunches) {
  const std::string folder = dir / "odd $HOME \"quoted\" `tick` back\\slash";
  testsupport::makeDirs(folder);
  std::filesystem::copy_file(testsupport::binDir() + "/korvane-app", folder + "/korvane-app");
  std::filesystem::permissions(folder + "/korvane-app", std::filesystem::perms::owner_all);
  install(folder + "/korvane-app");
  writeCommand({"/wc/odd"});
  ASSERT_TRUE(workspace::openURLs({"korvane://finder-sync-command?id=" + kID},
                                  *workspace::URLForApplicationWithBundleIdentifier("com.korvaneapp.v3"),
                                  {.activates = false}));
  EXPECT_EQ(logAfter(1), "id: " + kID + "\naction: commit\npath: /wc/odd\nactivate: no\n\n");
}

// The desktop's own launchers find the handler by the URL's scheme: GIO
// (gio open, file managers) and xdg-open, which for an unknown desktop reads
// mimeapps.list and mimeinfo.cache itself. The user's other defaults stay.
TEST_F(DesktopEntry, TheDesktopsLaunchersOpenKorvaneURLsWithIt) {
  testsupport::makeDirs(dir / "config");
  testsupport::writeFile(dir / "config/mimeapps.list",
                         "[Default Applications]\nx-scheme-handler/ftp=ftp-client.desktop\n");
  install(testsupport::binDir() + "/korvane-app");
  const std::string mimeapps = testsupport::readFile(dir / "config/mimeapps.list");
  EXPECT_NE(mimeapps.find("x-scheme-handler/ftp=ftp-client.desktop\n"), std::string::npos) << mimeapps;
  EXPECT_NE(mimeapps.find("x-scheme-handler/korvane=com.korvaneapp.v3.desktop;"), std::string::npos) << mimeapps;

  writeCommand({"/wc/one"});
  const std::string url = "korvane://finder-sync-command?id=" + kID;
  const std::string report = "id: " + kID + "\naction: commit\npath: /wc/one\nactivate: no\n\n";
  const auto gio = testsupport::run({"gio", "open", url});
  ASSERT_EQ(gio.status, 0) << gio.err;
  EXPECT_EQ(logAfter(1), report);
  writeCommand({"/wc/one"});
  // xdg-open asks for scheme handlers only when a display is named; nothing
  // here connects to it.
  const auto xdg = testsupport::run({"xdg-open", url}, {{"XDG_CURRENT_DESKTOP", ""}, {"DISPLAY", ":0"}});
  ASSERT_EQ(xdg.status, 0) << xdg.err;
  EXPECT_EQ(logAfter(2), report + report);
}
