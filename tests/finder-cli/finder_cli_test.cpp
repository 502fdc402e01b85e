// finder-cli against the echoing test extension on a private session bus.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/dispatch/dispatch.h"
#include "platform/findersync/findersync.h"
#include "tests/platform/findersync/bus_client.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using testsupport::TempDir;

namespace {

std::string cli() { return testsupport::binDir() + "/finder-cli"; }
std::string extensionPath() { return testsupport::binDir() + "/findersync_test_extension"; }

class FinderCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus.useInThisProcess();
    // The test's folder is one of the service's: only those are asked for.
    extension.emplace(std::vector<std::string>{extensionPath()},
                      bus.env({{"TEST_EXTENSION_ROOTS", "/r1:" + dir.path()}}));
    ASSERT_TRUE(testbus::waitForExtension(10s)) << extension->err();
  }

  testsupport::RunResult runCli(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), cli());
    return testsupport::run(args, bus.env(), "", cwd);
  }

  TempDir dir;
  testbus::Bus bus;
  std::optional<testbus::Process> extension;
};

TEST_F(FinderCliTest, LsPrintsTheFolderThenEachEntryWithItsBadgeOnceAllAnswersAreIn) {
  testsupport::writeFile(dir / "b.modified", "");
  testsupport::writeFile(dir / "a.txt", "");
  testsupport::writeFile(dir / ".hidden.added", "");
  testsupport::makeDirs(dir / "sub.conflicted");
  testsupport::writeFile(dir / "sub.conflicted/inner.locked", "");
  testsupport::writeFile(dir / "plain", "");

  auto r = runCli({"ls", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-\t" + dir.path() + "\n" + "txt\t" + dir / "a.txt\n" + "modified\t" + dir / "b.modified\n" +
                       "-\t" + dir / "plain\n" + "conflicted\t" + dir / "sub.conflicted\n");

  auto all = runCli({"ls", "-a", "-R", "."}, dir.path());
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, "-\t" + dir.path() + "\n" + "added\t" + dir / ".hidden.added\n" + "txt\t" + dir / "a.txt\n" +
                         "modified\t" + dir / "b.modified\n" + "-\t" + dir / "plain\n" + "conflicted\t" +
                         dir / "sub.conflicted\n" + "locked\t" +
                         dir / "sub.conflicted/inner.locked\n");
}

// A name that is not UTF-8 has no badge; every other entry is answered.
TEST_F(FinderCliTest, LsListsAFolderHoldingANameThatIsNotUtf8) {
  testsupport::writeFile(dir / "b.modified", "");
  testsupport::writeFile(dir / "bad\xff.added", "");
  testsupport::writeFile(dir / "c.added", "");
  auto r = runCli({"ls", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-\t" + dir.path() + "\n" + "modified\t" + dir / "b.modified\n" + "-\t" + dir / "bad\xff.added\n" +
                       "added\t" + dir / "c.added\n");
}

TEST_F(FinderCliTest, LsObservesTheFolderAroundItsRequests) {
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  std::vector<std::string> observed;
  client->onBadgeChanged([&](const std::string& path, const std::string& badge) {
    if (path == dir / ".observed") observed.push_back(badge);
  });
  ASSERT_EQ(runCli({"ls", dir.path()}).status, 0);
  EXPECT_TRUE(dispatch::runMainUntil([&] { return observed.size() == 2; }, 10s));
  EXPECT_EQ(observed, (std::vector<std::string>{"begin", "end"}));
}

TEST_F(FinderCliTest, LsGivesUpWithStatusOneWhenAnAnswerNeverComes) {
  testsupport::writeFile(dir / "silent", "");
  auto r = runCli({"--timeout", "1", "ls", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no badge came for 1 of 2 items"), std::string::npos) << r.err;
}

TEST_F(FinderCliTest, LsRefusesWhatIsNotAFolder) {
  auto r = runCli({"ls", dir / "missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not a folder"), std::string::npos) << r.err;
  EXPECT_EQ(runCli({"ls"}).status, 2);
}

TEST_F(FinderCliTest, RootsPrintsTheWatchedFolders) {
  auto r = runCli({"roots"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "/r1\n" + dir.path() + "\n");
}

TEST_F(FinderCliTest, MenuPrintsTitleItemsAndSeparatorsAndNothingForOtherKinds) {
  auto r = runCli({"menu", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Test\nOne\treport\n-\nTwo\troots\n");
  auto sidebar = runCli({"menu", "--kind", "2"});
  EXPECT_EQ(sidebar.status, 0);
  EXPECT_EQ(sidebar.out, "");
}

TEST_F(FinderCliTest, ChooseRunsTheActionWithTheGivenSelection) {
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  std::vector<std::pair<std::string, std::string>> seen;
  client->onBadgeChanged([&](const std::string& path, const std::string& badge) { seen.emplace_back(path, badge); });

  auto r = runCli({"choose", "--targeted", dir.path(), "report", "a", "/abs/b"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(dispatch::runMainUntil([&] { return seen.size() == 3; }, 10s));
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                      {dir / "a", "selected"}, {"/abs/b", "selected"}, {dir.path(), "targeted"}}));

  auto unknown = runCli({"choose", "nope", "/abs/b"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no menu action \"nope\""), std::string::npos) << unknown.err;
}

TEST_F(FinderCliTest, WatchPrintsBadgeAndFolderChangesUntilInterrupted) {
  testbus::Process watch({cli(), "watch"}, bus.env());
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  // The watcher subscribes at some point after it starts; repeat the changes
  // until it has seen both (the folders alternate: only a change is news).
  bool flip = false;
  bool both = testsupport::waitFor(
      [&] {
        client->requestBadge("/w/f.added", &error);
        flip = !flip;
        client->chooseMenuItem("roots", flip ? std::vector<std::string>{"/x", "/y"} : std::vector<std::string>{"/z"},
                               "", &error);
        std::string out = watch.out();
        return out.find("BadgeChanged\tadded\t/w/f.added\n") != std::string::npos &&
               out.find("DirectoryURLsChanged\t/x\t/y\n") != std::string::npos;
      },
      10s);
  EXPECT_TRUE(both) << watch.out() << watch.err();
  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(10s), 0);
}

TEST_F(FinderCliTest, WatchEndsWithStatusOneWhenTheExtensionLeaves) {
  testbus::Process watch({cli(), "watch"}, bus.env());
  std::string error;
  auto client = testbus::Client::connect(10s, &error);
  ASSERT_TRUE(client) << error;
  ASSERT_TRUE(testsupport::waitFor(
      [&] {
        client->requestBadge("/w/g.added", &error);
        return watch.out().find("/w/g.added") != std::string::npos;
      },
      10s));
  extension->signal(SIGTERM);
  EXPECT_EQ(watch.wait(10s), 1);
  EXPECT_NE(watch.err().find("finder-extension left the bus"), std::string::npos) << watch.err();
}

TEST_F(FinderCliTest, WatchForSomeSecondsEndsByItself) {
  auto r = runCli({"watch", "--seconds", "0.3"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(FinderCli, FailsWithStatusOneWhenTheExtensionIsNotThere) {
  testbus::Bus bus;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"ls", "/tmp"}, {"roots"}, {"watch"}, {"menu"}, {"choose", "report", "/tmp"}}) {
    std::vector<std::string> argv{cli()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = testsupport::run(argv, bus.env());
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_NE(r.err.find("finder-extension is not running"), std::string::npos) << args[0] << ": " << r.err;
  }
}

TEST(FinderCli, FailsWithStatusOneWithoutABus) {
  auto r = testsupport::run({cli(), "roots"}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot connect to the session bus"), std::string::npos) << r.err;
}

}  // namespace
