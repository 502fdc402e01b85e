#include "finder-extension/monitor/KRVFinderSyncFolderMonitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using foundation::FileURL;
using testsupport::TempDir;
using testsupport::writeFile;
using Paths = std::set<std::string>;

namespace {

constexpr double kLatency = 0.05;
constexpr double kQuiet = 0.2;
// For tests whose events must fall inside one quiet period however slow the
// machine is (the sanitizer builds).
constexpr double kLongQuiet = 1.0;

struct Report {
  std::string root;
  Paths changed;
  bool namesEverything = true;
};

// Reports land here on the main queue, which only the test thread runs. The
// handler holds the recorder, not the test, so a late report is harmless.
struct Recorder {
  std::vector<Report> reports;
  std::atomic<bool> offMain{false};
};

int openInotifyInstances() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.string() == "anon_inode:inotify") ++count;
  }
  return count;
}

class FolderMonitor : public ::testing::Test {
 protected:
  void make(double quietPeriod) {
    quietPeriod_ = quietPeriod;
    auto recorder = recorder_;
    monitor = KRVFinderSyncFolderMonitor::initWithQuietPeriod(
        quietPeriod,
        [recorder](const FileURL& root, const foundation::URLSet& changed, bool namesEverything) {
          if (!dispatch::mainQueue().isCurrent()) recorder->offMain = true;
          Report report{root.path(), {}, namesEverything};
          for (const auto& url : changed) report.changed.insert(url.path());
          recorder->reports.push_back(std::move(report));
        },
        kLatency);
  }
  void TearDown() override { EXPECT_FALSE(recorder_->offMain) << "reports belong on the main queue"; }

  std::vector<Report>& reports() { return recorder_->reports; }

  void setRoots(const std::vector<std::string>& paths) {
    std::vector<FileURL> urls;
    for (const auto& p : paths) urls.push_back(FileURL::fileURLWithPath(p));
    monitor->setMonitoredRootURLs(urls);
  }

  // Waits for a report of `root` whose set holds `path`.
  bool waitForChange(const std::string& root, const std::string& path, std::chrono::milliseconds timeout = 10s) {
    return dispatch::runMainUntil([&] { return findReport(root, path) != nullptr; }, timeout);
  }
  const Report* findReport(const std::string& root, const std::string& path) {
    for (const auto& r : reports()) {
      if (r.root == root && r.changed.count(path)) return &r;
    }
    return nullptr;
  }
  std::vector<Report> reportsOf(const std::string& root) {
    std::vector<Report> found;
    for (const auto& r : reports()) {
      if (r.root == root) found.push_back(r);
    }
    return found;
  }

  // The list is applied on the monitor's queue; once a file written under
  // `root` is reported, the stream is running. Forgets that report.
  void waitUntilWatching(const std::string& root) {
    // Each try waits longer than a burst takes, so that probes do not keep
    // one burst open forever.
    auto patience = std::chrono::milliseconds(static_cast<int>((quietPeriod_ + kLatency) * 1000) + 500);
    for (int i = 0; i < 20; ++i) {
      std::string probe = root + "/.probe-" + std::to_string(probes_++);
      writeFile(probe, "p");
      if (waitForChange(root, probe, patience)) {
        reports().clear();
        return;
      }
    }
    FAIL() << "monitor never started watching " << root;
  }

  // Everything noted before this write is reported before its own report,
  // which therefore marks the end of what the test waits for.
  void settleWith(const std::string& sentinelRoot) {
    std::string mark = sentinelRoot + "/mark-" + std::to_string(probes_++);
    writeFile(mark, "m");
    ASSERT_TRUE(waitForChange(sentinelRoot, mark));
  }

  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::shared_ptr<KRVFinderSyncFolderMonitor> monitor;
  TempDir dir;
  int probes_ = 0;
  double quietPeriod_ = 0;
};

void touchAfter(const std::string& path, std::chrono::milliseconds pause) {
  std::this_thread::sleep_for(pause);
  writeFile(path, "x");
}

}  // namespace

TEST_F(FolderMonitor, OwnStatusScansAreNotReportedWhileACommitIs) {
  auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}});
  std::string wc = repo.wc, sentinel = dir / "sentinel";
  testsupport::makeDirs(sentinel);
  writeFile(wc + "/a.txt", "edited\n");
  make(kQuiet);
  setRoots({wc, sentinel});
  waitUntilWatching(sentinel);
  waitUntilWatching(wc);

  for (int i = 0; i < 3; ++i) testsupport::runOK({"svn", "status", wc});
  settleWith(sentinel);
  EXPECT_TRUE(reportsOf(wc).empty()) << "a scan would start the next scan, forever";

  testsupport::runOK({"svn", "commit", "-q", "-m", "edit", wc});
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !reportsOf(wc).empty(); }, 10s));
  // The commit wrote only inside .svn: a report that names no file.
  EXPECT_TRUE(reportsOf(wc).front().changed.empty());
}

TEST_F(FolderMonitor, OneReportPerBurstWithTheUnionOfItsFiles) {
  std::string root = dir / "root", sentinel = dir / "sentinel";
  testsupport::makeDirs(root + "/sub");
  testsupport::makeDirs(sentinel);
  make(kLongQuiet);
  setRoots({root, sentinel});
  waitUntilWatching(root);

  Paths written;
  for (int i = 0; i < 6; ++i) {
    std::string path = root + (i % 2 ? "/sub/f" : "/f") + std::to_string(i);
    touchAfter(path, 40ms);
    written.insert(path);
  }
  ASSERT_TRUE(waitForChange(root, root + "/f4"));
  settleWith(sentinel);
  auto mine = reportsOf(root);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].changed, written);
}

TEST_F(FolderMonitor, RootsReportIndependentlyAndAnEventAtARootIsTheRoot) {
  std::string one = dir / "one", two = dir / "two";
  testsupport::makeDirs(one);
  testsupport::makeDirs(two);
  make(kQuiet);
  setRoots({one, two});
  waitUntilWatching(two);

  writeFile(one + "/a", "1");
  writeFile(two + "/b", "1");
  ASSERT_TRUE(waitForChange(one, one + "/a"));
  ASSERT_TRUE(waitForChange(two, two + "/b"));
  EXPECT_EQ(reportsOf(one)[0].changed, Paths{one + "/a"});
  EXPECT_EQ(reportsOf(two)[0].changed, Paths{two + "/b"});

  reports().clear();
  chmod(one.c_str(), 0750);  // the root folder itself changes
  ASSERT_TRUE(waitForChange(one, one));
  EXPECT_EQ(reportsOf(one)[0].changed, Paths{one});
}

TEST_F(FolderMonitor, ARootContainsOnlyPathsBelowItsOwnName) {
  std::string a = dir / "w/a", ab = dir / "w/ab", sentinel = dir / "sentinel";
  for (const auto& p : {a, ab, sentinel}) testsupport::makeDirs(p);
  make(kQuiet);
  setRoots({ab, a, sentinel});
  waitUntilWatching(a);
  waitUntilWatching(ab);

  writeFile(ab + "/x", "1");
  ASSERT_TRUE(waitForChange(ab, ab + "/x"));
  settleWith(sentinel);
  EXPECT_TRUE(reportsOf(a).empty()) << dir / "w/ab/x" << " is not inside " << a;
}

// A working copy registered inside another one is re-badged by its own scan.
TEST_F(FolderMonitor, NestedRootsReportToTheInnermost) {
  std::string outer = dir / "w", inner = dir / "w/sub", sentinel = dir / "sentinel";
  testsupport::makeDirs(inner);
  testsupport::makeDirs(sentinel);
  make(kQuiet);
  setRoots({inner, outer, sentinel});
  waitUntilWatching(outer);

  writeFile(inner + "/f", "1");
  ASSERT_TRUE(waitForChange(inner, inner + "/f"));
  settleWith(sentinel);
  EXPECT_TRUE(reportsOf(outer).empty());
}

TEST_F(FolderMonitor, SvnAreaEventsExtendTheBurstWithoutNamingFiles) {
  std::string root = dir / "root", sentinel = dir / "sentinel";
  testsupport::makeDirs(root + "/.svn");
  testsupport::makeDirs(sentinel);
  make(kLongQuiet);
  setRoots({root, sentinel});
  waitUntilWatching(root);

  // A file, then writes inside .svn for longer than the quiet period.
  writeFile(root + "/file", "1");
  for (int i = 0; i < 40; ++i) touchAfter(root + "/.svn/wc.db", 40ms);
  ASSERT_TRUE(waitForChange(root, root + "/file"));
  settleWith(sentinel);
  auto mine = reportsOf(root);
  ASSERT_EQ(mine.size(), 1u) << "the .svn writes kept the burst open";
  EXPECT_EQ(mine[0].changed, Paths{root + "/file"});
  EXPECT_FALSE(mine[0].namesEverything) << "the .svn writes are no file's";

  // A burst only inside .svn reports the root with nothing in it; names
  // that merely begin with ".svn" are ordinary files.
  reports().clear();
  writeFile(root + "/.svn/wc.db-journal", "j");
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !reportsOf(root).empty(); }, 10s));
  EXPECT_TRUE(reportsOf(root)[0].changed.empty());
  EXPECT_FALSE(reportsOf(root)[0].namesEverything);
  reports().clear();
  writeFile(root + "/.svnignore", "1");
  writeFile(root + "/.svn-notes", "1");
  ASSERT_TRUE(waitForChange(root, root + "/.svn-notes"));
  EXPECT_EQ(findReport(root, root + "/.svn-notes")->changed, (Paths{root + "/.svnignore", root + "/.svn-notes"}));
  EXPECT_TRUE(findReport(root, root + "/.svn-notes")->namesEverything);
}

TEST_F(FolderMonitor, ABurstHoldsAtMost512Files) {
  std::string root = dir / "root";
  testsupport::makeDirs(root);
  make(kLongQuiet);
  setRoots({root});
  waitUntilWatching(root);

  for (int i = 0; i < 600; ++i) writeFile(root + "/f" + std::to_string(i), "x");
  ASSERT_TRUE(dispatch::runMainUntil([&] { return !reports().empty(); }, 20s));
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].changed.size(), 512u);
  EXPECT_FALSE(reports()[0].namesEverything) << "88 files were left out";
  for (const auto& path : reports()[0].changed) {
    EXPECT_EQ(path.rfind(root + "/f", 0), 0u) << path;
  }
}

TEST_F(FolderMonitor, TheSameListAgainKeepsPendingChanges) {
  std::string one = dir / "one", two = dir / "two";
  testsupport::makeDirs(one);
  testsupport::makeDirs(two);
  make(kLongQuiet);
  setRoots({one, two});
  waitUntilWatching(one);

  writeFile(one + "/kept", "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(kLatency * 4000)));  // noted by now
  monitor->setMonitoredRootURLs({FileURL::fileURLWithPath(two + "/"), FileURL::fileURLWithPath(dir / "./one//"),
                                 FileURL::fileURLWithPath("")});
  ASSERT_TRUE(waitForChange(one, one + "/kept"));
  EXPECT_EQ(reportsOf(one).size(), 1u);
}

// A registration made within the quiet period of another working copy's
// change must not lose that change; a root that leaves the list takes its
// pending changes with it.
TEST_F(FolderMonitor, ANewListKeepsThePendingChangesOfTheRootsThatStay) {
  std::string one = dir / "one", two = dir / "two", three = dir / "three";
  for (const auto& root : {one, two, three}) testsupport::makeDirs(root);
  make(kLongQuiet);
  setRoots({one, two});
  waitUntilWatching(one);
  waitUntilWatching(two);

  writeFile(one + "/kept", "1");
  writeFile(two + "/dropped", "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(kLatency * 4000)));  // noted by now
  setRoots({one, three});
  ASSERT_TRUE(waitForChange(one, one + "/kept"));
  waitUntilWatching(three);  // well after the dropped change's quiet period
  settleWith(three);
  EXPECT_TRUE(reportsOf(two).empty());
  writeFile(one + "/later", "1");
  EXPECT_TRUE(waitForChange(one, one + "/later"));
}

TEST_F(FolderMonitor, AnEmptyListOrStopEndsTheStreamAndANewListStartsIt) {
  std::string root = dir / "root";
  testsupport::makeDirs(root);
  int before = openInotifyInstances();
  make(kQuiet);
  setRoots({root});
  waitUntilWatching(root);
  EXPECT_EQ(openInotifyInstances(), before + 1);

  // The whole-watch epoch is there for the root (however its path is
  // written) and for nothing else, until the stream goes.
  auto epoch = monitor->wholeWatchEpochForRootPath(root);
  EXPECT_TRUE(epoch);
  EXPECT_EQ(monitor->wholeWatchEpochForRootPath(root + "/"), epoch);
  EXPECT_FALSE(monitor->wholeWatchEpochForRootPath(dir / "elsewhere"));

  setRoots({});
  EXPECT_TRUE(testsupport::waitFor([&] { return openInotifyInstances() == before; }, 5s));
  EXPECT_FALSE(monitor->wholeWatchEpochForRootPath(root));

  setRoots({root});
  waitUntilWatching(root);
  EXPECT_NE(monitor->wholeWatchEpochForRootPath(root), epoch) << "a new stream, a new epoch";
  monitor->stop();
  EXPECT_TRUE(testsupport::waitFor([&] { return openInotifyInstances() == before; }, 5s));

  // The same list as before stop() is a new list now.
  setRoots({root});
  waitUntilWatching(root);
  writeFile(root + "/again", "1");
  EXPECT_TRUE(waitForChange(root, root + "/again"));
}

TEST_F(FolderMonitor, FoldersCreatedOrMovedInAfterStartAreSeen) {
  std::string root = dir / "root";
  testsupport::makeDirs(root);
  testsupport::makeDirs(dir / "outside/tree/sub");
  writeFile(dir / "outside/tree/sub/y", "1");
  make(kQuiet);
  setRoots({root});
  waitUntilWatching(root);

  testsupport::makeDirs(root + "/made");
  writeFile(root + "/made/f", "1");
  ASSERT_TRUE(waitForChange(root, root + "/made/f"));
  EXPECT_TRUE(findReport(root, root + "/made/f")->changed.count(root + "/made"));

  std::filesystem::rename(dir / "outside/tree", root + "/tree");
  ASSERT_TRUE(waitForChange(root, root + "/tree/sub/y"));
  writeFile(root + "/tree/sub/z", "1");
  EXPECT_TRUE(waitForChange(root, root + "/tree/sub/z"));
}

TEST_F(FolderMonitor, ReleasingTheMonitorWhileEventsAndTimersAreInFlightIsSafe) {
  std::string root = dir / "root";
  testsupport::makeDirs(root);
  int before = openInotifyInstances();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing; ++i) {
      writeFile(root + "/f" + std::to_string(i % 20), "x");
      std::this_thread::sleep_for(1ms);
    }
  });
  for (int round = 0; round < 15; ++round) {
    make(0.05);
    setRoots({root});
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 7));
    monitor.reset();  // queued work and timers may still hold it; the stream must not
  }
  writing = false;
  writer.join();
  // Every monitor goes once its last timer has run: all streams close.
  EXPECT_TRUE(dispatch::runMainUntil([&] { return openInotifyInstances() == before; }, 10s));
  for (const auto& report : reports()) EXPECT_EQ(report.root, root);
}
