// finder-extension end to end: the real extension on a private session bus,
// a real working copy registered with korvane-app, and finder-cli or the
// client end asking for badges the way a file manager would.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "platform/dispatch/dispatch.h"
#include "platform/findersync/findersync.h"
#include "tests/platform/findersync/bus_client.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;
using testsupport::TempDir;

namespace {

std::string bin(const std::string& name) { return testsupport::binDir() + "/" + name; }

// A working copy with an item of every kind the badges tell apart, made once
// for the suite: a/b/c.txt clean, top.txt modified, a/added.txt added,
// a/b/unversioned.txt unversioned, conflict.txt conflicted, lock.txt locked,
// removed.txt deleted, missing.txt missing.
class WorkingCopySource {
 public:
  static const WorkingCopySource& get() {
    static WorkingCopySource source;
    return source;
  }
  const std::string& wc() const { return wc_; }
  const std::string& repoURL() const { return repo_.repoURL; }

 private:
  WorkingCopySource() {
    repo_ = testsupport::makeSvnRepo(dir_.path(), {{"a/b/c.txt", "c\n"},
                                                   {"top.txt", "top\n"},
                                                   {"conflict.txt", "base\n"},
                                                   {"lock.txt", "lock\n"},
                                                   {"removed.txt", "removed\n"},
                                                   {"missing.txt", "missing\n"}});
    wc_ = repo_.wc;
    std::string other = dir_ / "other";
    testsupport::runOK({"svn", "checkout", "-q", repo_.repoURL, other});
    testsupport::writeFile(other + "/conflict.txt", "theirs\n");
    testsupport::runOK({"svn", "commit", "-q", "-m", "theirs"}, other);
    testsupport::writeFile(wc_ + "/conflict.txt", "mine\n");
    testsupport::runOK({"svn", "update", "-q", "--accept", "postpone"}, wc_);
    testsupport::runOK({"svn", "lock", "-q", "lock.txt"}, wc_);
    testsupport::writeFile(wc_ + "/top.txt", "top changed\n");
    testsupport::writeFile(wc_ + "/a/added.txt", "added\n");
    testsupport::runOK({"svn", "add", "-q", "a/added.txt"}, wc_);
    testsupport::writeFile(wc_ + "/a/b/unversioned.txt", "new\n");
    testsupport::runOK({"svn", "rm", "-q", "removed.txt"}, wc_);
    std::filesystem::remove(wc_ + "/missing.txt");
  }

  TempDir dir_;
  testsupport::SvnRepo repo_;
  std::string wc_;
};

// The badges `svn status` implies: an item's own badge from its status
// columns, then every folder up to the root marked with the most important
// change below it ("conflicted" over "modified"; locks stay put).
std::map<std::string, std::string> badgesFromSvnStatus(const std::string& root) {
  std::map<std::string, std::string> badges;
  std::istringstream lines(testsupport::runOK({"svn", "status", root}));
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 9 || line[8] != '/') continue;  // "Summary of conflicts" and the like
    std::string path = line.substr(8);
    char item = line[0], props = line[1], lock = line[5], tree = line[6];
    std::string badge;
    if (item == 'C' || props == 'C' || tree == 'C') {
      badge = "conflicted";
    } else if (item == 'M' || item == 'R' || (item == ' ' && props == 'M')) {
      badge = "modified";
    } else if (item == 'A') {
      badge = "added";
    } else if (item == 'D' || item == '!') {
      badge = "deleted";
    } else if (item == '?') {
      badge = "unversioned";
    } else if (item == ' ' && lock == 'K') {
      badge = "locked";
    }
    if (!badge.empty()) badges[path] = badge;
  }
  std::map<std::string, std::string> items = badges;
  for (const auto& [path, badge] : items) {
    if (badge == "locked") continue;
    std::string up = badge == "conflicted" ? "conflicted" : "modified";
    for (std::string dir = path; dir != root;) {
      dir = dir.substr(0, dir.rfind('/'));
      if (badges[dir] != "conflicted") badges[dir] = up;
    }
  }
  return badges;
}

class ExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wc = dir / "wc";
    testsupport::copyTree(WorkingCopySource::get().wc(), wc);
    env = bus.env({{"HOME", dir / "home"}, {"XDG_DATA_HOME", dir / "data"}, {"XDG_CONFIG_HOME", dir / "config"}});
    testsupport::makeDirs(dir / "home");
    auto reg = testsupport::run({bin("korvane-app"), "register", wc}, env);
    ASSERT_EQ(reg.status, 0) << reg.err;
    extension.emplace(std::vector<std::string>{bin("finder-extension")}, env);
    bus.useInThisProcess();
    ASSERT_TRUE(testbus::waitForExtension(20s)) << extension->err();
  }

  void TearDown() override {
    if (!extension) return;
    extension->signal(SIGTERM);
    EXPECT_EQ(extension->wait(20s), 0) << extension->err();
  }

  testsupport::RunResult cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("finder-cli"), "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, env);
  }

  TempDir dir;
  testbus::Bus bus;
  testbus::Environment env;
  std::string wc;
  std::optional<testbus::Process> extension;
};

TEST_F(ExtensionTest, LsShowsTheBadgesSvnStatusImpliesForEveryItem) {
  auto expected = badgesFromSvnStatus(wc);
  auto r = cli({"ls", "-R", wc});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::set<std::string> kinds;
  int items = 0;
  for (std::string line; std::getline(lines, line); ++items) {
    auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::string badge = line.substr(0, tab), path = line.substr(tab + 1);
    auto it = expected.find(path);
    EXPECT_EQ(badge, it == expected.end() ? "-" : it->second) << path;
    kinds.insert(badge);
  }
  // The copy really holds every kind that shows on disk, and every item was listed.
  EXPECT_EQ(kinds, (std::set<std::string>{"-", "added", "conflicted", "locked", "modified", "unversioned"}));
  EXPECT_GE(items, 12);
}

TEST_F(ExtensionTest, FileChangedOnDiskIsReBadgedWithItsFoldersAfterTheQuietPeriod) {
  std::string error;
  auto client = testbus::Client::connect(20s, &error);
  ASSERT_TRUE(client) << error;
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> seen;  // (badge TAB path, when)
  client->onBadgeChanged([&](const std::string& path, const std::string& badge) {
    seen.emplace_back(badge + "\t" + path, std::chrono::steady_clock::now());
  });
  // The extension watches the roots it was started with once its monitor
  // has applied them, which takes a moment after the name is owned.
  // Listing the folder gives the extension the scan that later ones are
  // compared with.
  ASSERT_EQ(cli({"ls", "-R", wc}).status, 0);
  dispatch::runMainUntil([] { return false; }, 1s);
  seen.clear();

  auto before = badgesFromSvnStatus(wc);
  auto changed = std::chrono::steady_clock::now();
  testsupport::writeFile(wc + "/a/b/c.txt", "changed on disk\n");
  auto expected = badgesFromSvnStatus(wc);
  // Every item whose badge changed is re-badged.
  std::vector<std::string> wanted;
  for (const auto& path : {wc + "/a/b/c.txt", wc + "/a/b", wc + "/a", wc})
    if (before[path] != expected[path]) wanted.push_back(expected[path] + "\t" + path);
  ASSERT_FALSE(wanted.empty());
  EXPECT_EQ(wanted.front(), "modified\t" + wc + "/a/b/c.txt");
  auto has = [&](const std::string& item) {
    return std::any_of(seen.begin(), seen.end(), [&](const auto& s) { return s.first == item; });
  };
  EXPECT_TRUE(dispatch::runMainUntil([&] { return std::all_of(wanted.begin(), wanted.end(), has); }, 30s))
      << [&] {
           std::string all;
           for (const auto& s : seen) all += s.first + "\n";
           return all;
         }();
  // Nothing was re-badged while the folder was still within its quiet period
  // of two seconds after the change (a margin of half a second allowed for
  // the two clocks involved).
  for (const auto& [item, when] : seen) EXPECT_GE(when - changed, 1500ms) << item;
}

TEST_F(ExtensionTest, RegisteringASecondWorkingCopyChangesTheWatchedFolders) {
  std::string error;
  auto client = testbus::Client::connect(20s, &error);
  ASSERT_TRUE(client) << error;
  EXPECT_EQ(client->directoryURLs(&error), std::vector<std::string>{wc});

  std::vector<std::vector<std::string>> changes;
  client->onDirectoryURLsChanged([&](const std::vector<std::string>& paths) { changes.push_back(paths); });
  std::string second = dir / "second";
  testsupport::runOK({"svn", "checkout", "-q", WorkingCopySource::get().repoURL(), second});
  auto reg = testsupport::run({bin("korvane-app"), "register", second}, env);
  ASSERT_EQ(reg.status, 0) << reg.err;

  std::vector<std::string> both{second, wc};
  std::sort(both.begin(), both.end());
  EXPECT_TRUE(dispatch::runMainUntil([&] { return !changes.empty() && changes.back() == both; }, 20s));
  auto roots = cli({"roots"});
  ASSERT_EQ(roots.status, 0) << roots.err;
  EXPECT_EQ(roots.out, both[0] + "\n" + both[1] + "\n");

  // The new working copy is badged too.
  testsupport::writeFile(second + "/fresh.txt", "x\n");
  auto ls = cli({"ls", second});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.out.find("unversioned\t" + second + "/fresh.txt\n"), std::string::npos) << ls.out;
}

}  // namespace
