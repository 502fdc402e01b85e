// The client commands against real file:// repositories: one repository per
// suite, a copy of it per test.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "platform/svnclient/svnclient.h"
#include "tests/support/support.h"

using testsupport::TempDir;

namespace {

class SvnClient : public ::testing::Test {
 protected:
  // r1: a.txt, b.txt, sub/c.txt. r2 adds many files, and the kept working
  // copy stays at r1, so an update has plenty to do.
  static void SetUpTestSuite() {
    suiteDir = std::make_unique<TempDir>();
    const auto repo =
        testsupport::makeSvnRepo(suiteDir->path(), {{"a.txt", "a\n"}, {"b.txt", "b\n"}, {"sub/c.txt", "c\n"}});
    testsupport::makeDirs(repo.wc + "/many");
    for (int i = 0; i < 60; ++i) testsupport::writeFile(repo.wc + "/many/f" + std::to_string(i), "x\n");
    testsupport::runOK({"svn", "add", "-q", "many"}, repo.wc);
    testsupport::runOK({"svn", "commit", "-q", "-m", "more files"}, repo.wc);
    testsupport::runOK({"svn", "update", "-q", "-r", "1"}, repo.wc);
  }
  static void TearDownTestSuite() { suiteDir.reset(); }

  void SetUp() override {
    testsupport::copyTree(suiteDir->path() + "/repo", dir / "repo");
    testsupport::copyTree(suiteDir->path() + "/wc", wc);
    // The copied working copy still names the suite's repository.
    testsupport::runOK({"svn", "relocate", "file://" + suiteDir->path() + "/repo", "file://" + dir / "repo"}, wc);
    testsupport::makeDirs(dir / "config");
    session.configDir = dir / "config";
    session.progress = [this](const svnclient::Progress& p) { progress.push_back(p.letter + " " + p.path); };
  }
  std::string svn(std::vector<std::string> args) {
    args.insert(args.begin(), {"svn", "--config-dir", dir / "config"});
    return testsupport::runOK(args);
  }
  // Another working copy at HEAD, for making changes others commit.
  std::string otherCheckout() {
    svn({"checkout", "-q", "file://" + dir / "repo", dir / "other"});
    return dir / "other";
  }

  static std::unique_ptr<TempDir> suiteDir;
  TempDir dir;
  const std::string wc = dir / "wc";
  svnclient::Session session;
  std::vector<std::string> progress;
};
std::unique_ptr<TempDir> SvnClient::suiteDir;

std::vector<std::string> pathsOf(const std::vector<svnclient::Change>& changes) {
  std::vector<std::string> paths;
  for (const auto& change : changes) paths.push_back(change.path);
  return paths;
}

}  // namespace

TEST_F(SvnClient, UpdateReportsEachItemAndSummarisesWithConflictsByName) {
  const std::string other = otherCheckout();
  testsupport::writeFile(other + "/a.txt", "theirs\n");
  testsupport::writeFile(other + "/b.txt", "b\nmore\n");
  svn({"commit", "-q", "-m", "edit", other});
  testsupport::writeFile(wc + "/a.txt", "mine\n");

  const auto outcome = svnclient::update({wc}, session);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.revision, 3);
  EXPECT_EQ(outcome.counts.at("A"), 61);  // many/ and its files
  EXPECT_EQ(outcome.counts.at("U"), 1);
  EXPECT_EQ(outcome.conflicts, std::vector<std::string>{wc + "/a.txt"});
  EXPECT_NE(std::find(progress.begin(), progress.end(), "U " + wc + "/b.txt"), progress.end());
  EXPECT_NE(std::find(progress.begin(), progress.end(), "C " + wc + "/a.txt"), progress.end());
  EXPECT_EQ(testsupport::readFile(wc + "/b.txt"), "b\nmore\n");
  EXPECT_EQ(svnclient::updateSummary(outcome),
            "Updated to revision 3.\n1 updated, 61 added, 1 in conflict.\nConflicts:\n  " + wc + "/a.txt");
}

TEST_F(SvnClient, CancelStopsAnUpdateAndLeavesAWorkingCopySvnCanRead) {
  session.cancelled = [this] { return progress.size() >= 3; };
  const auto outcome = svnclient::update({wc}, session);
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.cancelled) << outcome.error;
  EXPECT_LT(progress.size(), 10u);
  // No cleanup needed: status works and shows no lock.
  const auto status = testsupport::run({"svn", "status", wc});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(status.out.find("  L "), std::string::npos) << status.out;
  session.cancelled = nullptr;
  EXPECT_TRUE(svnclient::update({wc}, session).ok);
}

TEST_F(SvnClient, FailuresSayWhatAndGiveSvnsReason) {
  const auto outside = svnclient::update({dir / "nowhere"}, session);
  EXPECT_FALSE(outside.ok);
  EXPECT_FALSE(outside.cancelled);
  EXPECT_EQ(outside.error.rfind("Could not update " + dir / "nowhere" + ": ", 0), 0u) << outside.error;

  // A working copy another svn holds locked (as one killed mid-command leaves it).
  testsupport::runOK({"sqlite3", wc + "/.svn/wc.db", "INSERT INTO wc_lock VALUES (1, '', -1)"});
  const auto locked = svnclient::update({wc}, session);
  EXPECT_FALSE(locked.ok);
  EXPECT_NE(locked.error.find("locked"), std::string::npos) << locked.error;
  EXPECT_EQ(testsupport::readFile(wc + "/a.txt"), "a\n");
  EXPECT_FALSE(testsupport::exists(wc + "/many"));
}

TEST_F(SvnClient, AddAndIgnoreActOnExactlyTheNamedItems) {
  for (const char* name : {"new.txt", "report[1].txt", "report1.txt", "icon@2x.png"})
    testsupport::writeFile(wc + "/" + name, "x\n");
  EXPECT_TRUE(svnclient::add({wc + "/new.txt", wc + "/icon@2x.png"}, session).ok);
  svn({"propset", "-q", "svn:ignore", "*.o\nbuild\n", wc});

  ASSERT_TRUE(svnclient::ignore({wc + "/report[1].txt"}, session).ok);
  EXPECT_EQ(svn({"propget", "svn:ignore", wc}), "*.o\nbuild\nreport\\[1\\].txt\n\n");
  const std::string status = svn({"status", wc});
  EXPECT_NE(status.find("A       " + wc + "/new.txt"), std::string::npos) << status;
  EXPECT_NE(status.find("A       " + wc + "/icon@2x.png"), std::string::npos) << status;
  EXPECT_NE(status.find("?       " + wc + "/report1.txt"), std::string::npos) << status;
  EXPECT_EQ(status.find("report[1].txt"), std::string::npos) << status;

  // Failures name the item and change nothing.
  const auto outside = svnclient::add({dir / "elsewhere.txt"}, session);
  EXPECT_FALSE(outside.ok);
  EXPECT_NE(outside.error.find("Could not add " + dir / "elsewhere.txt" + ": "), std::string::npos) << outside.error;
  testsupport::makeDirs(wc + "/loose");
  const auto unversioned = svnclient::ignore({wc + "/loose/x.log"}, session);
  EXPECT_FALSE(unversioned.ok);
  EXPECT_NE(unversioned.error.find("Could not read the ignore list of " + wc + "/loose"), std::string::npos)
      << unversioned.error;
  EXPECT_EQ(svn({"propget", "svn:ignore", wc}), "*.o\nbuild\nreport\\[1\\].txt\n\n");
}

// What the folder's property becomes: kept patterns, each name once, and no
// value at all when a name cannot be a pattern.
TEST_F(SvnClient, IgnoreValueKeepsWhatWasThere) {
  EXPECT_EQ(svnclient::ignoreValueAdding(std::nullopt, {"a*b", "c?"}), "a\\*b\nc\\?\n");
  EXPECT_EQ(svnclient::ignoreValueAdding("x\n\ny\n", {"y", "z"}), "x\ny\nz\n");
  EXPECT_EQ(svnclient::ignoreValueAdding("x\n", {"two\nlines"}), std::nullopt);
}

TEST_F(SvnClient, RevertListsExactlyWhatSvnRevertsAndRevertsOnlyThat) {
  testsupport::writeFile(wc + "/a.txt", "changed\n");
  testsupport::writeFile(wc + "/sub/new.txt", "new\n");
  svn({"add", "-q", wc + "/sub/new.txt"});
  svn({"delete", "-q", wc + "/b.txt"});
  svn({"propset", "-q", "colour", "red", wc + "/sub"});
  std::filesystem::remove(wc + "/sub/c.txt");
  testsupport::writeFile(wc + "/sub/loose.txt", "unversioned\n");

  std::string error;
  const auto changes = svnclient::revertCandidates({wc}, {}, session, &error);
  ASSERT_TRUE(changes) << error;

  // What svn itself reverts, from a copy of the same working copy.
  testsupport::copyTree(wc, dir / "copy");
  std::set<std::string> svnReverts;
  std::istringstream lines(svn({"revert", "-R", dir / "copy"}));
  for (std::string line; std::getline(lines, line);) {
    const auto open = line.find('\''), close = line.rfind('\'');
    svnReverts.insert(wc + line.substr(open + 1 + (dir / "copy").size(), close - open - 1 - (dir / "copy").size()));
  }
  const auto listed = pathsOf(*changes);
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), svnReverts);
  EXPECT_EQ(listed.size(), svnReverts.size());

  // A change made after the list was shown: nothing is reverted.
  testsupport::writeFile(wc + "/sub/c.txt", "back, changed\n");
  const auto stale = svnclient::revert({wc}, *changes, {}, session);
  EXPECT_FALSE(stale.ok);
  EXPECT_EQ(testsupport::readFile(wc + "/a.txt"), "changed\n");
  std::filesystem::remove(wc + "/sub/c.txt");

  ASSERT_TRUE(svnclient::revert({wc}, *changes, {}, session).ok);
  EXPECT_EQ(svn({"status", wc}), "?       " + wc + "/sub/loose.txt\n?       " + wc + "/sub/new.txt\n");
  EXPECT_EQ(testsupport::readFile(wc + "/sub/new.txt"), "new\n");
  EXPECT_EQ(testsupport::readFile(wc + "/sub/loose.txt"), "unversioned\n");
  EXPECT_EQ(testsupport::readFile(wc + "/a.txt"), "a\n");
}

TEST_F(SvnClient, ListingShowsTheWorkingCopyAndItsChanges) {
  testsupport::writeFile(wc + "/a.txt", "changed\n");
  testsupport::writeFile(wc + "/sub/loose.txt", "x\n");
  std::string error;
  const auto badge = [](const svn_client_status_t& s) {
    return s.node_status == svn_wc_status_modified ? std::string("modified") : std::string("other");
  };
  const auto listing = svnclient::listWorkingCopy(wc + "/sub", badge, session, &error);
  ASSERT_TRUE(listing) << error;
  EXPECT_EQ(listing->root, wc);
  EXPECT_EQ(listing->url, "file://" + dir / "repo");
  EXPECT_EQ(listing->revision, 1);
  ASSERT_EQ(listing->changes.size(), 2u);
  EXPECT_EQ(listing->changes[0].path, wc + "/a.txt");
  EXPECT_EQ(listing->changes[0].letter, 'M');
  EXPECT_EQ(listing->changes[0].badge, "modified");
  EXPECT_EQ(listing->changes[1].path, wc + "/sub/loose.txt");
  EXPECT_EQ(listing->changes[1].status, "unversioned");
  EXPECT_FALSE(svnclient::listWorkingCopy(dir / "nowhere", badge, session, &error));
  EXPECT_NE(error.find(dir / "nowhere"), std::string::npos) << error;
}

// A password-protected svnserve on the loopback: wrong answers end in a
// clear message and leave the working copy as it was; the right one works.
TEST_F(SvnClient, AWrongPasswordGivesAClearMessage) {
  const std::string repo = dir / "repo";
  testsupport::writeFile(repo + "/conf/svnserve.conf",
                         "[general]\nanon-access = none\nauth-access = write\npassword-db = passwd\n");
  testsupport::writeFile(repo + "/conf/passwd", "[users]\nalice = right\n");
  // A free port, then the server on it (pid file for the teardown).
  const std::string port = testsupport::runOK(
      {"/usr/bin/python3", "-c", "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"});
  const std::string pidFile = dir / "svnserve.pid";
  testsupport::runOK({"svnserve", "-d", "--listen-host", "127.0.0.1", "--listen-port",
                      port.substr(0, port.size() - 1), "-r", repo, "--pid-file", pidFile});
  struct Stop {
    std::string pidFile;
    ~Stop() {
      if (testsupport::exists(pidFile)) kill(std::stoi(testsupport::readFile(pidFile)), SIGTERM);
    }
  } stop{pidFile};
  const std::string url = "svn://127.0.0.1:" + port.substr(0, port.size() - 1);
  svn({"relocate", "--username", "alice", "--password", "right", "--no-auth-cache", "--non-interactive",
       "file://" + repo, url, wc});

  int asked = 0;
  session.askPassword = [&](const std::string&, const std::string&, bool) {
    ++asked;
    return std::optional<svnclient::Credentials>({"alice", "wrong", false});
  };
  const auto wrong = svnclient::update({wc}, session);
  EXPECT_FALSE(wrong.ok);
  EXPECT_GE(asked, 1);
  EXPECT_EQ(wrong.error.rfind("Could not update: ", 0), 0u) << wrong.error;
  EXPECT_NE(wrong.error.find("Password incorrect"), std::string::npos) << wrong.error;
  EXPECT_FALSE(testsupport::exists(wc + "/many"));
  EXPECT_EQ(svn({"status", wc}), "");

  session.askPassword = [](const std::string&, const std::string&, bool) {
    return std::optional<svnclient::Credentials>({"alice", "right", false});
  };
  const auto right = svnclient::update({wc}, session);
  EXPECT_TRUE(right.ok) << right.error;
  EXPECT_TRUE(testsupport::exists(wc + "/many/f0"));
}

namespace {

const svnclient::CommitItem* itemAt(const std::vector<svnclient::CommitItem>& items, const std::string& path) {
  for (const auto& item : items)
    if (item.path == path) return &item;
  return nullptr;
}

// The paths and actions of a revision, as "M /a.txt" lines in svn's order.
std::set<std::string> changedPaths(const std::string& log) {
  std::set<std::string> paths;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("   ", 0) == 0) paths.insert(line.substr(3));
  return paths;
}

}  // namespace

TEST_F(SvnClient, CommitCommitsExactlyTheCheckedItems) {
  testsupport::writeFile(wc + "/a.txt", "changed\n");
  testsupport::writeFile(wc + "/b.txt", "changed, not checked\n");
  testsupport::writeFile(wc + "/sub/new.txt", "new\n");
  svn({"add", "-q", wc + "/sub/new.txt"});
  svn({"propset", "-q", "colour", "red", wc + "/sub"});
  std::filesystem::remove(wc + "/sub/c.txt");
  testsupport::makeDirs(wc + "/fresh");
  testsupport::writeFile(wc + "/fresh/inside.txt", "inside\n");
  testsupport::writeFile(wc + "/loose.txt", "stays unversioned\n");

  std::string error;
  const auto items = svnclient::commitCandidates({wc}, {}, session, &error);
  ASSERT_TRUE(items) << error;
  EXPECT_EQ(items->size(), 7u);
  for (const auto& item : *items) EXPECT_EQ(item.checked, item.letter != '?') << item.path;
  ASSERT_TRUE(itemAt(*items, wc + "/sub/c.txt"));
  EXPECT_EQ(itemAt(*items, wc + "/sub/c.txt")->letter, '!');
  ASSERT_TRUE(itemAt(*items, wc + "/sub"));
  EXPECT_EQ(itemAt(*items, wc + "/sub")->status, "properties modified");

  std::vector<svnclient::CommitItem> checked;
  for (const std::string name : {"/a.txt", "/sub/new.txt", "/sub/c.txt", "/fresh"}) {
    ASSERT_TRUE(itemAt(*items, wc + name)) << name;
    checked.push_back(*itemAt(*items, wc + name));
  }
  const auto outcome = svnclient::commitItems(checked, "Two lines\nof message", false, session);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.revision, 3);
  EXPECT_EQ(svnclient::commitSummary(outcome), "Committed revision 3");

  const std::string log = svn({"log", "-v", "-r", "3", "file://" + dir / "repo"});
  EXPECT_EQ(changedPaths(log), (std::set<std::string>{"M /a.txt", "A /sub/new.txt", "D /sub/c.txt", "A /fresh",
                                                      "A /fresh/inside.txt"}))
      << log;
  EXPECT_NE(log.find("Two lines\nof message"), std::string::npos) << log;
  // The unchecked changes are still local.
  EXPECT_EQ(svn({"status", wc}),
            "M       " + wc + "/b.txt\n?       " + wc + "/loose.txt\n M      " + wc + "/sub\n");
}

TEST_F(SvnClient, CommitRecognisesOutOfDateAndRefusesConflicts) {
  const std::string other = otherCheckout();
  testsupport::writeFile(other + "/a.txt", "theirs\n");
  svn({"commit", "-q", "-m", "edit", other});
  testsupport::writeFile(wc + "/a.txt", "mine\n");
  std::string error;
  auto items = svnclient::commitCandidates({wc + "/a.txt"}, {}, session, &error);
  ASSERT_TRUE(items && items->size() == 1u) << error;
  const auto stale = svnclient::commitItems(*items, "mine", false, session);
  EXPECT_FALSE(stale.ok);
  EXPECT_TRUE(stale.outOfDate) << stale.error;
  EXPECT_EQ(stale.revision, -1);

  svn({"update", "-q", "--accept", "postpone", wc});
  items = svnclient::commitCandidates({wc}, {}, session, &error);
  ASSERT_TRUE(items) << error;
  const auto* conflicted = itemAt(*items, wc + "/a.txt");
  ASSERT_TRUE(conflicted);
  EXPECT_EQ(conflicted->letter, 'C');
  EXPECT_FALSE(conflicted->checkable);
  EXPECT_FALSE(conflicted->checked);
  EXPECT_NE(conflicted->reason.find("conflict"), std::string::npos);
  const auto refused = svnclient::commitItems({*conflicted}, "mine", false, session);
  EXPECT_FALSE(refused.ok);
  EXPECT_FALSE(refused.outOfDate);
  EXPECT_EQ(svn({"log", "-q", "-r", "HEAD", "file://" + dir / "repo"}).find("r4"), std::string::npos);
}

TEST_F(SvnClient, ItemsInsideExternalsAreLeftOut) {
  svn({"update", "-q", wc});
  svn({"propset", "-q", "svn:externals", "file://" + dir / "repo" + "/sub ext", wc});
  svn({"commit", "-q", "-m", "external", wc});
  svn({"update", "-q", wc});
  testsupport::writeFile(wc + "/ext/c.txt", "changed in the external\n");
  testsupport::writeFile(wc + "/a.txt", "changed\n");
  std::string error;
  const auto items = svnclient::commitCandidates({wc}, {}, session, &error);
  ASSERT_TRUE(items) << error;
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ(items->front().path, wc + "/a.txt");
}

TEST_F(SvnClient, DiffShowsTheChangeAgainstBase) {
  testsupport::writeFile(wc + "/a.txt", "a\nadded line\n");
  testsupport::writeFile(wc + "/sub/new.txt", "one\ntwo\n");
  svn({"add", "-q", wc + "/sub/new.txt"});
  testsupport::writeFile(wc + "/loose.txt", "x\ny\n");
  testsupport::writeFile(wc + "/blob.bin", std::string("\0\1\2binary\0", 10));
  svn({"add", "-q", wc + "/blob.bin"});
  std::string error;

  const auto modified = svnclient::diffAgainstBase(wc + "/a.txt", session, &error);
  ASSERT_TRUE(modified) << error;
  EXPECT_NE(modified->find("\n+added line\n"), std::string::npos) << *modified;
  EXPECT_NE(modified->find("\n a\n"), std::string::npos) << *modified;

  const auto added = svnclient::diffAgainstBase(wc + "/sub/new.txt", session, &error);
  ASSERT_TRUE(added) << error;
  EXPECT_NE(added->find("\n+one\n+two\n"), std::string::npos) << *added;

  const auto unversioned = svnclient::diffAgainstBase(wc + "/loose.txt", session, &error);
  ASSERT_TRUE(unversioned) << error;
  EXPECT_NE(unversioned->find("\n+x\n+y\n"), std::string::npos) << *unversioned;

  const auto binary = svnclient::diffAgainstBase(wc + "/blob.bin", session, &error);
  ASSERT_TRUE(binary) << error;
  EXPECT_NE(binary->find("binary"), std::string::npos) << *binary;

  std::filesystem::remove(wc + "/b.txt");
  const auto missing = svnclient::diffAgainstBase(wc + "/b.txt", session, &error);
  ASSERT_TRUE(missing) << error;
  EXPECT_NE(missing->find("\n-b\n"), std::string::npos) << *missing;
}

// An added folder's unchecked item stays out; a deleted folder goes whole.
TEST_F(SvnClient, CommitOfFoldersTakesOnlyWhatIsChecked) {
  testsupport::makeDirs(wc + "/added");
  testsupport::writeFile(wc + "/added/keep.txt", "keep\n");
  testsupport::writeFile(wc + "/added/skip.txt", "skip\n");
  svn({"add", "-q", wc + "/added"});
  svn({"delete", "-q", wc + "/sub"});
  std::string error;
  const auto items = svnclient::commitCandidates({wc}, {}, session, &error);
  ASSERT_TRUE(items) << error;
  std::vector<svnclient::CommitItem> checked;
  for (const std::string name : {"/added", "/added/keep.txt", "/sub"}) {
    ASSERT_TRUE(itemAt(*items, wc + name)) << name;
    checked.push_back(*itemAt(*items, wc + name));
  }
  const auto outcome = svnclient::commitItems(checked, "folders", false, session);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  const std::string log = svn({"log", "-v", "-r", std::to_string(outcome.revision), "file://" + dir / "repo"});
  EXPECT_EQ(changedPaths(log), (std::set<std::string>{"A /added", "A /added/keep.txt", "D /sub"})) << log;
  EXPECT_EQ(svn({"status", wc}), "A       " + wc + "/added/skip.txt\n");
}

TEST_F(SvnClient, KeepLocksKeepsTheLockAcrossTheCommit) {
  svn({"lock", "-q", wc + "/a.txt", wc + "/b.txt"});
  testsupport::writeFile(wc + "/a.txt", "locked, changed\n");
  testsupport::writeFile(wc + "/b.txt", "locked, changed\n");
  std::string error;
  auto a = svnclient::commitCandidates({wc + "/a.txt"}, {}, session, &error);
  auto b = svnclient::commitCandidates({wc + "/b.txt"}, {}, session, &error);
  ASSERT_TRUE(a && b) << error;
  ASSERT_TRUE(svnclient::commitItems(*a, "kept", true, session).ok);
  ASSERT_TRUE(svnclient::commitItems(*b, "released", false, session).ok);
  const std::string locks = testsupport::runOK({"svnadmin", "lslocks", dir / "repo"});
  EXPECT_NE(locks.find("Path: /a.txt"), std::string::npos) << locks;
  EXPECT_EQ(locks.find("Path: /b.txt"), std::string::npos) << locks;
}
