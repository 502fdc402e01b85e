// The client core against the bus host on a private session bus, with the
// echo principal of tests/platform/findersync (a request for ".../NAME.BADGE"
// is answered "BADGE"). A bus monitor counts the calls that reach the bus.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <set>

#include "file-managers/core/badgeclient.h"
#include "platform/dispatch/dispatch.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using filemanagers::BadgeClient;
using testsupport::TempDir;

namespace {

std::string extensionPath() { return testsupport::binDir() + "/findersync_test_extension"; }

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus.useInThisProcess();
    monitor.emplace(std::vector<std::string>{"dbus-monitor", "--address", bus.address(),
                                             "type='method_call',interface='com.korvaneapp.v3.FinderSync'"});
    // The monitor announces itself by losing its own name.
    ASSERT_TRUE(testsupport::waitFor([&] { return monitor->out().find("NameLost") != std::string::npos; }, 10s));
    startExtension();
  }

  void startExtension() {
    extension.emplace(std::vector<std::string>{extensionPath()},
                      bus.env({{"TEST_EXTENSION_ROOTS", "/w"}, {"XDG_DATA_HOME", dir / "data"}}));
    ASSERT_TRUE(testbus::waitForExtension(10s)) << extension->err();
  }

  void makeClient(std::chrono::milliseconds timeout = 5s) {
    std::string error;
    client = BadgeClient::create({timeout}, &error);
    ASSERT_TRUE(client) << error;
    // Without the echo principal's marks of observed folders.
    client->onBadgesChanged([this](const std::vector<std::string>& paths) {
      std::copy_if(paths.begin(), paths.end(), std::back_inserter(changed),
                   [](const std::string& path) { return !path.ends_with("/.observed"); });
    });
    ASSERT_TRUE(dispatch::runMainUntil([&] { return client->serviceRunning(); }, 10s)) << client->lastError();
  }

  bool known(const std::vector<std::string>& paths) {
    return dispatch::runMainUntil(
        [&] { return std::all_of(paths.begin(), paths.end(), [&](auto& p) { return client->badgeForPath(p); }); }, 10s);
  }
  // What the monitor saw of the calls to the service; it writes with a lag.
  std::string calls() { return monitor->out(); }
  size_t seen(const std::string& what, size_t atLeast) {
    testsupport::waitFor([&] { return count(calls(), what) >= atLeast; }, 10s);
    return count(calls(), what);
  }

  TempDir dir;
  testbus::Bus bus;
  std::optional<testbus::Process> monitor;
  std::optional<testbus::Process> extension;
  std::shared_ptr<BadgeClient> client;
  std::vector<std::string> changed;
};

TEST_F(CoreTest, AnswersFromItsMapAndAsksOnceInOneBatchPerTurnOnlyInsideTheFolders) {
  makeClient();
  // A second listener hears what the owner hears, until it lets go.
  std::vector<std::string> heard;
  auto listening = client->subscribeBadgesChanged([&](const std::vector<std::string>& paths) {
    std::copy_if(paths.begin(), paths.end(), std::back_inserter(heard),
                 [](const std::string& path) { return !path.ends_with("/.observed"); });
  });
  EXPECT_EQ(client->directoryURLs(), std::vector<std::string>{"/w"});
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), std::nullopt);
  EXPECT_EQ(client->badgeForPath("/w/b.added"), std::nullopt);
  EXPECT_EQ(client->badgeForPath("/w/sub/c.deleted"), std::nullopt);
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), std::nullopt);  // queued once
  EXPECT_EQ(client->badgeForPath("/elsewhere/d.modified"), "");     // not the service's
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changed.size() >= 3; }, 10s));
  EXPECT_EQ(std::set<std::string>(changed.begin(), changed.end()),
            (std::set<std::string>{"/w/a.modified", "/w/b.added", "/w/sub/c.deleted"}));
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), "modified");
  EXPECT_EQ(client->badgeForPath("/w/sub/c.deleted"), "deleted");
  EXPECT_EQ(heard, changed);
  listening = {};

  // A later turn: one more batch, and its folder is observed already.
  EXPECT_EQ(client->badgeForPath("/w/e.conflicted"), std::nullopt);
  ASSERT_TRUE(known({"/w/e.conflicted"}));
  EXPECT_EQ(client->badgeForPath("/w/e.conflicted"), "conflicted");
  EXPECT_EQ(heard.size(), 3u);
  ASSERT_EQ(seen("member=RequestBadges", 2), 2u) << calls();
  EXPECT_EQ(count(calls(), "member=RequestBadge\n"), 0u);
  EXPECT_EQ(count(calls(), "member=BeginObservingDirectory"), 2u) << calls();
  EXPECT_EQ(count(calls(), "string \"/w\""), 1u);
  EXPECT_EQ(count(calls(), "string \"/w/sub\""), 1u);
  EXPECT_EQ(calls().find("/elsewhere"), std::string::npos);

  // Forgetting a folder ends its observation and drops its entries only.
  client->forgetDirectory("/w/sub");
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), "modified");
  EXPECT_EQ(client->badgeForPath("/w/sub/c.deleted"), std::nullopt);
  EXPECT_EQ(seen("member=EndObservingDirectory", 1), 1u);
}

// A file name that is not UTF-8 cannot travel in a bus string: it has no
// badge, and the rest of its batch is asked for and answered.
TEST_F(CoreTest, ANameThatIsNotUtf8HasNoBadgeAndLeavesTheRestOfItsBatchAnswered) {
  makeClient();
  const std::string bad = "/w/bad\xff.modified";
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), std::nullopt);
  EXPECT_EQ(client->badgeForPath(bad), "");
  EXPECT_EQ(client->badgeForPath("/w/b.added"), std::nullopt);
  client->observeDirectory("/w/dir\xfe");
  // Asked once, as a file manager does: the one batch must be answered.
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changed.size() >= 2; }, 10s)) << client->lastError();
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), "modified");
  EXPECT_EQ(client->badgeForPath("/w/b.added"), "added");
  EXPECT_EQ(client->badgeForPath(bad), "");
  EXPECT_EQ(client->lastError(), "");
  EXPECT_EQ(seen("member=RequestBadges", 1), 1u);
  EXPECT_EQ(calls().find("bad"), std::string::npos) << calls();
  EXPECT_EQ(calls().find("dir"), std::string::npos) << calls();
}

TEST_F(CoreTest, ClearsEveryBadgeWhenTheServiceGoesAndAsksAgainWhenItComesBack) {
  makeClient();
  std::vector<bool> service;
  client->onServiceChanged([&](bool running) { service.push_back(running); });
  client->badgeForPath("/w/a.modified");
  client->badgeForPath("/w/f");  // known to have no badge
  ASSERT_TRUE(known({"/w/a.modified", "/w/f"}));
  changed.clear();

  extension->signal(SIGTERM);
  ASSERT_EQ(extension->wait(10s), 0);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !service.empty(); }, 10s));
  EXPECT_EQ(service, std::vector<bool>{false});
  EXPECT_EQ(changed, std::vector<std::string>{"/w/a.modified"});
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), std::nullopt);
  EXPECT_TRUE(client->directoryURLs().empty());

  changed.clear();
  startExtension();
  // Back without being asked: folders, observations and badges.
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changed.size() >= 2; }, 10s));
  EXPECT_EQ(service, (std::vector<bool>{false, true}));
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), "modified");
  EXPECT_EQ(client->badgeForPath("/w/f"), "");
  EXPECT_EQ(seen("member=RequestBadges", 2), 2u);
  EXPECT_EQ(seen("string \"/w\"", 2), 2u);
}

TEST_F(CoreTest, AStoppedServiceMakesCallsTimeOutWithoutBlockingTheLoop) {
  makeClient(1s);
  ASSERT_TRUE(testsupport::stopProcess(extension->pid(), 10s));
  int ticks = 0;
  auto countTick = [](gpointer data) -> gboolean {
    ++*static_cast<int*>(data);
    return G_SOURCE_CONTINUE;
  };
  guint tick = g_timeout_add(20, countTick, &ticks);
  std::optional<std::string> chosen;
  EXPECT_EQ(client->badgeForPath("/w/g.added"), std::nullopt);
  client->chooseMenuItem("report", {"/w/g.added"}, "", [&](bool ok, const std::string& error) {
    chosen = ok ? "ok" : error;
  });
  EXPECT_EQ(client->badgeForPath("/w/g.added"), std::nullopt);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return chosen.has_value(); }, 10s));
  g_source_remove(tick);
  EXPECT_EQ(*chosen, "finder-extension did not answer within 1 s");
  EXPECT_GT(ticks, 5);  // the loop kept running while the calls waited
  extension->signal(SIGCONT);
  EXPECT_TRUE(known({"/w/g.added"}));
}

TEST_F(CoreTest, CachesBothMenusReportsChoiceErrorsAndFollowsTheFolders) {
  makeClient();
  ASSERT_TRUE(dispatch::runMainUntil([&] { return client->menu(0) && client->menu(1); }, 10s));
  using Items = std::vector<std::pair<std::string, std::string>>;
  for (std::uint32_t kind : {0u, 1u}) {
    EXPECT_TRUE(client->menu(kind)->present);
    EXPECT_EQ(client->menu(kind)->title, "Test");
    EXPECT_EQ(client->menu(kind)->items, (Items{{"One", "report"}, {"", ""}, {"Two", "roots"}}));
  }
  EXPECT_EQ(seen("member=GetMenu", 2), 2u);
  EXPECT_EQ(client->menu(2), std::nullopt);

  std::optional<std::pair<bool, std::string>> result;
  auto record = [&](bool ok, const std::string& error) { result.emplace(ok, error); };
  client->chooseMenuItem("nope", {"/w/a"}, "", record);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return result.has_value(); }, 10s));
  EXPECT_FALSE(result->first);
  EXPECT_NE(result->second.find("no menu action \"nope\""), std::string::npos) << result->second;

  client->badgeForPath("/w/a.modified");
  ASSERT_TRUE(known({"/w/a.modified"}));
  // Shown before its folder is watched: asked for when the folder arrives.
  EXPECT_EQ(client->badgeForPath("/x/h.added"), "");
  std::vector<std::string> dirs;
  client->onDirectoryURLsChanged([&](const std::vector<std::string>& now) { dirs = now; });
  changed.clear();
  result.reset();
  client->chooseMenuItem("roots", {"/x"}, "", record);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !dirs.empty(); }, 10s));
  EXPECT_EQ(dirs, std::vector<std::string>{"/x"});
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changed.size() >= 2; }, 10s));
  EXPECT_EQ(changed, (std::vector<std::string>{"/w/a.modified", "/x/h.added"}));  // first: outside the folders now
  EXPECT_EQ(client->badgeForPath("/x/h.added"), "added");
  EXPECT_EQ(client->badgeForPath("/w/a.modified"), "");
  EXPECT_TRUE(client->isInsideWatchedFolder("/x/y"));
  EXPECT_FALSE(client->isInsideWatchedFolder("/xy"));
}

TEST(Core, TheBusStartsTheServiceForTheFirstCall) {
  TempDir home;
  std::string dataHome = home / "data";
  ASSERT_EQ(testsupport::run({extensionPath(), "--install-service"}, {{"XDG_DATA_HOME", dataHome}}).status, 0);
  testbus::Bus bus({{"XDG_DATA_HOME", dataHome}, {"TEST_EXTENSION_ROOTS", "/started"}});
  bus.useInThisProcess();
  std::string error;
  auto client = BadgeClient::create({}, &error);
  ASSERT_TRUE(client) << error;
  ASSERT_TRUE(dispatch::runMainUntil([&] { return client->serviceRunning(); }, 10s)) << client->lastError();
  EXPECT_EQ(client->directoryURLs(), std::vector<std::string>{"/started"});
}

}  // namespace
