// The context menu end to end: finder-cli asks the real extension on a
// private session bus, the extension hands the command to the installed
// application stand-in, which reports it.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using testsupport::TempDir;

namespace {

class MenuEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    env = bus.env({{"XDG_DATA_HOME", dir / "data"},
                   {"XDG_DATA_DIRS", dir / "system"},
                   {"XDG_CONFIG_HOME", dir / "config"},
                   {"HOME", dir / "home"}});
    testsupport::makeDirs(dir / "home");
    auto installed = testsupport::run({testsupport::binDir() + "/korvane-app", "install-desktop-entry"}, env);
    ASSERT_EQ(installed.status, 0) << installed.err;
  }
  void startExtension(testbus::Environment extra = {}) {
    auto extensionEnv = env;
    extensionEnv.insert(extra.begin(), extra.end());
    extension.emplace(std::vector<std::string>{testsupport::binDir() + "/finder-extension"}, extensionEnv);
    bus.useInThisProcess();
    ASSERT_TRUE(testbus::waitForExtension(20s)) << extension->err();
  }
  testsupport::RunResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::binDir() + "/finder-cli");
    return testsupport::run(args, env);
  }
  // The application's log once it holds count reports.
  std::string receivedAfter(std::size_t count) {
    const std::string log = finderSync + "/ReceivedCommands.log";
    auto reports = [&] {
      if (!testsupport::exists(log)) return std::size_t{0};
      const std::string text = testsupport::readFile(log);
      std::size_t n = 0;
      for (auto at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at + 2)) ++n;
      return n;
    };
    testsupport::waitFor([&] { return reports() >= count; }, 10s);
    return testsupport::exists(log) ? testsupport::readFile(log) : "";
  }
  std::vector<std::string> commandFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(finderSync + "/Commands", ec))
      files.push_back(entry.path());
    return files;
  }

  TempDir dir;
  testbus::Bus bus;
  testbus::Environment env;
  std::optional<testbus::Process> extension;
  const std::string finderSync = dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
};

const std::string kMenu27 =
    "Korvane\n"
    "Show in Korvane\tshowInKorvane\n-\nUpdate\tupdateItems\nCommit Changes\xE2\x80\xA6\tcommitItems\n-\n"
    "Add\taddItems\nIgnore\tignoreItems\nRevert\xE2\x80\xA6\trevertItems\n";
const std::string kMenu26 =
    "Korvane\n"
    "Show in Korvane\tshowInKorvane\nUpdate\tupdateItems\nCommit Changes\xE2\x80\xA6\tcommitItems\n"
    "Add\taddItems\nIgnore\tignoreItems\nRevert\xE2\x80\xA6\trevertItems\n";

}  // namespace

TEST_F(MenuEndToEnd, TheBusServesTheMenuForItemsAndFoldersOnly) {
  startExtension();
  auto items = cli({"menu", "--kind", "0", dir / "a"});
  EXPECT_EQ(items.status, 0) << items.err;
  EXPECT_EQ(items.out, kMenu27);
  EXPECT_EQ(cli({"menu", "--kind", "1", dir.path()}).out, kMenu27);
  auto sidebar = cli({"menu", "--kind", "2"});
  EXPECT_EQ(sidebar.status, 0) << sidebar.err;
  EXPECT_EQ(sidebar.out, "");
}

TEST_F(MenuEndToEnd, AnOlderSystemVersionDropsTheSeparators) {
  startExtension({{"KRV_SYSTEM_VERSION", "26.4"}});
  EXPECT_EQ(cli({"menu", dir / "a"}).out, kMenu26);
}

TEST_F(MenuEndToEnd, UpdateOnTwoFilesReachesTheApplicationWithThePaths) {
  startExtension();
  testsupport::makeDirs(dir / "wc");
  testsupport::writeFile(dir / "wc/a.txt", "a");
  testsupport::writeFile(dir / "wc/b.txt", "b");
  auto chosen = cli({"choose", "updateItems", dir / "wc/a.txt", dir / "wc/./sub/../b.txt"});
  ASSERT_EQ(chosen.status, 0) << chosen.err;

  const std::string received = receivedAfter(1);
  EXPECT_EQ(received.substr(0, 4), "id: ");
  const std::string id = received.substr(4, received.find('\n') - 4);
  EXPECT_EQ(received, "id: " + id + "\naction: update\npath: " + dir / "wc/a.txt" + "\npath: " + dir / "wc/b.txt" +
                          "\nactivate: no\n\n");
  // The application consumed the command file, so it cannot be replayed.
  EXPECT_TRUE(testsupport::waitFor([&] { return commandFiles().empty(); }, 10s));
}

TEST_F(MenuEndToEnd, ShowInKorvaneOnTheWindowsFolderBringsTheApplicationForward) {
  startExtension();
  testsupport::makeDirs(dir / "wc");
  auto chosen = cli({"choose", "--targeted", dir / "wc/", "showInKorvane"});
  ASSERT_EQ(chosen.status, 0) << chosen.err;
  const std::string received = receivedAfter(1);
  EXPECT_NE(received.find("\naction: reveal\npath: " + dir / "wc" + "\nactivate: yes\n"), std::string::npos)
      << received;
}

TEST_F(MenuEndToEnd, ACommandThatIsNotSentFailsTheChoice) {
  startExtension();
  testsupport::makeDirs(finderSync);
  testsupport::writeFile(finderSync + "/Commands", "a file where the command folder belongs");
  auto chosen = cli({"choose", "updateItems", dir / "wc/a.txt"});
  EXPECT_EQ(chosen.status, 1);
  EXPECT_NE(chosen.err.find("the command was not sent"), std::string::npos) << chosen.err;
}
