// The principal's start-up, badge requests and re-badging, with the
// recording controller, the real registry and a real working copy. Each
// test runs in a process of its own (CTest), so the process-wide registry
// starts fresh, on a private bus, in private data folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "finder-extension/front/KRVFinderSync.h"
#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/dispatch/dispatch.h"
#include "platform/plist/plist.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using Call = std::pair<std::string, std::string>;  // (badge, path)
using Calls = std::vector<Call>;

namespace {

foundation::FileURL url(const std::string& path) { return foundation::FileURL::fileURLWithPath(path); }

class PrincipalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus.useInThisProcess();
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    findersync::setDefaultController(controller);
    auto repo =
        testsupport::makeSvnRepo(dir.path(), {{"a/b/c.txt", "one\n"}, {"a/b/d.txt", "two\n"}, {"top.txt", "t\n"}});
    wc = repo.wc;
    repoURL = repo.repoURL;
  }
  void TearDown() override { findersync::setDefaultController(nullptr); }

  void writeManifest(const std::vector<std::string>& roots) {
    plist::Array entries;
    for (const auto& root : roots) {
      auto bookmark = bookmarks::bookmarkData(url(root), 0);
      ASSERT_TRUE(bookmark) << root;
      entries.emplace_back(plist::Dictionary{{"wcID", "id-" + root}, {"bookmark", *bookmark}});
    }
    std::string folder = dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
    testsupport::makeDirs(folder);
    ASSERT_TRUE(plist::writeFileAtomically(folder + "/Manifest.plist",
                                           plist::Value(plist::Dictionary{{"entries", entries}})));
  }

  // Loads the manifest into the registry without starting a principal, for
  // tests of members that need no start-up (no monitor runs then).
  void loadRoots(const std::vector<std::string>& roots) {
    writeManifest(roots);
    KRVFinderSyncWorkingCopies::sharedWorkingCopies()->reloadManifest();
  }

  // Requests a badge nobody else asks for and waits for it: the registry
  // answers in request order, so every earlier request has been answered
  // then. Returns the calls made before the sentinel's.
  Calls callsAfterSettling() {
    std::string sentinel = "/krv-sentinel-" + std::to_string(++sentinels);
    idle.requestBadgeIdentifierForURL(url(sentinel));
    EXPECT_TRUE(dispatch::runMainUntil([&] { return contains({"", sentinel}); }, 20s));
    Calls calls = controller->badgeCalls();
    calls.erase(std::find(calls.begin(), calls.end(), Call{"", sentinel}), calls.end());
    std::erase_if(calls, [](const Call& c) { return c.second.starts_with("/krv-sentinel-"); });
    return calls;
  }

  bool contains(const Call& call) const {
    auto calls = controller->badgeCalls();
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }
  bool waitForCall(const Call& call, std::chrono::milliseconds timeout = 20s) {
    return dispatch::runMainUntil([&] { return contains(call); }, timeout);
  }
  // Runs the main queue for a while, so that anything due in that time happens.
  static void runMainFor(std::chrono::milliseconds duration) {
    dispatch::runMainUntil([] { return false; }, duration);
  }

  testsupport::TempDir dir;
  testbus::Bus bus;
  std::shared_ptr<findersync::FakeController> controller = std::make_shared<findersync::FakeController>();
  std::string wc, repoURL;
  KRVFinderSync idle;  // never started
  int sentinels = 0;
};

TEST_F(PrincipalTest, InitFailsWithoutAControllerAndRegistersNothing) {
  findersync::setDefaultController(nullptr);
  EXPECT_EQ(KRVFinderSync::init(), nullptr);
  EXPECT_TRUE(controller->badgeImageCalls().empty());
}

TEST_F(PrincipalTest, InitRegistersTheSixImagesAndHandsTheRootsToTheController) {
  writeManifest({wc});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  auto images = controller->badgeImageCalls();
  ASSERT_EQ(images.size(), 6u);
  EXPECT_EQ(images.front().identifier, "conflicted");
  ASSERT_FALSE(controller->directoryURLCalls().empty());
  EXPECT_EQ(controller->directoryURLCalls().front(), foundation::URLSet{url(wc)});
  // The reload found a new root set, so the callback repeats it on the main queue.
  EXPECT_TRUE(dispatch::runMainUntil([&] { return controller->directoryURLCalls().size() == 2; }, 10s));
  EXPECT_EQ(controller->directoryURLCalls().back(), foundation::URLSet{url(wc)});
}

TEST_F(PrincipalTest, InitWithAnEmptyManifestGivesTheControllerAnEmptySet) {
  writeManifest({});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  runMainFor(200ms);
  EXPECT_EQ(controller->directoryURLCalls(), std::vector<foundation::URLSet>{foundation::URLSet{}});
}

TEST_F(PrincipalTest, RequestSetsTheRegistryAnswerAndClearsTheBadgeWhenThereIsNone) {
  testsupport::writeFile(wc + "/a/b/c.txt", "changed\n");
  loadRoots({wc});
  idle.requestBadgeIdentifierForURL(url(wc + "/a/b/c.txt"));
  idle.requestBadgeIdentifierForURL(url(wc + "/a"));
  idle.requestBadgeIdentifierForURL(url(wc + "/top.txt"));
  idle.requestBadgeIdentifierForURL(url("/elsewhere/x"));
  EXPECT_EQ(callsAfterSettling(), (Calls{{"modified", wc + "/a/b/c.txt"},
                                         {"modified", wc + "/a"},
                                         {"", wc + "/top.txt"},
                                         {"", "/elsewhere/x"}}));
}

TEST_F(PrincipalTest, BeginObservingWarmsTheRegistryButSetsNoBadge) {
  testsupport::writeFile(wc + "/top.txt", "changed\n");
  loadRoots({wc});
  idle.beginObservingDirectoryAtURL(url(wc));
  idle.beginObservingDirectoryAtURL(url("/elsewhere"));
  EXPECT_EQ(callsAfterSettling(), Calls{});
}

TEST_F(PrincipalTest, EndObservingDropsTheCachedStatus) {
  loadRoots({wc});
  idle.requestBadgeIdentifierForURL(url(wc + "/top.txt"));
  ASSERT_EQ(callsAfterSettling(), (Calls{{"", wc + "/top.txt"}}));
  // Within the cache's lifetime only the invalidation makes the change show.
  testsupport::writeFile(wc + "/top.txt", "changed\n");
  idle.endObservingDirectoryAtURL(url(wc + "/a"));
  idle.requestBadgeIdentifierForURL(url(wc + "/top.txt"));
  EXPECT_EQ(callsAfterSettling(), (Calls{{"", wc + "/top.txt"}, {"modified", wc + "/top.txt"}}));
}

// Commands that write only inside ".svn" change badges all the same: each
// rescan re-badges exactly the items whose badge differs from the previous
// scan, and nothing else.
TEST_F(PrincipalTest, SvnCommandsReBadgeExactlyTheItemsWhoseBadgeChanged) {
  testsupport::writeFile(wc + "/a/new.txt", "new\n");
  writeManifest({wc});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  for (const auto& item : {wc + "/a/new.txt", wc + "/a", wc, wc + "/top.txt"}) idle.requestBadgeIdentifierForURL(url(item));
  ASSERT_EQ(callsAfterSettling(), (Calls{{"unversioned", wc + "/a/new.txt"}, {"modified", wc + "/a"}, {"modified", wc},
                                         {"", wc + "/top.txt"}}));
  const size_t before = callsAfterSettling().size();

  testsupport::runOK({"svn", "add", "-q", wc + "/a/new.txt"});
  ASSERT_TRUE(waitForCall({"added", wc + "/a/new.txt"}));
  testsupport::runOK({"svn", "commit", "-q", "-m", "new", wc});
  ASSERT_TRUE(waitForCall({"", wc}));
  testsupport::runOK({"svn", "lock", "-q", wc + "/top.txt"});
  ASSERT_TRUE(waitForCall({"locked", wc + "/top.txt"}));
  Calls calls = callsAfterSettling();
  calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(before));
  // The folders stayed "modified" through the add: no signal for them then.
  ASSERT_EQ(calls.size(), 5u) << testing::PrintToString(calls);
  EXPECT_EQ(calls[0], (Call{"added", wc + "/a/new.txt"}));
  std::sort(calls.begin() + 1, calls.begin() + 4);
  EXPECT_EQ(Calls(calls.begin() + 1, calls.begin() + 4), (Calls{{"", wc}, {"", wc + "/a"}, {"", wc + "/a/new.txt"}}));
  EXPECT_EQ(calls[4], (Call{"locked", wc + "/top.txt"}));
}

// A working copy deleted, or moved away, and checked out again at the same
// path is followed again.
TEST_F(PrincipalTest, AWorkingCopyCheckedOutAgainAtItsPathIsFollowedAgain) {
  testsupport::writeFile(wc + "/top.txt", "changed\n");
  writeManifest({wc});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  idle.requestBadgeIdentifierForURL(url(wc + "/top.txt"));
  ASSERT_EQ(callsAfterSettling(), (Calls{{"modified", wc + "/top.txt"}}));

  testsupport::runOK({"rm", "-rf", wc});
  ASSERT_TRUE(waitForCall({"", wc + "/top.txt"}));  // the old copy's badges go
  testsupport::runOK({"svn", "checkout", "-q", repoURL, wc});
  testsupport::writeFile(wc + "/a/b/c.txt", "changed\n");
  EXPECT_TRUE(waitForCall({"modified", wc + "/a/b/c.txt"}, 40s));

  testsupport::runOK({"mv", wc, wc + ".old"});
  testsupport::runOK({"svn", "checkout", "-q", repoURL, wc});
  ASSERT_TRUE(waitForCall({"", wc + "/a/b/c.txt"}, 40s));
  testsupport::writeFile(wc + "/a/b/d.txt", "changed\n");
  EXPECT_TRUE(waitForCall({"modified", wc + "/a/b/d.txt"}, 40s));
}

// The monitor reports a change on disk through the principal; once the
// manifest lists no working copy, the controller and the monitor get the
// empty set and a change no longer re-badges anything.
TEST_F(PrincipalTest, ChangesOnDiskReBadgeUntilTheRootsAreEmptied) {
  writeManifest({wc});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  runMainFor(300ms);  // the monitor starts watching on its own queue
  idle.requestBadgeIdentifierForURL(url(wc + "/top.txt"));  // the scan later ones are compared with
  ASSERT_EQ(callsAfterSettling(), (Calls{{"", wc + "/top.txt"}}));
  testsupport::writeFile(wc + "/top.txt", "changed\n");
  EXPECT_TRUE(waitForCall({"modified", wc + "/top.txt"}));
  EXPECT_TRUE(contains({"modified", wc}));

  writeManifest({});
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->reloadManifest();
  ASSERT_TRUE(dispatch::runMainUntil(
      [&] { return controller->directoryURLCalls().back() == foundation::URLSet{}; }, 10s));
  runMainFor(3s);  // any report still due from the first change
  size_t before = controller->badgeCalls().size();
  testsupport::writeFile(wc + "/a/b/c.txt", "changed\n");
  runMainFor(4s);  // more than the quiet period and the event latency
  EXPECT_EQ(controller->badgeCalls().size(), before);
}

TEST_F(PrincipalTest, ChangeAfterThePrincipalIsGoneDoesNothing) {
  writeManifest({wc});
  auto principal = KRVFinderSync::init();
  ASSERT_NE(principal, nullptr);
  runMainFor(300ms);
  std::weak_ptr<KRVFinderSync> weak = principal;
  principal.reset();
  ASSERT_TRUE(weak.expired());
  testsupport::writeFile(wc + "/top.txt", "changed\n");
  runMainFor(4s);  // more than the quiet period and the event latency
  EXPECT_EQ(controller->badgeCalls(), Calls{});
}

}  // namespace
