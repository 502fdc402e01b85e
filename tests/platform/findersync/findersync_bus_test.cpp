// The extension host on a private session bus, driven through the client
// end, with a principal that echoes what it is asked (test_extension.cpp).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "platform/dispatch/dispatch.h"
#include "platform/findersync/findersync.h"
#include "tests/platform/findersync/bus_client.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using testsupport::TempDir;
using Badge = std::pair<std::string, std::string>;  // (path, badge)

namespace {

std::string extensionPath() { return testsupport::binDir() + "/findersync_test_extension"; }

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus.useInThisProcess();
    extension.emplace(std::vector<std::string>{extensionPath()},
                      bus.env({{"TEST_EXTENSION_ROOTS", "/r1:/r2"},
                               {"XDG_DATA_HOME", dir / "data"},
                               {"XDG_DATA_DIRS", dir / "system"}}));
    ASSERT_TRUE(testbus::waitForExtension(10s)) << extension->err();
    std::string error;
    client = testbus::Client::connect(10s, &error);
    ASSERT_TRUE(client) << error;
    client->onBadgeChanged([this](const std::string& path, const std::string& badge) {
      badges.emplace_back(path, badge);
    });
  }

  bool seen(const Badge& badge) { return std::find(badges.begin(), badges.end(), badge) != badges.end(); }
  bool waitForBadges(const std::vector<Badge>& wanted) {
    return dispatch::runMainUntil(
        [&] { return std::all_of(wanted.begin(), wanted.end(), [&](const Badge& b) { return seen(b); }); }, 10s);
  }

  TempDir dir;
  testbus::Bus bus;
  std::optional<testbus::Process> extension;
  std::unique_ptr<testbus::Client> client;
  std::vector<Badge> badges;
  std::string error;
};

TEST_F(HostTest, RoutesObservationAndBadgeRequestsToThePrincipalAndSendsBadgesAsSignals) {
  ASSERT_TRUE(client->beginObservingDirectory("/w", &error)) << error;
  ASSERT_TRUE(client->requestBadge("/w/a.modified", &error)) << error;
  ASSERT_TRUE(client->requestBadge("/w/plain", &error)) << error;
  ASSERT_TRUE(client->endObservingDirectory("/w", &error)) << error;
  EXPECT_TRUE(waitForBadges({{"/w/.observed", "begin"}, {"/w/a.modified", "modified"}, {"/w/plain", ""},
                             {"/w/.observed", "end"}}));
  EXPECT_EQ(badges.size(), 4u);
}

TEST_F(HostTest, RequestBadgesAsksForEachPathInOrderAndTheAnswersComeInFewerSignals) {
  std::vector<std::string> paths;
  std::vector<Badge> wanted;
  for (int i = 0; i < 200; ++i) {
    paths.push_back("/w/f" + std::to_string(i) + ".added");
    wanted.emplace_back(paths.back(), "added");
  }
  // One relative path refuses the whole call.
  EXPECT_FALSE(client->requestBadges({"/w/x.modified", "w/y"}, &error));
  EXPECT_NE(error.find("not an absolute path: \"w/y\""), std::string::npos) << error;
  ASSERT_TRUE(client->requestBadges(paths, &error)) << error;
  ASSERT_TRUE(dispatch::runMainUntil([&] { return badges.size() >= wanted.size(); }, 10s));
  EXPECT_EQ(badges, wanted);  // in order, and nothing of the refused call
  EXPECT_LT(client->badgeSignals(), wanted.size());
}

TEST_F(HostTest, CallsRunOnTheCallsQueueWhileRepliesUseTheMainQueue) {
  ASSERT_TRUE(client->requestBadge("/w/thread", &error)) << error;
  EXPECT_TRUE(waitForBadges({{"/w/thread", "calls"}}));
}

TEST_F(HostTest, RefusesPathsThatAreNotAbsolute) {
  EXPECT_FALSE(client->requestBadge("w/a.modified", &error));
  EXPECT_NE(error.find("not an absolute path: \"w/a.modified\""), std::string::npos) << error;
  EXPECT_FALSE(client->beginObservingDirectory("", &error));
  EXPECT_FALSE(client->chooseMenuItem("report", {"/w/a", "rel"}, "", &error));
  EXPECT_NE(error.find("\"rel\""), std::string::npos) << error;
  EXPECT_FALSE(client->chooseMenuItem("report", {"/w/a"}, "rel", &error));
  // Nothing reached the principal: a later request is the only answer.
  ASSERT_TRUE(client->requestBadge("/w/b.added", &error));
  ASSERT_TRUE(waitForBadges({{"/w/b.added", "added"}}));
  EXPECT_EQ(badges, (std::vector<Badge>{{"/w/b.added", "added"}}));
}

TEST_F(HostTest, MenuGivesTheTopTitleAndTheSubmenuWithSeparatorsForKindsZeroAndOneOnly) {
  for (std::uint32_t kind : {0u, 1u}) {
    auto menu = client->getMenu(kind, &error);
    ASSERT_TRUE(menu) << error;
    EXPECT_TRUE(menu->present);
    EXPECT_EQ(menu->title, "Test");
    using Items = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(menu->items, (Items{{"One", "report"}, {"", ""}, {"Two", "roots"}}));
  }
  auto none = client->getMenu(2, &error);
  ASSERT_TRUE(none) << error;
  EXPECT_FALSE(none->present);
  EXPECT_TRUE(none->items.empty());
}

TEST_F(HostTest, ChosenActionSeesTheSelectionOnlyWhileItRuns) {
  ASSERT_TRUE(client->chooseMenuItem("report", {"/w/a", "/w/sub/"}, "/w", &error)) << error;
  EXPECT_TRUE(waitForBadges({{"/w/a", "selected"}, {"/w/sub", "selected"}, {"/w", "targeted"}}));
  ASSERT_TRUE(client->requestBadge("/w/selection", &error));
  EXPECT_TRUE(waitForBadges({{"/w/selection", "0"}}));

  ASSERT_TRUE(client->chooseMenuItem("report", {}, "", &error)) << error;
  EXPECT_FALSE(client->chooseMenuItem("nope", {"/w/a"}, "", &error));
  EXPECT_NE(error.find("no menu action \"nope\""), std::string::npos) << error;
}

TEST_F(HostTest, DirectoryURLsPropertyAndSignalFollowTheController) {
  auto roots = client->directoryURLs(&error);
  ASSERT_TRUE(roots) << error;
  EXPECT_EQ(*roots, (std::vector<std::string>{"/r1", "/r2"}));

  std::vector<std::vector<std::string>> changes;
  client->onDirectoryURLsChanged([&](const std::vector<std::string>& paths) { changes.push_back(paths); });
  ASSERT_TRUE(client->chooseMenuItem("roots", {"/x", "/a/b"}, "", &error)) << error;
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !changes.empty(); }, 10s));
  EXPECT_EQ(changes.front(), (std::vector<std::string>{"/a/b", "/x"}));
  EXPECT_EQ(client->directoryURLs(&error), (std::vector<std::string>{"/a/b", "/x"}));
}

// With the emblems in the system's icon theme, as a package installs them,
// the extension names those and copies nothing into the user's home.
class InstalledThemeTest : public HostTest {
 protected:
  void SetUp() override {
    for (const char* size : {"16x16", "16x16@2"}) {
      const std::string emblems = dir / "system/icons/hicolor/" + size + "/emblems";
      std::filesystem::create_directories(emblems);
      testsupport::writeFile(emblems + "/emblem-korvane-modified.png", "\x89PNG");
    }
    HostTest::SetUp();
  }
};

TEST_F(InstalledThemeTest, BadgeImagesNameTheSystemThemesEmblemsWithoutACopy) {
  auto images = client->badgeImages(&error);
  ASSERT_TRUE(images) << error;
  ASSERT_EQ(images->size(), 2u);
  EXPECT_EQ((*images)[0].png16Path, dir / "system/icons/hicolor/16x16/emblems/emblem-korvane-modified.png");
  EXPECT_EQ((*images)[0].png32Path, dir / "system/icons/hicolor/16x16@2/emblems/emblem-korvane-modified.png");
  EXPECT_FALSE(std::filesystem::exists(dir / "data/icons/hicolor/16x16/emblems/emblem-korvane-modified.png"));
}

TEST_F(HostTest, BadgeImagesListsTheRegisteredImagesWithTheirInstalledEmblems) {
  auto images = client->badgeImages(&error);
  ASSERT_TRUE(images) << error;
  ASSERT_EQ(images->size(), 2u);
  const auto& modified = (*images)[0];
  EXPECT_EQ(modified.identifier, "modified");
  EXPECT_EQ(modified.label, "Modified");
  EXPECT_EQ(modified.png16Path, dir / "data/icons/hicolor/16x16/emblems/emblem-korvane-modified.png");
  EXPECT_EQ(modified.png32Path, dir / "data/icons/hicolor/16x16@2/emblems/emblem-korvane-modified.png");
  EXPECT_EQ(testsupport::readFile(modified.png16Path).substr(1, 3), "PNG");
  EXPECT_EQ(testsupport::readFile(modified.png32Path).substr(1, 3), "PNG");
  // An image that cannot be installed is still listed, without files.
  const auto& nothing = (*images)[1];
  EXPECT_EQ(nothing.identifier, "nothing");
  EXPECT_EQ(nothing.png16Path, "");
  EXPECT_EQ(nothing.png32Path, "");
}

TEST_F(HostTest, SecondInstanceIsRefusedAndTheFirstKeepsTheName) {
  testbus::Process second({extensionPath()}, bus.env());
  EXPECT_EQ(second.wait(10s), 1);
  EXPECT_NE(second.err().find("already owns com.korvaneapp.v3.FinderSync"), std::string::npos) << second.err();
  EXPECT_TRUE(extension->running());
  ASSERT_TRUE(client->requestBadge("/w/c.deleted", &error)) << error;
  EXPECT_TRUE(waitForBadges({{"/w/c.deleted", "deleted"}}));
}

TEST_F(HostTest, EndsWithStatusZeroOnSigterm) {
  extension->signal(SIGTERM);
  EXPECT_EQ(extension->wait(10s), 0) << extension->err();
  EXPECT_FALSE(client->serviceIsRunning());
}

TEST_F(HostTest, EndsWithStatusZeroOnSigint) {
  extension->signal(SIGINT);
  EXPECT_EQ(extension->wait(10s), 0) << extension->err();
}

TEST_F(HostTest, EndsWithStatusZeroWhenTheBusGoesAway) {
  bool gone = false;
  client->onServiceGone([&] { gone = true; });
  bus.stop();
  EXPECT_EQ(extension->wait(10s), 0) << extension->err();
  EXPECT_TRUE(dispatch::runMainUntil([&] { return gone; }, 10s));
}

TEST(Host, FailsWithStatusOneWithoutASessionBus) {
  testbus::Process extension({extensionPath()}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(extension.wait(10s), 1);
  EXPECT_NE(extension.err().find("cannot connect to the session bus"), std::string::npos) << extension.err();
}

TEST(Host, FailsWithStatusOneWhenThePrincipalCannotStart) {
  testbus::Bus bus;
  testbus::Process extension({extensionPath()}, bus.env({{"TEST_EXTENSION_FAIL", "1"}}));
  EXPECT_EQ(extension.wait(10s), 1);
  EXPECT_NE(extension.err().find("could not start"), std::string::npos) << extension.err();
  bus.useInThisProcess();
  std::string error;
  auto client = testbus::Client::connect(5s, &error);
  ASSERT_TRUE(client) << error;
  EXPECT_FALSE(client->serviceIsRunning());
}

TEST(Host, InstalledServiceFileLetsTheBusStartTheExtensionOnDemand) {
  TempDir home;
  std::string dataHome = home / "data";
  auto install = testsupport::run({extensionPath(), "--install-service"}, {{"XDG_DATA_HOME", dataHome}});
  ASSERT_EQ(install.status, 0) << install.err;
  std::string file = dataHome + "/dbus-1/services/com.korvaneapp.v3.FinderSync.service";
  EXPECT_EQ(install.out, file + "\n");
  std::string exec = std::filesystem::canonical(extensionPath()).string();
  EXPECT_EQ(testsupport::readFile(file),
            "[D-BUS Service]\nName=com.korvaneapp.v3.FinderSync\nExec='" + exec + "'\n");

  testbus::Bus bus({{"XDG_DATA_HOME", dataHome}, {"TEST_EXTENSION_ROOTS", "/started"}});
  bus.useInThisProcess();
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  EXPECT_FALSE(client->serviceIsRunning());
  EXPECT_EQ(client->directoryURLs(&error), std::vector<std::string>{"/started"}) << error;
  EXPECT_TRUE(client->serviceIsRunning());
}

TEST(Host, ClientReportsAMissingExtensionAtOnce) {
  testbus::Bus bus;
  bus.useInThisProcess();
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  EXPECT_FALSE(client->requestBadge("/w/a", &error));
  EXPECT_NE(error.find("finder-extension is not running"), std::string::npos) << error;
  EXPECT_FALSE(client->getMenu(0, &error));
  EXPECT_FALSE(client->directoryURLs(&error));
}

}  // namespace
