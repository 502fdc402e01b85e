// The status scanner against real working copies: every item arrives once,
// with the status `svn status` gives it, under the root path as given.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/svn/svn.h"
#include "statusfixture.h"
#include "tests/support/support.h"

namespace {

using testsupport::runOK;
using testsupport::TempDir;
using testsupport::writeFile;

struct Item {
  svn_wc_status_kind nodeStatus;
  bool conflicted;
  bool locked;
  std::string url;  // from the svn_wc_status2_t record
  svn_wc_status_kind textStatus2;
};

struct Scan {
  std::map<std::string, Item> items;  // first report of each path
  std::vector<std::string> order;
  std::vector<std::pair<std::string, svn_wc_status_kind>> repeats;  // later reports of a path seen before
  std::optional<apr_status_t> error;  // apr_err of the returned error
};

Scan scan(const std::string& root, const std::optional<std::string>& configDir = std::nullopt,
          svn_depth_t depth = svn_depth_infinity, size_t failAfter = 0) {
  Scan result;
  auto options = KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(depth);
  svn_error_t* err = KRVWorkingCopyStatusScanner::scanLocalTarget(
      root, configDir, options,
      [&](const char* path, const svn_client_status_t* status, const svn_wc_status2_t* status2) -> svn_error_t* {
        result.order.push_back(path);
        Item item{status->node_status, status->conflicted != 0, status->lock != nullptr,
                  status2->url != nullptr ? status2->url : "", status2->text_status};
        if (!result.items.emplace(path, item).second) result.repeats.emplace_back(path, status->node_status);
        if (failAfter != 0 && result.order.size() == failAfter)
          return svn_error_create(SVN_ERR_CANCELLED, nullptr, "enough");
        return SVN_NO_ERROR;
      });
  if (err != nullptr) result.error = svn_error_root_cause(err)->apr_err;
  svn_error_clear(err);
  return result;
}

svn_wc_status_kind kindNamed(const std::string& name) {
  static const std::map<std::string, svn_wc_status_kind> kinds = {
      {"none", svn_wc_status_none},           {"unversioned", svn_wc_status_unversioned},
      {"normal", svn_wc_status_normal},       {"added", svn_wc_status_added},
      {"missing", svn_wc_status_missing},     {"deleted", svn_wc_status_deleted},
      {"replaced", svn_wc_status_replaced},   {"modified", svn_wc_status_modified},
      {"merged", svn_wc_status_merged},       {"conflicted", svn_wc_status_conflicted},
      {"ignored", svn_wc_status_ignored},     {"obstructed", svn_wc_status_obstructed},
      {"external", svn_wc_status_external},   {"incomplete", svn_wc_status_incomplete}};
  auto it = kinds.find(name);
  return it == kinds.end() ? svn_wc_status_none : it->second;
}

// What `svn status -v --xml` says about each item below root.
std::map<std::string, svn_wc_status_kind> svnStatus(const std::string& root) {
  std::string xml = runOK({"svn", "status", "-v", "--xml", root});
  std::map<std::string, svn_wc_status_kind> result;
  std::regex entry(R"re(<entry\s+path="([^"]*)">\s*<wc-status[^>]*?item="([a-z]+)")re");
  for (std::sregex_iterator it(xml.begin(), xml.end(), entry), end; it != end; ++it)
    result[(*it)[1]] = kindNamed((*it)[2]);
  return result;
}

class ScannerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    KRVEnsureSVNCoreInitialization();
    suiteDir_ = new TempDir;
    fixture_ = statusfixture::build(suiteDir_->path());
  }
  static void TearDownTestSuite() {
    delete suiteDir_;
    suiteDir_ = nullptr;
  }
  void SetUp() override {
    wc_ = dir_.path() + "/wc";
    testsupport::copyTree(fixture_.wc, wc_);
  }

  static inline TempDir* suiteDir_ = nullptr;
  static inline statusfixture::Fixture fixture_;
  TempDir dir_;
  std::string wc_;
};

TEST_F(ScannerTest, ReportsEveryItemAsSvnStatusDoes) {
  Scan result = scan(wc_);
  ASSERT_FALSE(result.error);
  EXPECT_TRUE(result.repeats.empty());
  auto expected = svnStatus(wc_);
  ASSERT_GT(expected.size(), 20u);
  std::map<std::string, svn_wc_status_kind> got;
  for (const auto& [path, item] : result.items) got[path] = item.nodeStatus;
  EXPECT_EQ(got, expected);

  // The states the fixture set up, as the client record tells them.
  EXPECT_EQ(result.items.at(wc_).nodeStatus, svn_wc_status_normal);
  EXPECT_EQ(result.items.at(wc_ + "/a.txt").nodeStatus, svn_wc_status_modified);
  EXPECT_EQ(result.items.at(wc_ + "/merged.txt").nodeStatus, svn_wc_status_modified);
  EXPECT_EQ(result.items.at(wc_ + "/added.txt").nodeStatus, svn_wc_status_added);
  EXPECT_EQ(result.items.at(wc_ + "/del.txt").nodeStatus, svn_wc_status_deleted);
  EXPECT_EQ(result.items.at(wc_ + "/gone.txt").nodeStatus, svn_wc_status_missing);
  EXPECT_EQ(result.items.at(wc_ + "/repl.txt").nodeStatus, svn_wc_status_replaced);
  EXPECT_TRUE(result.items.at(wc_ + "/conf.txt").conflicted);
  EXPECT_TRUE(result.items.at(wc_ + "/d2/e/f.txt").conflicted);
  EXPECT_EQ(result.items.at(wc_ + "/d2").nodeStatus, svn_wc_status_added);
  EXPECT_EQ(result.items.at(wc_ + "/d/new.txt").nodeStatus, svn_wc_status_unversioned);
  EXPECT_EQ(result.items.at(wc_ + "/d/b.txt").nodeStatus, svn_wc_status_normal);
  EXPECT_EQ(result.items.count(wc_ + "/x.tmp"), 0u) << "ignored items are not reported";

  // Locks are seen on otherwise unchanged items, and only there.
  EXPECT_EQ(result.items.at(wc_ + "/lk/locked.txt").nodeStatus, svn_wc_status_normal);
  EXPECT_TRUE(result.items.at(wc_ + "/lk/locked.txt").locked);
  EXPECT_FALSE(result.items.at(wc_ + "/lk/plain.txt").locked);
}

TEST_F(ScannerTest, FillsTheOlderStatusRecord) {
  Scan result = scan(wc_);
  ASSERT_FALSE(result.error);
  const Item& modified = result.items.at(wc_ + "/a.txt");
  EXPECT_EQ(modified.url, fixture_.repoURL + "/a.txt");
  EXPECT_EQ(modified.textStatus2, svn_wc_status_modified);
  EXPECT_EQ(result.items.at(wc_ + "/conf.txt").textStatus2, svn_wc_status_conflicted);
  EXPECT_EQ(result.items.at(wc_ + "/d/b.txt").textStatus2, svn_wc_status_normal);
  EXPECT_EQ(result.items.at(wc_ + "/d/new.txt").url, "");
}

TEST_F(ScannerTest, ReportsPathsUnderTheRootAsGiven) {
  for (const std::string& given : {wc_ + "/", wc_ + "/."}) {
    Scan result = scan(given);
    ASSERT_FALSE(result.error) << given;
    ASSERT_FALSE(result.order.empty());
    EXPECT_EQ(result.order.front(), given) << "the root itself comes first";
    EXPECT_EQ(result.items.at(given == wc_ + "/" ? given + "a.txt" : given + "/a.txt").nodeStatus,
              svn_wc_status_modified);
    for (const auto& [path, item] : result.items) EXPECT_EQ(path.rfind(given, 0), 0u) << path;
  }
}

TEST_F(ScannerTest, NamesNonAsciiFilesWhateverTheLocale) {
  // The test process runs in the "C" locale, as a service may.
  writeFile(wc_ + "/d/\xc3\xa9t\xc3\xa9.txt", "summer\n");
  Scan result = scan(wc_);
  ASSERT_FALSE(result.error);
  ASSERT_EQ(result.items.count(wc_ + "/d/\xc3\xa9t\xc3\xa9.txt"), 1u);
  EXPECT_EQ(result.items.at(wc_ + "/d/\xc3\xa9t\xc3\xa9.txt").nodeStatus, svn_wc_status_unversioned);

  // The older record's URL escapes such names as Subversion does.
  writeFile(wc_ + "/d/a b\xc3\xa9#.txt", "added\n");
  testsupport::runOK({"svn", "add", "-q", wc_ + "/d/a b\xc3\xa9#.txt"});
  result = scan(wc_);
  ASSERT_EQ(result.items.count(wc_ + "/d/a b\xc3\xa9#.txt"), 1u);
  EXPECT_EQ(result.items.at(wc_ + "/d/a b\xc3\xa9#.txt").url, fixture_.repoURL + "/d/a%20b%C3%A9%23.txt");
}

TEST_F(ScannerTest, ReadsIgnoresFromTheConfigDirectoryOnlyWhenGiven) {
  writeFile(wc_ + "/build.log", "log\n");
  writeFile(wc_ + "/obj.o", "object\n");
  std::string config = dir_.path() + "/config-dir";
  testsupport::makeDirs(config);
  writeFile(config + "/config", "[miscellany]\nglobal-ignores = *.log\n");

  Scan configured = scan(wc_, config);
  ASSERT_FALSE(configured.error);
  EXPECT_EQ(configured.items.count(wc_ + "/build.log"), 0u);
  EXPECT_EQ(configured.items.count(wc_ + "/obj.o"), 1u) << "the configured list replaces the built-in one";

  Scan defaults = scan(wc_);
  ASSERT_FALSE(defaults.error);
  EXPECT_EQ(defaults.items.count(wc_ + "/build.log"), 1u);
  EXPECT_EQ(defaults.items.count(wc_ + "/obj.o"), 0u) << "built-in global ignores";
}

TEST_F(ScannerTest, WalksExternalsAfterTheWorkingCopy) {
  runOK({"svn", "propset", "-q", "svn:externals", fixture_.repoURL + "/d ext", "clean"}, wc_);
  runOK({"svn", "update", "-q"}, wc_ + "/clean");
  writeFile(wc_ + "/clean/ext/b.txt", "changed in the external\n");

  Scan result = scan(wc_);
  ASSERT_FALSE(result.error);
  // The external's folder comes first from the main walk, then again as the
  // root of its own walk.
  EXPECT_EQ(result.items.at(wc_ + "/clean/ext").nodeStatus, svn_wc_status_external);
  ASSERT_EQ(result.repeats.size(), 1u);
  EXPECT_EQ(result.repeats[0].first, wc_ + "/clean/ext");
  EXPECT_EQ(result.repeats[0].second, svn_wc_status_normal);
  EXPECT_EQ(result.items.at(wc_ + "/clean/ext/b.txt").nodeStatus, svn_wc_status_modified);
  EXPECT_EQ(result.items.at(wc_ + "/clean/ext/e/f.txt").nodeStatus, svn_wc_status_normal);
}

TEST_F(ScannerTest, ShallowDepthStopsBelowTheRoot) {
  Scan result = scan(wc_, std::nullopt, svn_depth_immediates);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.items.count(wc_ + "/d"), 1u);
  EXPECT_EQ(result.items.count(wc_ + "/d/b.txt"), 0u);
}

TEST_F(ScannerTest, AnEntryBlockErrorStopsTheScanAndComesBack) {
  Scan result = scan(wc_, std::nullopt, svn_depth_infinity, 3);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(*result.error, SVN_ERR_CANCELLED);
  EXPECT_EQ(result.order.size(), 3u);
}

TEST_F(ScannerTest, FailsWithoutReportingForMissingRootsAndPlainFolders) {
  Scan missing = scan(dir_.path() + "/nowhere");
  EXPECT_TRUE(missing.error);
  EXPECT_TRUE(missing.items.empty());

  std::string plain = dir_.path() + "/plain";
  testsupport::makeDirs(plain);
  Scan notWorkingCopy = scan(plain);
  ASSERT_TRUE(notWorkingCopy.error);
  EXPECT_EQ(*notWorkingCopy.error, SVN_ERR_WC_NOT_WORKING_COPY);

  Scan relative = scan("wc");
  ASSERT_TRUE(relative.error);
  EXPECT_EQ(*relative.error, SVN_ERR_BAD_FILENAME);
}

// A file whose pristine copy is gone and whose text may have changed makes
// the walk fail at that file; what came before it stays reported.
TEST_F(ScannerTest, AFailureHalfWayKeepsWhatWasReported) {
  std::string sha1 = runOK({"sqlite3", wc_ + "/.svn/wc.db",
                            "select substr(checksum, 7) from nodes where local_relpath = 'lk/plain.txt'"});
  sha1.erase(sha1.find_last_not_of('\n') + 1);
  ASSERT_EQ(sha1.size(), 40u);
  runOK({"rm", wc_ + "/.svn/pristine/" + sha1.substr(0, 2) + "/" + sha1 + ".svn-base"});
  writeFile(wc_ + "/lk/plain.txt", "PLAIN\n");  // same size, other text

  Scan result = scan(wc_);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.items.at(wc_ + "/a.txt").nodeStatus, svn_wc_status_modified);
  EXPECT_EQ(result.items.count(wc_ + "/lk/plain.txt"), 0u);
}

// The helpers running scans, children of this process.
std::vector<pid_t> scanHelpers() {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid() && state != 'Z' && text.find("(korvane-status") != std::string::npos)
      found.push_back(std::stoi(entry.path().filename()));
  }
  return found;
}

// Damage that makes libsvn abort ends only the helper running that scan,
// and a helper that ended while idle is replaced: later scans work.
TEST_F(ScannerTest, ScansOutliveTheHelpersThatRanThem) {
  std::string damaged = dir_.path() + "/damaged";
  testsupport::copyTree(fixture_.wc, damaged);
  runOK({"sqlite3", damaged + "/.svn/wc.db", "update nodes set kind = 'bogus' where local_relpath = 'a.txt'"});
  Scan broken = scan(damaged);
  ASSERT_TRUE(broken.error);
  EXPECT_EQ(*broken.error, SVN_ERR_WC_CORRUPT);
  const size_t items = scan(wc_).items.size();
  ASSERT_GT(items, 20u);

  auto helpers = scanHelpers();
  ASSERT_FALSE(helpers.empty());
  for (pid_t helper : helpers) kill(helper, SIGKILL);
  for (int i = 0; i < 500 && !scanHelpers().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Scan again = scan(wc_);
  EXPECT_FALSE(again.error);
  EXPECT_EQ(again.items.size(), items);
}

}  // namespace
