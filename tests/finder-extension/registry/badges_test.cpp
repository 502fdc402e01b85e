// Badge requests through a registry that knows its working copies from a
// real manifest: every item of a real working copy gets the badge its
// status earns, folders the most important change below them; one scan
// serves a root for 2.0 s (on an injected clock), and failures badge what
// they can.
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/svn/svn.h"
#include "registry_fixture.h"
#include "tests/platform/svn/statusfixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::writeFile;

// Counts the scans of one working copy: each scan opens the working copy's
// database once, and nothing else in these tests opens it. Closes are
// watched too: the kernel merges an event into an identical one still
// unread, so back-to-back opens would count as one.
class ScanCounter {
 public:
  explicit ScanCounter(const std::string& wc) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(fd_, (wc + "/.svn/wc.db").c_str(), IN_OPEN | IN_CLOSE), 0);
  }
  ~ScanCounter() { close(fd_); }
  int scans() {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
      for (ssize_t at = 0; at < n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(buffer + at)->len)
        if (reinterpret_cast<inotify_event*>(buffer + at)->mask & IN_OPEN) ++opens_;
    return opens_;
  }

 private:
  int fd_;
  int opens_ = 0;
};

// A clock the test moves by hand. While held, reading it waits: the status
// queue stops at the next request, so the test can queue work behind it.
struct ManualClock {
  std::shared_ptr<std::atomic<std::chrono::system_clock::time_point>> now =
      std::make_shared<std::atomic<std::chrono::system_clock::time_point>>(std::chrono::system_clock::now());
  std::shared_ptr<std::atomic<bool>> held = std::make_shared<std::atomic<bool>>(false);
  KRVFinderSyncWorkingCopies::Clock clock() const {
    return [now = now, held = held] {
      while (held->load()) std::this_thread::sleep_for(1ms);
      return now->load();
    };
  }
  void advance(std::chrono::milliseconds by) { now->store(now->load() + by); }
};

// What badgesDidChange reported, by path (the latest report of each).
struct ChangeRecorder {
  std::shared_ptr<std::map<std::string, std::string>> changes = std::make_shared<std::map<std::string, std::string>>();
  KRVFinderSyncWorkingCopies::BadgesDidChange callback() const {
    return [changes = changes](const KRVFinderSyncWorkingCopies::BadgeChanges& batch) {
      EXPECT_TRUE(dispatch::mainQueue().isCurrent());
      for (const auto& [path, badge] : batch) (*changes)[path] = badge;
    };
  }
};

class BadgesTest : public RegistryTest {
 protected:
  static void SetUpTestSuite() {
    suiteDir_ = new testsupport::TempDir;
    testsupport::makeDirs(suiteDir_->path() + "/rich");
    rich_ = statusfixture::build(suiteDir_->path() + "/rich").wc;
    testsupport::makeDirs(suiteDir_->path() + "/plain");
    plain_ = testsupport::makeSvnRepo(suiteDir_->path() + "/plain", {{"d/b.txt", "b\n"}, {"top.txt", "t\n"}}).wc;
  }
  static void TearDownTestSuite() {
    delete suiteDir_;
    suiteDir_ = nullptr;
  }
  void SetUp() override {
    RegistryTest::SetUp();
    registry_ = KRVFinderSyncWorkingCopies::create(clock_.clock());
  }

  // A copy of a prepared working copy at base()/name.
  std::string copyOf(const std::string& wc, const std::string& name) {
    std::string path = base() + "/" + name;
    testsupport::copyTree(wc, path);
    return path;
  }

  // Registers the given roots through the manifest and reloads.
  void registerRoots(const std::vector<std::string>& roots) {
    plist::Array entries;
    for (size_t i = 0; i < roots.size(); ++i) entries.push_back(entry("wc" + std::to_string(i), appBookmark(roots[i])));
    writeManifest(1, entries);
    registry_->reloadManifest();
    ASSERT_EQ(registry_->resolvedRootURLs().size(), roots.size());
  }

  // Asks for the badge of `path` as given and waits for the reply on the main queue.
  std::optional<std::string> badge(const std::string& path) {
    auto reply = std::make_shared<std::optional<std::optional<std::string>>>();
    registry_->badgeIdentifierForURL(url(path), [reply](const std::optional<std::string>& answer) {
      EXPECT_TRUE(dispatch::mainQueue().isCurrent());
      *reply = answer;
    });
    EXPECT_TRUE(dispatch::runMainUntil([&] { return reply->has_value(); }, 30s)) << path;
    return reply->value_or(std::nullopt);
  }

  void invalidate(const std::string& path) {
    registry_->invalidateCachesForDirectoryURL(url(path));
  }

  static inline testsupport::TempDir* suiteDir_ = nullptr;
  static inline std::string rich_, plain_;
  ManualClock clock_;
  std::shared_ptr<KRVFinderSyncWorkingCopies> registry_;
};

const std::optional<std::string> none;

TEST_F(BadgesTest, EveryItemGetsTheBadgeOfItsStatus) {
  std::string wc = copyOf(rich_, "wc");
  registerRoots({wc});
  const std::map<std::string, std::optional<std::string>> expected = {
      {"a.txt", "modified"},          {"merged.txt", "modified"},     {"added.txt", "added"},
      {"del.txt", "deleted"},         {"gone.txt", "deleted"},        {"repl.txt", "modified"},
      {"conf.txt", "conflicted"},     {"conf.txt.mine", "unversioned"}, {"x.tmp", none},
      {"lk/locked.txt", "locked"},    {"lk", none},                   {"lk/plain.txt", none},
      {"d/new.txt", "unversioned"},   {"d", "modified"},              {"d/b.txt", none},
      {"d/e", none},                  {"d/e/f.txt", none},            {"clean", none},
      {"clean/c.txt", none},          {"d2", "conflicted"},           {"d2/e", "conflicted"},
      {"d2/e/f.txt", "conflicted"},   {"d2/b.txt", none},
      {"no-such-file", none}};
  for (const auto& [item, badgeOfItem] : expected) EXPECT_EQ(badge(wc + "/" + item), badgeOfItem) << item;
  EXPECT_EQ(badge(wc), "conflicted");
  EXPECT_EQ(badge(base() + "/elsewhere.txt"), none);
}

TEST_F(BadgesTest, TheRootAndItsFoldersAnswerHoweverTheRequestSpellsThem) {
  std::string wc = copyOf(plain_, "wc");
  writeFile(wc + "/d/new.txt", "new\n");
  registerRoots({wc});
  EXPECT_EQ(badge(wc + "/d/new.txt"), "unversioned");
  for (const std::string& root : {wc, wc + "/", wc + "/.", wc + "/d/..", wc + "//"})
    EXPECT_EQ(badge(root), "modified") << root;
  for (const std::string& folder : {wc + "/d", wc + "/d/", wc + "/d/.", wc + "/./d"})
    EXPECT_EQ(badge(folder), "modified") << folder;
  EXPECT_EQ(badge(wc + "/top.txt"), none);
}

TEST_F(BadgesTest, RootsSharingAPrefixAreToldApart) {
  std::string ab = copyOf(plain_, "ab");
  std::string a = copyOf(plain_, "a");
  writeFile(ab + "/top.txt", "changed in ab\n");
  writeFile(a + "/d/b.txt", "changed in a\n");
  registerRoots({ab});
  EXPECT_EQ(badge(a + "/d/b.txt"), none) << "a is not inside ab";
  EXPECT_EQ(badge(a), none);
  EXPECT_EQ(badge(ab + "/top.txt"), "modified");

  registerRoots({ab, a});
  EXPECT_EQ(badge(a + "/d/b.txt"), "modified");
  EXPECT_EQ(badge(a + "/top.txt"), none);
  EXPECT_EQ(badge(ab + "/d/b.txt"), none);
  EXPECT_EQ(badge(ab + "/top.txt"), "modified");
}

TEST_F(BadgesTest, OneScanServesTheRootForTwoSeconds) {
  std::string wc = copyOf(plain_, "wc");
  registerRoots({wc});
  ScanCounter counter(wc);
  EXPECT_EQ(badge(wc + "/top.txt"), none);
  const int perScan = counter.scans();
  ASSERT_GE(perScan, 1);

  writeFile(wc + "/late.txt", "late\n");
  clock_.advance(1000ms);
  EXPECT_EQ(badge(wc + "/late.txt"), none) << "served from the cache";
  clock_.advance(1000ms);
  EXPECT_EQ(badge(wc + "/late.txt"), none) << "still fresh at exactly 2.0 s";
  EXPECT_EQ(counter.scans(), perScan);

  clock_.advance(1ms);
  EXPECT_EQ(badge(wc + "/late.txt"), "unversioned") << "stale after 2.0 s";
  EXPECT_EQ(counter.scans(), 2 * perScan);
  // The new entry is dated by the rescan.
  writeFile(wc + "/later.txt", "later\n");
  clock_.advance(1500ms);
  EXPECT_EQ(badge(wc + "/later.txt"), none);
  EXPECT_EQ(counter.scans(), 2 * perScan);
}

TEST_F(BadgesTest, InvalidatingAnyFolderOfARootDropsItsWholeMap) {
  std::string wc = copyOf(plain_, "wc");
  std::string other = copyOf(plain_, "other");
  registerRoots({wc, other});
  ScanCounter counter(wc), otherCounter(other);
  EXPECT_EQ(badge(wc + "/top.txt"), none);
  EXPECT_EQ(badge(other + "/top.txt"), none);
  const int perScan = counter.scans();

  writeFile(wc + "/top.txt", "changed\n");
  writeFile(other + "/top.txt", "changed\n");
  invalidate(wc + "/d/");
  invalidate(base() + "/not-a-root");
  EXPECT_EQ(badge(wc + "/top.txt"), "modified");
  EXPECT_EQ(badge(other + "/top.txt"), none) << "another root keeps its entry";
  EXPECT_EQ(counter.scans(), 2 * perScan);
  EXPECT_EQ(otherCounter.scans(), perScan);

  // An invalidation queued behind a request applies after its answer.
  writeFile(wc + "/d/b.txt", "changed too\n");
  auto first = std::make_shared<std::optional<std::string>>();
  registry_->badgeIdentifierForURL(url(wc + "/d/b.txt"), [first](const auto& answer) { *first = answer.value_or("none"); });
  invalidate(wc);
  EXPECT_EQ(badge(wc + "/d/b.txt"), "modified");
  EXPECT_EQ(*first, "none") << "answered from the entry made before the invalidation";
}

TEST_F(BadgesTest, ABurstOfRequestsCostsOneScan) {
  std::string wc = copyOf(rich_, "wc");
  registerRoots({wc});
  ScanCounter counter(wc);
  // How many times one scan opens the database, measured on the side.
  EXPECT_EQ(registry_->p_computeBadgesForWorkingCopyRoot(wc).at(wc + "/a.txt"), "modified");
  const int perScan = counter.scans();
  ASSERT_GE(perScan, 1);

  const std::vector<std::string> items = {"a.txt", "d", "d/b.txt", "d/new.txt", "conf.txt", "lk/locked.txt", "d2"};
  auto answers = std::make_shared<std::map<std::string, std::optional<std::string>>>();
  auto replies = std::make_shared<int>(0);
  const int rounds = 10;
  for (int round = 0; round < rounds; ++round)
    for (const auto& item : items)
      registry_->badgeIdentifierForURL(url(wc + "/" + item), [answers, replies, item](const auto& answer) {
        (*answers)[item] = answer;
        ++*replies;
      });
  ASSERT_TRUE(dispatch::runMainUntil([&] { return *replies == rounds * static_cast<int>(items.size()); }, 30s));
  EXPECT_EQ(counter.scans(), 2 * perScan) << "one scan for the whole burst";
  EXPECT_EQ(answers->at("a.txt"), "modified");
  EXPECT_EQ(answers->at("d2"), "conflicted");
  EXPECT_EQ(answers->at("lk/locked.txt"), "locked");
}

// The exact failure message a scan of `wc` gives, from the scanner itself.
std::string failureMessage(const std::string& wc) {
  svn_error_t* err = KRVWorkingCopyStatusScanner::scanLocalTarget(
      wc, std::nullopt, KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_infinity),
      [](const char*, const svn_client_status_t*, const svn_wc_status2_t*) -> svn_error_t* { return SVN_NO_ERROR; });
  EXPECT_NE(err, nullptr);
  if (err == nullptr) return "";
  char buffer[1024];
  std::string message = "Status scan of " + wc + " failed: E" + std::to_string(err->apr_err) + " " +
                        svn_err_best_message(err, buffer, sizeof buffer);
  svn_error_clear(err);
  return message;
}

TEST_F(BadgesTest, AScanThatFailsHalfWayStillBadgesWhatItReported) {
  std::string wc = copyOf(rich_, "wc");
  registerRoots({wc});
  // lk/plain.txt loses its pristine copy and changes its text at the same
  // size, so the walk fails when it reaches it, after a.txt and conf.txt.
  std::string sha1 = testsupport::runOK(
      {"sqlite3", wc + "/.svn/wc.db", "select substr(checksum, 7) from nodes where local_relpath = 'lk/plain.txt'"});
  sha1.erase(sha1.find_last_not_of('\n') + 1);
  ASSERT_EQ(sha1.size(), 40u);
  testsupport::runOK({"rm", wc + "/.svn/pristine/" + sha1.substr(0, 2) + "/" + sha1 + ".svn-base"});
  writeFile(wc + "/lk/plain.txt", "PLAIN\n");

  EXPECT_EQ(badge(wc + "/a.txt"), "modified");
  EXPECT_EQ(badge(wc + "/conf.txt"), "conflicted");
  EXPECT_EQ(badge(wc), "conflicted");
  EXPECT_EQ(badge(wc + "/lk/plain.txt"), none);
  std::string expected = failureMessage(wc);
  EXPECT_TRUE(std::regex_match(expected, std::regex("Status scan of .* failed: E[0-9]+ .+"))) << expected;
  EXPECT_TRUE(logged(expected)) << "[" << expected << "]\n[" << logText() << "]";
  EXPECT_EQ(log_->entries().back().level, oslog::Level::Error);
  EXPECT_EQ(log_->entries().back().subsystem, "com.korvaneapp.v3.finder");
  EXPECT_EQ(log_->entries().back().category, "WorkingCopies");
}

TEST_F(BadgesTest, ARootRemovedBetweenRequestsAnswersNothing) {
  std::string wc = copyOf(plain_, "wc");
  writeFile(wc + "/top.txt", "changed\n");
  registerRoots({wc});
  EXPECT_EQ(badge(wc + "/top.txt"), "modified");

  testsupport::runOK({"mv", wc, wc + "-gone"});
  clock_.advance(3s);
  EXPECT_EQ(badge(wc + "/top.txt"), none);
  EXPECT_EQ(badge(wc), none);
  EXPECT_TRUE(logged(failureMessage(wc))) << logText();
}

// Every rescan re-badges each item whose badge differs from the previous
// scan, however many there are: far more than a change report can name.
TEST_F(BadgesTest, ARescanReportsEveryItemWhoseBadgeChangedAndNothingElse) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 600; ++i) files["many/f" + std::to_string(i)] = "x\n";
  files["top.txt"] = "t\n";
  std::string wc = testsupport::makeSvnRepo(folder("big"), files).wc;
  registerRoots({wc});
  ChangeRecorder recorder;
  registry_->setBadgesDidChange(recorder.callback());
  EXPECT_EQ(badge(wc), none);
  EXPECT_TRUE(recorder.changes->empty()) << "the first scan is what later ones are compared with";

  for (int i = 0; i < 600; ++i) writeFile(wc + "/many/f" + std::to_string(i), "changed\n");
  registry_->refreshBadgesForDirectoryURL(url(wc), true);
  EXPECT_EQ(badge(wc + "/top.txt"), none);  // answered after the refresh's report
  EXPECT_EQ(recorder.changes->size(), 602u);
  EXPECT_EQ(recorder.changes->at(wc + "/many/f599"), "modified");
  EXPECT_EQ(recorder.changes->at(wc + "/many"), "modified");
  EXPECT_EQ(recorder.changes->at(wc), "modified");

  recorder.changes->clear();
  testsupport::runOK({"svn", "revert", "-q", "-R", wc});
  registry_->refreshBadgesForDirectoryURL(url(wc), true);
  EXPECT_EQ(badge(wc), none);
  EXPECT_EQ(recorder.changes->size(), 602u);
  for (const auto& [path, cleared] : *recorder.changes) EXPECT_EQ(cleared, "") << path;
}

// A working copy registered inside another one badges its own items, and
// only its own scans re-badge them.
TEST_F(BadgesTest, AnItemTakesItsBadgeFromTheInnermostRoot) {
  std::string outer = copyOf(plain_, "outer");
  std::string inner = outer + "/inner";
  testsupport::copyTree(plain_, inner);
  writeFile(inner + "/top.txt", "changed\n");
  registerRoots({outer, inner});
  EXPECT_EQ(badge(inner + "/top.txt"), "modified");
  EXPECT_EQ(badge(inner), "modified");
  EXPECT_EQ(badge(outer + "/top.txt"), none);

  ChangeRecorder recorder;
  registry_->setBadgesDidChange(recorder.callback());
  writeFile(inner + "/d/b.txt", "changed\n");
  writeFile(inner + "/top.txt", "t\n");
  registry_->refreshBadgesForDirectoryURL(url(outer), true);
  EXPECT_EQ(badge(outer + "/top.txt"), none);
  EXPECT_TRUE(recorder.changes->empty());
  registry_->refreshBadgesForDirectoryURL(url(inner + "/d"), true);
  EXPECT_EQ(badge(inner + "/d/b.txt"), "modified");
  EXPECT_EQ(*recorder.changes, (std::map<std::string, std::string>{
                                   {inner + "/d/b.txt", "modified"}, {inner + "/d", "modified"}, {inner + "/top.txt", ""}}));
}

// Another svn holding the working copy's database makes the scan fail: the
// badges it could not see stay until a scan sees them again.
TEST_F(BadgesTest, AScanBlockedByAnotherSvnKeepsTheLastGoodBadges) {
  std::string wc = copyOf(plain_, "wc");
  writeFile(wc + "/top.txt", "changed\n");
  registerRoots({wc});
  EXPECT_EQ(badge(wc + "/top.txt"), "modified");
  ChangeRecorder recorder;
  registry_->setBadgesDidChange(recorder.callback());

  std::string held = base() + "/held", release = base() + "/release";
  ASSERT_EQ(std::system(("(echo 'BEGIN EXCLUSIVE;'; echo '.shell touch " + held + "'; while [ ! -e " + release +
                         " ]; do sleep 0.1; done; echo 'COMMIT;') | sqlite3 " + wc + "/.svn/wc.db &")
                            .c_str()),
            0);
  ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::exists(held); }, 10s));
  invalidate(wc);
  EXPECT_EQ(badge(wc + "/top.txt"), "modified");
  EXPECT_EQ(badge(wc), "modified");
  EXPECT_TRUE(recorder.changes->empty());
  EXPECT_NE(logText().find("Status scan of " + wc + " failed: E200033"), std::string::npos) << logText();

  writeFile(release, "");
  writeFile(wc + "/top.txt", "t\n");
  bool refreshed = false;
  for (int i = 0; i < 100 && !refreshed; ++i) {  // until the other svn has let go
    invalidate(wc);
    refreshed = badge(wc + "/top.txt") == none;
  }
  EXPECT_TRUE(refreshed);
  EXPECT_EQ(recorder.changes->at(wc + "/top.txt"), "");
}

// A root the monitor watches whole keeps its status however long it is
// quiet, until watching breaks or someone invalidates it; a status taken
// while the root was not watched whole lives 2.0 s.
TEST_F(BadgesTest, AWatchedRootKeepsItsStatusUntilWatchingBreaks) {
  std::string wc = copyOf(plain_, "wc"), top = wc + "/top.txt";
  registerRoots({wc});
  auto epoch = std::make_shared<std::atomic<std::uint64_t>>(7);  // 0: not watched whole
  registry_->setWatchEpoch([epoch](const std::string& root) -> std::optional<std::uint64_t> {
    EXPECT_FALSE(root.empty());
    if (auto value = epoch->load()) return value;
    return std::nullopt;
  });
  ScanCounter counter(wc);
  EXPECT_EQ(badge(top), none);
  const int perScan = counter.scans();

  writeFile(top, "changed\n");
  clock_.advance(1h);
  EXPECT_EQ(badge(top), none) << "answered from the watched root's status";
  registry_->invalidateUnwatchedCachesForDirectoryURL(url(wc + "/d"));
  EXPECT_EQ(badge(top), none);
  EXPECT_EQ(counter.scans(), perScan);

  epoch->store(8);  // watching broke and started again: a change may be lost
  EXPECT_EQ(badge(top), "modified");
  EXPECT_EQ(counter.scans(), 2 * perScan);

  epoch->store(0);
  invalidate(wc);
  writeFile(top, "t\n");
  EXPECT_EQ(badge(top), none);
  epoch->store(9);  // watched from now on, but not before that scan
  writeFile(top, "changed again\n");
  clock_.advance(1500ms);
  EXPECT_EQ(badge(top), none);
  registry_->invalidateUnwatchedCachesForDirectoryURL(url(wc));
  EXPECT_EQ(badge(top), "modified");
  EXPECT_EQ(counter.scans(), 4 * perScan);

  writeFile(top, "t\n");
  invalidate(wc);
  EXPECT_EQ(badge(top), none) << "an explicit invalidation ends a watched status too";
}

// The configuration the scans read (global-ignores here) ends a watched
// status once the lifetime a status has anyway is over.
TEST_F(BadgesTest, AChangedSubversionConfigurationEndsTheStatus) {
  std::string wc = copyOf(plain_, "wc"), loose = wc + "/notes.bak";
  writeFile(loose, "x\n");
  testsupport::makeDirs(groupDir() + "/SubversionConfig");
  writeFile(groupDir() + "/SubversionConfig/config", "[miscellany]\nglobal-ignores = *.tmp\n");
  registerRoots({wc});
  registry_->setWatchEpoch([](const std::string&) -> std::optional<std::uint64_t> { return 1; });
  EXPECT_EQ(badge(loose), "unversioned");
  clock_.advance(1h);
  EXPECT_EQ(badge(loose), "unversioned") << "watched, and the configuration is as it was";
  writeFile(groupDir() + "/SubversionConfig/config", "[miscellany]\nglobal-ignores = *.bak\n");
  clock_.advance(2100ms);
  EXPECT_EQ(badge(loose), none);
  std::remove((groupDir() + "/SubversionConfig/config").c_str());
  clock_.advance(2100ms);
  EXPECT_EQ(badge(loose), "unversioned") << "the built-in defaults do not ignore it";
}

// Another program holding one working copy's database locked costs that
// working copy's scan a short wait only: the other one is answered, the
// locked one keeps its last good badges, and it is scanned again by itself
// once the lock is gone.
TEST_F(BadgesTest, ALockedDatabaseHoldsUpNobodyAndIsTriedAgainLater) {
  std::string locked = copyOf(plain_, "locked"), other = copyOf(plain_, "other");
  writeFile(locked + "/top.txt", "changed\n");
  registerRoots({locked, other});
  EXPECT_EQ(badge(locked + "/top.txt"), "modified");
  EXPECT_EQ(badge(other + "/top.txt"), none);
  ChangeRecorder recorder;
  registry_->setBadgesDidChange(recorder.callback());

  std::string held = base() + "/held", release = base() + "/release", done = base() + "/done";
  ASSERT_EQ(std::system(("(echo 'BEGIN EXCLUSIVE;'; echo '.shell touch " + held + "'; while [ ! -e " + release +
                         " ]; do sleep 0.1; done; echo 'COMMIT;'; echo '.shell touch " + done + "') | sqlite3 " +
                         locked + "/.svn/wc.db &")
                            .c_str()),
            0);
  ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::exists(held); }, 10s));
  writeFile(locked + "/top.txt", "t\n");
  writeFile(other + "/top.txt", "changed\n");
  invalidate(locked);
  invalidate(other);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(badge(locked + "/top.txt"), "modified") << "the last good badge";
    EXPECT_EQ(badge(other + "/top.txt"), "modified") << "answered while the other database is locked";
    invalidate(other);
  }
  EXPECT_NE(logText().find("Status scan of " + locked + " failed: E200033"), std::string::npos) << logText();
  EXPECT_FALSE(recorder.changes->contains(locked + "/top.txt"));

  writeFile(release, "");
  ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::exists(done); }, 10s));
  EXPECT_TRUE(dispatch::runMainUntil([&] { return recorder.changes->contains(locked + "/top.txt"); }, 30s))
      << "scanned again after the back-off, with nobody asking";
  EXPECT_EQ(recorder.changes->at(locked + "/top.txt"), "");
  EXPECT_EQ(badge(locked + "/top.txt"), none);
}

// A change report that names every change of a watched root scans only the
// folders of the named files: an edit it does not name stays unseen until
// a report that names less than everything, or a new folder, makes the
// whole root scanned again. Folders above take their badges anew.
TEST_F(BadgesTest, AReportNamingEveryChangeRescansOnlyTheFoldersOfItsFiles) {
  std::string wc = copyOf(plain_, "wc");
  registerRoots({wc});
  registry_->setWatchEpoch([](const std::string&) -> std::optional<std::uint64_t> { return 1; });
  ChangeRecorder recorder;
  registry_->setBadgesDidChange(recorder.callback());
  auto report = [&](const std::vector<std::string>& paths, bool namesEverything) {
    registry_->workingCopyDidChange(url(wc), paths, namesEverything);
  };
  EXPECT_EQ(badge(wc + "/top.txt"), none);

  writeFile(wc + "/d/b.txt", "changed\n");
  writeFile(wc + "/top.txt", "changed\n");
  report({wc + "/d/b.txt"}, true);
  EXPECT_EQ(badge(wc + "/d/b.txt"), "modified");
  EXPECT_EQ(badge(wc + "/d"), "modified");
  EXPECT_EQ(badge(wc), "modified");
  EXPECT_EQ(badge(wc + "/top.txt"), none) << "its folder was not named, so not scanned";
  EXPECT_EQ(*recorder.changes, (std::map<std::string, std::string>{
                                   {wc, "modified"}, {wc + "/d", "modified"}, {wc + "/d/b.txt", "modified"}}));

  writeFile(wc + "/d/b.txt", "b\n");
  testsupport::makeDirs(wc + "/d/loose");
  writeFile(wc + "/d/loose/x", "x\n");  // inside an unversioned folder
  report({wc + "/d/b.txt", wc + "/d/loose/x"}, true);
  EXPECT_EQ(badge(wc + "/d/b.txt"), none);
  EXPECT_EQ(badge(wc + "/d/loose"), "unversioned");
  EXPECT_EQ(badge(wc + "/d/loose/x"), none);
  EXPECT_EQ(badge(wc), "modified") << "from d/loose, the roll-up of all d's items";
  EXPECT_EQ(badge(wc + "/top.txt"), none);

  report({wc + "/d/b.txt"}, false);
  EXPECT_EQ(badge(wc + "/top.txt"), "modified") << "a report naming less than everything scans it whole";
  writeFile(wc + "/top.txt", "t\n");
  testsupport::makeDirs(wc + "/fresh");
  report({wc + "/fresh"}, true);
  EXPECT_EQ(badge(wc + "/fresh"), "unversioned");
  EXPECT_EQ(badge(wc + "/top.txt"), none) << "a new folder makes it whole";
  EXPECT_EQ(recorder.changes->at(wc + "/top.txt"), "");
}

// Warm-ups and invalidations nobody waits for collapse: 1,500 of each,
// queued behind a request, cost one scan.
TEST_F(BadgesTest, QueuedRefreshesOfARootCollapseIntoOneScan) {
  std::string wc = copyOf(plain_, "wc");
  registerRoots({wc});
  ScanCounter counter(wc);
  EXPECT_EQ(badge(wc + "/top.txt"), none);
  const int perScan = counter.scans();
  ASSERT_GE(perScan, 1);

  *clock_.held = true;
  registry_->badgeIdentifierForURL(url(wc + "/top.txt"), [](const auto&) {});
  for (int i = 0; i < 1500; ++i) {
    invalidate(wc + "/d");
    registry_->refreshBadgesForDirectoryURL(url(wc + "/d"), false);
  }
  *clock_.held = false;
  EXPECT_EQ(badge(wc + "/top.txt"), none);
  EXPECT_EQ(counter.scans(), 3 * perScan) << "the first, one for all refreshes, one after the last invalidation";
}

// Damage to one working copy's database that makes libsvn abort costs only
// that working copy's scan; the others keep their badges.
TEST_F(BadgesTest, ADamagedDatabaseFailsOnlyItsOwnWorkingCopy) {
  std::string damaged = copyOf(plain_, "damaged");
  std::string sound = copyOf(plain_, "sound");
  writeFile(damaged + "/top.txt", "changed\n");
  writeFile(sound + "/top.txt", "changed\n");
  testsupport::runOK({"sqlite3", damaged + "/.svn/wc.db", "update nodes set kind = 'bogus' where local_relpath = 'top.txt'"});
  registerRoots({damaged, sound});
  EXPECT_EQ(badge(damaged + "/top.txt"), none);
  EXPECT_EQ(badge(sound + "/top.txt"), "modified");
  EXPECT_TRUE(std::regex_search(logText(), std::regex("Status scan of " + damaged + " failed: E155016 .+"))) << logText();
  invalidate(sound);
  EXPECT_EQ(badge(sound), "modified");
}

// A file name that is not UTF-8 is left out, with one log line, and the
// rest of the working copy is badged as if it were not there.
TEST_F(BadgesTest, ANameThatIsNotUtf8IsSkippedAndEverythingElseBadged) {
  std::string wc = copyOf(rich_, "wc");
  writeFile(wc + "/d/bad\xff.txt", "x\n");
  writeFile(wc + "/d/e/worse\xfe", "x\n");
  registerRoots({wc});
  EXPECT_EQ(badge(wc + "/d/new.txt"), "unversioned");
  EXPECT_EQ(badge(wc + "/d/b.txt"), none);
  EXPECT_EQ(badge(wc + "/d"), "modified");
  EXPECT_EQ(badge(wc + "/d/e"), none) << "its only change is the skipped name";
  EXPECT_EQ(badge(wc + "/conf.txt"), "conflicted");
  EXPECT_EQ(badge(wc + "/lk/locked.txt"), "locked");
  EXPECT_EQ(badge(wc + "/gone.txt"), "deleted");
  EXPECT_EQ(badge(wc), "conflicted");
  invalidate(wc);
  EXPECT_EQ(badge(wc + "/a.txt"), "modified");
  EXPECT_TRUE(logged("Skipped " + wc + "/d/bad\\xFF.txt: the name is not valid UTF-8")) << logText();
  EXPECT_TRUE(logged("Skipped " + wc + "/d/e/worse\\xFE: the name is not valid UTF-8")) << logText();
  EXPECT_EQ(log_->messages().size(), 2u) << logText();
}

}  // namespace
