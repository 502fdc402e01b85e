#include "platform/fileevents/fileevents.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using testsupport::runOK;
using testsupport::TempDir;
using testsupport::writeFile;
using Paths = std::set<std::string>;

namespace {

// Collects the stream's batches as they arrive on the queue.
class Batches {
 public:
  fileevents::Callback callback() {
    return [this](const std::vector<std::string>& paths) {
      std::lock_guard lock(mutex_);
      batches_.push_back(paths);
      arrived_.notify_all();
    };
  }
  // Waits until some batch holds `path`; returns everything seen up to then.
  bool waitForPath(const std::string& path, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return seenLocked().count(path) != 0; });
  }
  Paths seen() {
    std::lock_guard lock(mutex_);
    return seenLocked();
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return batches_.size();
  }
  std::vector<std::vector<std::string>> batches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    batches_.clear();
  }

 private:
  Paths seenLocked() const {
    Paths all;
    for (const auto& batch : batches_) all.insert(batch.begin(), batch.end());
    return all;
  }
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::vector<std::string>> batches_;
};

struct Started {
  std::shared_ptr<dispatch::Queue> queue = dispatch::makeSerialQueue("test.fileevents");
  Batches batches;
  std::unique_ptr<fileevents::EventStream> stream;
  Started(std::vector<std::string> roots, double latency) {
    stream = fileevents::EventStream::create(std::move(roots), latency, batches.callback());
    EXPECT_TRUE(stream && stream->start(queue));
  }
  ~Started() { stream.reset(); }
};

void touchFile(const std::string& path) { writeFile(path, "x"); }

}  // namespace

TEST(EventStream, ReportsFileLevelAbsolutePathsOfABurstInOneBatch) {
  TempDir dir;
  testsupport::makeDirs(dir / "root/deep/er");
  writeFile(dir / "root/old", "1");
  writeFile(dir / "root/deep/gone", "1");
  writeFile(dir / "root/deep/er/renamed", "1");
  Started s({dir / "root"}, 0.5);  // a long window: the burst below takes far less

  touchFile(dir / "root/new");
  writeFile(dir / "root/old", "22");
  std::filesystem::remove(dir / "root/deep/gone");
  std::filesystem::rename(dir / "root/deep/er/renamed", dir / "root/deep/er/now");
  chmod((dir / "root/deep").c_str(), 0700);
  touchFile(dir / "root/end");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/end"));

  auto batches = s.batches.batches();
  ASSERT_EQ(batches.size(), 1u);
  Paths expected = {dir / "root/new",          dir / "root/old",           dir / "root/deep/gone",
                    dir / "root/deep/er/renamed", dir / "root/deep/er/now", dir / "root/deep",
                    dir / "root/end"};
  EXPECT_EQ(Paths(batches[0].begin(), batches[0].end()), expected);
  EXPECT_EQ(batches[0].size(), expected.size()) << "a path comes once per batch";
}

TEST(EventStream, FoldersThatAppearAreWatchedAndTheirContentsReported) {
  TempDir dir;
  testsupport::makeDirs(dir / "root");
  testsupport::makeDirs(dir / "outside/tree/sub");
  writeFile(dir / "outside/tree/x", "1");
  writeFile(dir / "outside/tree/sub/y", "1");
  Started s({dir / "root"}, 0.05);

  // Created: the folder and a file written at once inside it.
  testsupport::makeDirs(dir / "root/made/inner");
  touchFile(dir / "root/made/inner/f");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/made/inner/f"));
  // Moved in from outside, with what it already holds.
  std::filesystem::rename(dir / "outside/tree", dir / "root/tree");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/tree/sub/y"));
  for (auto p : {"root/made", "root/made/inner", "root/tree", "root/tree/x", "root/tree/sub"}) {
    EXPECT_EQ(s.batches.seen().count(dir / p), 1u) << p;
  }

  // Both are watched from now on.
  s.batches.clear();
  touchFile(dir / "root/made/inner/g");
  touchFile(dir / "root/tree/sub/z");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/tree/sub/z"));
  EXPECT_TRUE(s.batches.waitForPath(dir / "root/made/inner/g"));
}

TEST(EventStream, FoldersMovedOutOrRemovedAreDropped) {
  TempDir dir;
  testsupport::makeDirs(dir / "root/away/sub");
  testsupport::makeDirs(dir / "root/doomed");
  testsupport::makeDirs(dir / "outside");
  Started s({dir / "root"}, 0.05);

  std::filesystem::rename(dir / "root/away", dir / "outside/away");
  std::filesystem::remove_all(dir / "root/doomed");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/away"));
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/doomed"));
  s.batches.clear();

  // Changes in the moved folder are outside the roots now; the last write
  // inside the root shows that nothing came before it.
  touchFile(dir / "outside/away/f");
  touchFile(dir / "outside/away/sub/g");
  testsupport::makeDirs(dir / "root/doomed");
  touchFile(dir / "root/doomed/again");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/doomed/again"));
  EXPECT_EQ(s.batches.seen(), (Paths{dir / "root/doomed", dir / "root/doomed/again"}));
}

TEST(EventStream, OwnStatusScansAreSilentWhileSubversionWritesShow) {
  TempDir dir;
  auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}});
  writeFile(repo.wc + "/a.txt", "changed\n");  // give the scan something to compare
  touchFile(repo.wc + "/loose");
  testsupport::makeDirs(dir / "sentinel");
  Started s({repo.wc, dir / "sentinel"}, 0.05);

  for (int i = 0; i < 3; ++i) runOK({"svn", "status", repo.wc});
  runOK({"svn", "info", repo.wc + "/sub/b.txt"});
  touchFile(dir / "sentinel/after-scans");
  ASSERT_TRUE(s.batches.waitForPath(dir / "sentinel/after-scans"));
  EXPECT_EQ(s.batches.seen(), Paths{dir / "sentinel/after-scans"}) << "a status scan must not look like a change";

  s.batches.clear();
  runOK({"svn", "commit", "-q", "-m", "change", repo.wc});
  ASSERT_TRUE(s.batches.waitForPath(repo.wc + "/.svn/wc.db"));
  touchFile(dir / "sentinel/after-commit");  // the commit's last writes come before it
  ASSERT_TRUE(s.batches.waitForPath(dir / "sentinel/after-commit"));
  // Nothing below .svn is watched: its pristine store and temporary area stay silent.
  touchFile(repo.wc + "/.svn/tmp/scratch");
  for (const auto& entry : std::filesystem::directory_iterator(repo.wc + "/.svn/pristine")) {
    touchFile(entry.path().string() + "/extra");
  }
  s.batches.clear();
  touchFile(dir / "sentinel/after-pristine");
  ASSERT_TRUE(s.batches.waitForPath(dir / "sentinel/after-pristine"));
  EXPECT_EQ(s.batches.seen(), Paths{dir / "sentinel/after-pristine"});
}

TEST(EventStream, QueueOverflowIsReportedAsAChangeOfTheRoot) {
  // The stream's reader drains the kernel queue at once; to make it overflow
  // for real, the stream runs in a child process that is stopped meanwhile.
  TempDir dir;
  testsupport::makeDirs(dir / "root/sub");
  int queued = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  ASSERT_GT(queued, 0);
  std::string probe = testsupport::binDir() + "/fileevents_probe", root = dir / "root", ready = dir / "ready",
              out = dir / "out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string seconds = "20";
  char* argv[] = {probe.data(), root.data(), seconds.data(), ready.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::exists(ready); }, 10s));

  // Every thread must be stopped, the one reading inotify included, or the
  // queue drains and never overflows.
  ASSERT_TRUE(testsupport::stopProcess(pid, 10s));
  for (int i = 0; i < queued + queued / 2; ++i) touchFile(dir / ("root/sub/f" + std::to_string(i)));
  kill(pid, SIGCONT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::istringstream lines(testsupport::readFile(out));
  Paths reported;
  for (std::string line; std::getline(lines, line);) reported.insert(line);
  EXPECT_EQ(reported.count(root), 1u) << "overflow must not be lost silently";
}

TEST(EventStream, AFolderThatCannotBeWatchedIsReportedAsAChangeOfItsRoot) {
  // A user namespace of our own, with a limit of three watches, makes the
  // kernel refuse the fourth folder for real.
  TempDir dir;
  testsupport::makeDirs(dir / "root/a/b/c/d");
  if (testsupport::run({"unshare", "-U", "-r", "true"}).status != 0) {
    GTEST_SKIP() << "no user namespaces here to lower the watch limit in";
  }
  auto result = testsupport::run({"unshare", "-U", "-r", "sh", "-c",
                                  "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$1\"",
                                  testsupport::binDir() + "/fileevents_probe", dir / "root"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, dir / "root" + "\n");
  EXPECT_NE(result.err.find("watched whole: no"), std::string::npos) << result.err;

  // Without the limit the same tree starts silently.
  auto unlimited = testsupport::run({testsupport::binDir() + "/fileevents_probe", dir / "root", "1"});
  EXPECT_EQ(unlimited.status, 1) << unlimited.out;
  EXPECT_EQ(unlimited.err, "watched whole: yes\n");
}

// Once the limit allows, the folders it refused are watched: a change deep
// in the tree is reported by its own path again. Until then the root is
// reported periodically, and the shortage is logged once.
TEST(EventStream, WatchingResumesWhenTheWatchLimitIsRaised) {
  TempDir dir;
  testsupport::makeDirs(dir / "root/a/b/c/d");
  if (testsupport::run({"unshare", "-U", "-r", "true"}).status != 0) {
    GTEST_SKIP() << "no user namespaces here to lower the watch limit in";
  }
  std::string late = dir / "root/a/b/c/d/late", ready = dir / "ready";
  auto result = testsupport::run(
      {"unshare", "-U", "-r", "sh", "-c",
       "limit=/proc/sys/user/max_inotify_watches; echo 3 > $limit; \"$0\" \"$1\" 60 \"$2\" \"$3\" & probe=$!; "
       "while [ ! -e \"$2\" ]; do sleep 0.05; done; sleep 6; echo 100 > $limit; "
       "while [ -d /proc/$probe ] && ! grep -qs '^State:.Z' /proc/$probe/status; do touch \"$3\"; sleep 0.2; done; wait $probe",
       testsupport::binDir() + "/fileevents_probe", dir / "root", ready, late});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  std::istringstream lines(result.out);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  ASSERT_GE(seen.size(), 2u) << result.out;
  EXPECT_EQ(seen[0], dir / "root");
  EXPECT_EQ(seen[1], dir / "root") << "checked again while the limit holds";
  EXPECT_NE(result.err.find("watched whole: no\n"), std::string::npos) << result.err;
  EXPECT_TRUE(result.err.ends_with("watched whole: yes\n")) << "whole once the limit allows: " << result.err;
  size_t logged = 0;
  std::istringstream errors(result.err);
  for (std::string line; std::getline(errors, line);)
    if (line.find("error: ") != std::string::npos && line.find("fs.inotify.max_user_watches") != std::string::npos)
      ++logged;
  EXPECT_EQ(logged, 1u) << result.err;
}

// The whole-watch epoch holds while changes come and go, ends with the
// root's watch, and comes back as a new one when the root is back.
TEST(EventStream, TheWholeWatchEpochLastsExactlyAsLongAsWatchingIsUnbroken) {
  TempDir dir;
  testsupport::makeDirs(dir / "root/sub");
  Started s({dir / "root"}, 0.05);
  auto first = s.stream->wholeWatchEpoch(dir / "root");
  ASSERT_TRUE(first);
  EXPECT_FALSE(s.stream->wholeWatchEpoch(dir / "elsewhere"));
  testsupport::makeDirs(dir / "root/sub/new");
  touchFile(dir / "root/sub/new/f");
  ASSERT_TRUE(s.batches.waitForPath(dir / "root/sub/new/f"));
  EXPECT_EQ(s.stream->wholeWatchEpoch(dir / "root"), first);

  std::filesystem::rename(dir / "root", dir / "moved");
  ASSERT_TRUE(testsupport::waitFor([&] { return !s.stream->wholeWatchEpoch(dir / "root"); }, 10s));
  testsupport::makeDirs(dir / "root");
  ASSERT_TRUE(testsupport::waitFor([&] { return s.stream->wholeWatchEpoch(dir / "root").has_value(); }, 30s));
  EXPECT_NE(s.stream->wholeWatchEpoch(dir / "root"), first);
  s.stream->stop();
  EXPECT_FALSE(s.stream->wholeWatchEpoch(dir / "root"));
}

TEST(EventStream, NoCallbackRunsOnceStopHasReturned) {
  TempDir dir;
  testsupport::makeDirs(dir / "root");
  for (int round = 0; round < 10; ++round) {
    auto queue = dispatch::makeSerialQueue("test.fileevents.stop");
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0}, calls{0};
    auto stream = fileevents::EventStream::create({dir / "root"}, 0.001, [&](const std::vector<std::string>&) {
      calls++;
      std::this_thread::sleep_for(2ms);  // widen the window in which stop() can land
      if (stopped) late++;
    });
    ASSERT_TRUE(stream->start(queue));
    std::atomic<bool> writing{true};
    std::thread writer([&] {
      for (int i = 0; writing; ++i) touchFile(dir / ("root/f" + std::to_string(i % 50)));
    });
    while (calls == 0) std::this_thread::sleep_for(1ms);
    stream->stop();
    stopped = true;
    std::this_thread::sleep_for(10ms);
    writing = false;
    writer.join();
    queue->sync([] {});
    EXPECT_EQ(late, 0);
  }
}

TEST(EventStream, StartsOnceAndNotAfterInvalidate) {
  TempDir dir;
  auto queue = dispatch::makeSerialQueue("test.fileevents.once");
  auto stream = fileevents::EventStream::create({dir.path()}, 0.05, nullptr);
  ASSERT_TRUE(stream);
  EXPECT_TRUE(stream->start(queue));
  EXPECT_FALSE(stream->start(queue));
  auto other = fileevents::EventStream::create({dir.path()}, 0.05, nullptr);
  other->invalidate();
  EXPECT_FALSE(other->start(queue));
}
