// korvane-app, run as the program it is, against real working copies, a
// private session bus and a registry in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"
#include "platform/dispatch/dispatch.h"
#include "platform/log/log.h"
#include "platform/plist/plist.h"
#include "tests/support/support.h"

extern char** environ;

using namespace std::chrono_literals;
using testsupport::run;

namespace {

// A `korvane-app serve` running in the background, stopped with SIGTERM.
class Server {
 public:
  explicit Server(const std::string& output) : output_(output) {
    std::string program = testsupport::binDir() + "/korvane-app";
    char* argv[] = {program.data(), const_cast<char*>("serve"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_TRUE(testsupport::waitFor([&] { return this->output().find("serving") != std::string::npos; }, 10s));
  }
  ~Server() {
    if (pid_ > 0) stop();
  }
  std::string output() const { return testsupport::readFile(output_); }
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string output_;
  pid_t pid_ = 0;
};

class KorvaneApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suiteDir_ = new testsupport::TempDir();
    template_ = testsupport::makeSvnRepo(suiteDir_->path(), {{"README", "hello\n"}, {"src/main.c", "int x;\n"}}).wc;
  }
  static void TearDownTestSuite() {
    delete suiteDir_;
    suiteDir_ = nullptr;
  }
  void SetUp() override {
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  }
  // A fresh copy of the suite's working copy.
  std::string workingCopy(const std::string& name) {
    std::string path = dir / name;
    testsupport::copyTree(template_, path);
    return path;
  }
  std::string finderSync() const { return dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync"; }
  std::string manifestPath() const { return finderSync() + "/Manifest.plist"; }
  static testsupport::RunResult app(std::vector<std::string> args,
                                    const std::map<std::string, std::string>& env = {}) {
    args.insert(args.begin(), testsupport::binDir() + "/korvane-app");
    return run(args, env);
  }
  // The manifest as Python's plistlib reads it: "generation", then one line
  // per entry with its wcID, bookmark length and path.
  std::string readWithPython() const {
    return testsupport::runOK({"python3", "-c",
                               "import plistlib,sys\n"
                               "m = plistlib.load(open(sys.argv[1], 'rb'))\n"
                               "print('generation', m['generation'])\n"
                               "for e in m['entries']:\n"
                               "    assert isinstance(e['bookmark'], bytes)\n"
                               "    print(e['wcID'], len(e['bookmark']) > 0, e['path'])\n",
                               manifestPath()});
  }

  testsupport::TempDir dir;
  static inline testsupport::TempDir* suiteDir_ = nullptr;
  static inline std::string template_;
};

std::string idIn(const std::string& registerOutput) {
  std::smatch m;
  std::regex line("registered\t([0-9a-f-]{36})\t");
  EXPECT_TRUE(std::regex_search(registerOutput, m, line)) << registerOutput;
  return m.size() > 1 ? m[1].str() : "";
}

TEST_F(KorvaneApp, RegisterWritesAManifestThatPythonReadsAndKeepsTheIdentifierOfARoot) {
  std::string wc = workingCopy("wc"), other = workingCopy("other");
  auto first = app({"register", wc});
  ASSERT_EQ(first.status, 0) << first.err;
  std::string id = idIn(first.out);
  EXPECT_EQ(readWithPython(), "generation 1\n" + id + " True " + wc + "\n");

  auto again = app({"register", wc, other});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(idIn(again.out), id);
  std::string python = readWithPython();
  EXPECT_EQ(python.substr(0, python.find('\n')), "generation 2");
  EXPECT_NE(python.find(id + " True " + wc + "\n"), std::string::npos) << python;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(python, m, std::regex("([0-9a-f-]{36}) True " + other)));
  EXPECT_NE(m[1].str(), id);
}

TEST_F(KorvaneApp, PathsThatAreNotWorkingCopyRootsAreRefusedAndNothingIsWritten) {
  std::string wc = workingCopy("wc");
  testsupport::makeDirs(dir / "plain");
  struct Case {
    std::vector<std::string> paths;
    std::string message;
  };
  const Case cases[] = {
      {{dir / "plain"}, "is not a Subversion working copy"},
      {{wc + "/src"}, "is not a working copy root; its root is " + wc},
      {{dir / "missing"}, "no such folder"},
      {{wc, dir / "plain"}, "is not a Subversion working copy"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"register"};
    args.insert(args.end(), c.paths.begin(), c.paths.end());
    auto r = app(args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::exists(manifestPath())) << c.message;
  }
}

TEST_F(KorvaneApp, ARegistryInAnotherProcessResolvesARegisteredWorkingCopy) {
  std::string wc = workingCopy("wc");
  oslog::CaptureSink quiet;
  auto registry = KRVFinderSyncWorkingCopies::create();
  std::vector<foundation::URLSet> changes;
  registry->setRootURLsDidChange([&](const foundation::URLSet& roots) { changes.push_back(roots); });

  ASSERT_EQ(app({"register", wc}).status, 0);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changes.size() == 1; }, 10s));
  EXPECT_EQ(changes.front(), foundation::URLSet{foundation::FileURL::fileURLWithPath(wc)});

  ASSERT_EQ(app({"unregister", wc}).status, 0);
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changes.size() == 2; }, 10s));
  EXPECT_TRUE(changes.back().empty());
}

TEST_F(KorvaneApp, ListTellsWhetherEachBookmarkResolvesAndUnregisterTakesGoneFolders) {
  std::string wc = workingCopy("wc"), gone = workingCopy("gone");
  std::string id = idIn(app({"register", wc}).out);
  std::string goneID = idIn(app({"register", gone}).out);
  std::filesystem::remove_all(gone);

  auto list = app({"list"});
  ASSERT_EQ(list.status, 0);
  EXPECT_EQ(list.out, id + "\t" + wc + "\tresolves\n" + goneID + "\t" + gone +
                          "\tdoes not resolve: The bookmarked item \"" + gone +
                          "\" cannot be found: No such file or directory\n");

  std::string before = testsupport::readFile(manifestPath());
  auto unknown = app({"unregister", gone, dir / "never-registered"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("never-registered is not registered"), std::string::npos) << unknown.err;
  EXPECT_EQ(testsupport::readFile(manifestPath()), before);

  ASSERT_EQ(app({"unregister", gone + "/"}).status, 0);
  EXPECT_EQ(app({"list"}).out, id + "\t" + wc + "\tresolves\n");
  EXPECT_EQ(readWithPython().substr(0, 13), "generation 3\n");
}

TEST_F(KorvaneApp, ServeAnswersARecoveryRequestWithAGreaterGeneration) {
  std::string wc = workingCopy("wc");
  std::string id = idIn(app({"register", wc}).out);
  // The application's bookmark goes bad: the extension cannot use it.
  auto manifest = plist::readFile(manifestPath());
  ASSERT_TRUE(manifest && manifest->asDictionary());
  plist::Dictionary broken = *manifest->asDictionary();
  broken["entries"] = plist::Array{plist::Dictionary{{"wcID", id}, {"bookmark", plist::Data{1, 2, 3}}, {"path", wc}}};
  ASSERT_TRUE(plist::writeFileAtomically(manifestPath(), plist::Value(broken)));

  Server server(dir / "serve.out");
  oslog::CaptureSink quiet;
  auto registry = KRVFinderSyncWorkingCopies::create();
  std::vector<foundation::URLSet> changes;
  registry->setRootURLsDidChange([&](const foundation::URLSet& roots) { changes.push_back(roots); });
  registry->reloadManifest();
  EXPECT_TRUE(registry->resolvedRootURLs().empty());

  // The request goes out; serve refreshes the bookmark and announces a new
  // manifest; the registry reloads on that notification and reaches wc.
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changes.size() == 1; }, 10s)) << server.output();
  EXPECT_EQ(changes.front(), foundation::URLSet{foundation::FileURL::fileURLWithPath(wc)});
  EXPECT_EQ(readWithPython(), "generation 2\n" + id + " True " + wc + "\n");
  EXPECT_NE(server.output().find("refreshed 1 bookmarks, generation 2"), std::string::npos) << server.output();
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(KorvaneApp, WithoutASessionBusRegisterSaysTheUpdateWasNotAnnounced) {
  std::string wc = workingCopy("wc");
  auto r = app({"register", wc}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the manifest was written but the update could not be announced"), std::string::npos) << r.err;
  EXPECT_TRUE(testsupport::exists(manifestPath()));
}

}  // namespace
