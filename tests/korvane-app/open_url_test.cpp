// korvane-app open-url: the application's side of the command handoff.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/plist/plist.h"
#include "tests/support/support.h"

using testsupport::RunResult;
using testsupport::TempDir;

namespace {

const std::string kID = "0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5B";
const std::string kURL = "korvane://finder-sync-command?id=" + kID;

class OpenURL : public ::testing::Test {
 protected:
  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dir / "data"}, {"HOME", dir / "home"}};
  }
  // korvane-app with the activation variables removed unless given.
  RunResult korvane(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) const {
    // Without a display, open-url works in the terminal.
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "XDG_ACTIVATION_TOKEN", "-u", "DESKTOP_STARTUP_ID",
                                     "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY",
                                     testsupport::binDir() + "/korvane-app"};
    // env applies NAME=value after the removals.
    for (const auto& [name, value] : extra) argv.insert(argv.end() - 1, name + "=" + value);
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, environment());
  }
  void writeCommand(const std::string& id, const plist::Value& value) const {
    testsupport::makeDirs(commands);
    ASSERT_TRUE(plist::writeFileAtomically(commands + "/" + id + ".plist", value));
  }
  static plist::Dictionary command(const std::string& action, const std::vector<std::string>& paths) {
    return {{"action", action},
            {"paths", plist::Array(paths.begin(), paths.end())},
            {"date", std::chrono::system_clock::now()}};
  }

  TempDir dir;
  const std::string finderSync = dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
  const std::string commands = finderSync + "/Commands";
};

}  // namespace

TEST_F(OpenURL, ReportsTheCommandAndWhetherItWasAskedToComeToTheFront) {
  writeCommand(kID, command("update", {"/wc/a.txt", "/wc/with space.txt", "/wc/a.txt"}));
  const std::string report = "id: " + kID +
                             "\naction: update\npath: /wc/a.txt\npath: /wc/with space.txt\npath: /wc/a.txt\n";

  auto quiet = korvane({"open-url", kURL});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, report + "activate: no\n");
  // Read once, the file is gone, so the command cannot be replayed.
  EXPECT_FALSE(testsupport::exists(commands + "/" + kID + ".plist"));
  EXPECT_EQ(korvane({"open-url", kURL}).status, 2);

  writeCommand(kID, command("update", {"/wc/a.txt", "/wc/with space.txt", "/wc/a.txt"}));
  auto raised = korvane({"open-url", kURL}, {{"XDG_ACTIVATION_TOKEN", "token-1"}});
  EXPECT_EQ(raised.status, 0) << raised.err;
  EXPECT_EQ(raised.out, report + "activate: yes\n");
  writeCommand(kID, command("update", {"/wc/a.txt", "/wc/with space.txt", "/wc/a.txt"}));
  auto x11 = korvane({"open-url", kURL}, {{"DESKTOP_STARTUP_ID", "token-2"}});
  EXPECT_EQ(x11.out, report + "activate: yes\n");

  EXPECT_EQ(testsupport::readFile(finderSync + "/ReceivedCommands.log"),
            report + "activate: no\n\n" + report + "activate: yes\n\n" + report + "activate: yes\n\n");
  EXPECT_FALSE(testsupport::exists(commands + "/" + kID + ".plist"));
}

// A link planted at the command file, its folder or the log is never followed.
TEST_F(OpenURL, FollowsNoLinks) {
  writeCommand("11111111-2222-4333-8444-000000000001", command("update", {"/wc/a"}));
  ASSERT_EQ(symlink((commands + "/11111111-2222-4333-8444-000000000001.plist").c_str(),
                    (commands + "/" + kID + ".plist").c_str()),
            0);
  auto linked = korvane({"open-url", kURL});
  EXPECT_EQ(linked.status, 2);
  EXPECT_NE(linked.err.find("cannot read the command file"), std::string::npos) << linked.err;
  EXPECT_TRUE(testsupport::exists(commands + "/11111111-2222-4333-8444-000000000001.plist"));

  testsupport::writeFile(dir / "elsewhere.log", "kept\n");
  ASSERT_EQ(symlink((dir / "elsewhere.log").c_str(), (finderSync + "/ReceivedCommands.log").c_str()), 0);
  auto logged = korvane({"open-url", "korvane://finder-sync-command?id=11111111-2222-4333-8444-000000000001"});
  EXPECT_EQ(logged.status, 0) << logged.err;
  EXPECT_EQ(testsupport::readFile(dir / "elsewhere.log"), "kept\n");

  testsupport::makeDirs(dir / "other");
  writeCommand(kID, command("update", {"/wc/a"}));
  ASSERT_EQ(rename(commands.c_str(), (dir / "other/Commands").c_str()), 0);
  ASSERT_EQ(symlink((dir / "other/Commands").c_str(), commands.c_str()), 0);
  EXPECT_EQ(korvane({"open-url", kURL}).status, 2);
  EXPECT_TRUE(testsupport::exists(dir / "other/Commands/" + kID + ".plist"));
}

TEST_F(OpenURL, AcceptsAnyCaseOfSchemeAndHostAndAnEncodedID) {
  for (const std::string& url :
       {"KORVANE://Finder-Sync-Command?id=" + kID, "korvane://finder-sync-command/?x=1&id=" + kID + "#frag",
        std::string("korvane://finder-sync-command?id=0F8A3C2E%2D1B4D-4E6F-8A9B-0C1D2E3F4A5B")}) {
    writeCommand(kID, command("reveal", {"/wc"}));
    auto result = korvane({"open-url", url});
    EXPECT_EQ(result.status, 0) << url << ": " << result.err;
    EXPECT_EQ(result.out, "id: " + kID + "\naction: reveal\npath: /wc\nactivate: no\n") << url;
  }
}

TEST_F(OpenURL, RefusesURLsThatNameNoCommandFile) {
  writeCommand(kID, command("update", {"/wc/a"}));
  testsupport::writeFile(dir / "data/group-containers/secret.plist", "");
  ASSERT_TRUE(plist::writeFileAtomically(finderSync + "/Manifest.plist", command("update", {"/etc"})));
  for (const std::string& url : {
           std::string("korvane://finder-sync-command"),
           std::string("korvane://finder-sync-command?other=") + kID,
           std::string("korvane://finder-sync-command?id="),
           std::string("korvane://finder-sync-command?id=../Manifest"),
           std::string("korvane://finder-sync-command?id=..%2FManifest"),
           std::string("korvane://finder-sync-command?id=%2"),
           std::string("korvane://finder-sync-command?id=") + kID + "x",
           std::string("korvane://finder-sync-command?id=AAAAAAAA-0000-4000-8000-000000000000"),
           std::string("korvane://elsewhere?id=") + kID,
           std::string("korvane://finder-sync-command/sub?id=") + kID,
           std::string("http://finder-sync-command?id=") + kID,
           std::string("finder-sync-command?id=") + kID,
       }) {
    auto result = korvane({"open-url", url});
    EXPECT_EQ(result.status, 2) << url;
    EXPECT_EQ(result.out, "") << url;
    EXPECT_NE(result.err.find("korvane-app: "), std::string::npos) << url;
  }
  EXPECT_EQ(korvane({"open-url"}).status, 2);
  EXPECT_EQ(korvane({"open-url", kURL, kURL}).status, 2);
  EXPECT_FALSE(testsupport::exists(finderSync + "/ReceivedCommands.log"));
}

TEST_F(OpenURL, RefusesMalformedCommandFiles) {
  const auto now = plist::Value(std::chrono::system_clock::now());
  const std::vector<plist::Value> malformed = {
      plist::Array{"update"},
      plist::Dictionary{{"action", "update"}, {"paths", plist::Array{"/a"}}},
      plist::Dictionary{{"action", "delete"}, {"paths", plist::Array{"/a"}}, {"date", now}},
      plist::Dictionary{{"action", 3}, {"paths", plist::Array{"/a"}}, {"date", now}},
      plist::Dictionary{{"action", "update"}, {"paths", plist::Array{}}, {"date", now}},
      plist::Dictionary{{"action", "update"}, {"paths", "/a"}, {"date", now}},
      plist::Dictionary{{"action", "update"}, {"paths", plist::Array{"/a", 7}}, {"date", now}},
      plist::Dictionary{{"action", "update"}, {"paths", plist::Array{"relative/a"}}, {"date", now}},
      plist::Dictionary{{"action", "update"}, {"paths", plist::Array{"/a"}}, {"date", "yesterday"}},
  };
  for (std::size_t i = 0; i < malformed.size(); ++i) {
    writeCommand(kID, malformed[i]);
    auto result = korvane({"open-url", kURL});
    EXPECT_EQ(result.status, 2) << "case " << i << ": " << result.out;
    EXPECT_NE(result.err.find("malformed command file"), std::string::npos) << "case " << i << ": " << result.err;
  }
  testsupport::writeFile(commands + "/" + kID + ".plist", "<?xml version=\"1.0\"?><plist><dict><key>");
  auto garbage = korvane({"open-url", kURL});
  EXPECT_EQ(garbage.status, 2);
  EXPECT_NE(garbage.err.find("cannot read the command file"), std::string::npos) << garbage.err;
}

// --run against a real working copy.
TEST_F(OpenURL, RunCarriesOutTheCommandWithSvn) {
  const auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}, {"b.txt", "b\n"}});
  const std::string wc = repo.wc;
  testsupport::writeFile(wc + "/a.txt", "changed\n");
  testsupport::writeFile(wc + "/new.txt", "new\n");
  testsupport::writeFile(wc + "/build.log", "noise\n");
  testsupport::writeFile(wc + "/-dash.txt", "looks like an option\n");
  int commandsSent = 0;
  auto runCommand = [&](const std::string& action, const std::vector<std::string>& paths, bool yes = false,
                        std::vector<std::string> options = {}) {
    char id[37];
    std::snprintf(id, sizeof id, "11111111-2222-4333-8444-%012d", ++commandsSent);
    writeCommand(id, command(action, paths));
    std::vector<std::string> args{"open-url", "--run", "korvane://finder-sync-command?id=" + std::string(id)};
    if (yes) options.push_back("--yes");
    args.insert(args.begin() + 2, options.begin(), options.end());
    return korvane(args);
  };
  auto svnStatus = [&] { return testsupport::runOK({"svn", "status", wc}); };

  auto added = runCommand("add", {wc + "/new.txt", wc + "/-dash.txt"});
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_NE(svnStatus().find("A       " + wc + "/new.txt"), std::string::npos) << svnStatus();
  EXPECT_NE(svnStatus().find("A       " + wc + "/-dash.txt"), std::string::npos) << svnStatus();

  EXPECT_EQ(runCommand("ignore", {wc + "/build.log"}).status, 0);
  EXPECT_EQ(runCommand("ignore", {wc + "/build.log", wc + "/other.tmp"}).status, 0);
  EXPECT_EQ(testsupport::runOK({"svn", "propget", "svn:ignore", wc}), "build.log\nother.tmp\n\n");
  EXPECT_EQ(svnStatus().find("build.log"), std::string::npos);

  // Revert and commit ask first; without a terminal only --yes confirms.
  for (const char* action : {"revert", "commit"}) {
    auto refused = runCommand(action, {wc + "/a.txt"}, false, {"--message", "Change a.txt"});
    EXPECT_EQ(refused.status, 1) << action;
    EXPECT_NE(refused.err.find("needs confirmation"), std::string::npos) << refused.err;
  }
  EXPECT_EQ(testsupport::readFile(wc + "/a.txt"), "changed\n");
  EXPECT_EQ(runCommand("revert", {wc + "/a.txt"}, true).status, 0);
  EXPECT_EQ(testsupport::readFile(wc + "/a.txt"), "a\n");

  auto committed = runCommand("commit", {wc + "/new.txt"}, true, {"-m", "Add new.txt"});
  EXPECT_EQ(committed.status, 0) << committed.err;
  EXPECT_EQ(svnStatus().find("new.txt"), std::string::npos) << svnStatus();

  EXPECT_EQ(runCommand("update", {wc}).status, 0);
  EXPECT_NE(testsupport::runOK({"svn", "info", "--show-item", "revision", wc}).find("2"), std::string::npos);

  // Failing svn commands fail the handler.
  EXPECT_EQ(runCommand("update", {dir / "not-a-working-copy"}).status, 1);
}

// A commit carries the user's message, exactly, and nothing else: without
// one, or with a blank one, nothing is committed.
TEST_F(OpenURL, RunCommitsOnlyWithTheUsersMessage) {
  const auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}});
  testsupport::writeFile(repo.wc + "/a.txt", "changed\n");
  auto commit = [&](std::vector<std::string> options, const std::string& path) {
    writeCommand(kID, command("commit", {path}));
    options.insert(options.begin(), {"open-url", "--run"});
    options.push_back(kURL);
    return korvane(options);
  };
  auto headMessage = [&] {
    return testsupport::runOK({"svn", "propget", "--revprop", "-r", "HEAD", "--no-newline", "svn:log", repo.repoURL});
  };
  auto head = [&] { return testsupport::runOK({"svn", "info", "--show-item", "revision", repo.repoURL}); };
  const std::string before = head();
  const std::string messages = dir / "data/korvane/commit-messages";

  auto unasked = commit({"--yes"}, repo.wc);
  EXPECT_EQ(unasked.status, 1);
  EXPECT_NE(unasked.err.find("commit needs a message"), std::string::npos) << unasked.err;
  for (const char* blank : {"", " \n\t "}) {
    auto refused = commit({"--yes", "--message", blank}, repo.wc);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the commit message is empty: nothing committed"), std::string::npos) << refused.err;
  }
  // Given without --yes and without a terminal, it is not confirmed.
  EXPECT_EQ(commit({"-m", "unconfirmed"}, repo.wc).status, 1);
  EXPECT_EQ(head(), before);
  EXPECT_FALSE(testsupport::exists(messages));

  // A failed commit keeps the message to pick again.
  EXPECT_EQ(commit({"--yes", "-m", "kept though it failed"}, dir / "not-a-working-copy").status, 1);
  EXPECT_EQ(testsupport::readFile(messages), std::string("kept though it failed\0", 22));

  const std::string message = "Fix a.txt\n\n  with its reasons, indented";
  auto committed = commit({"--yes", "--message=" + message}, repo.wc);
  EXPECT_EQ(committed.status, 0) << committed.err;
  EXPECT_NE(head(), before);
  EXPECT_EQ(headMessage(), message);

  // On a terminal the message is typed, up to an empty line.
  testsupport::writeFile(repo.wc + "/a.txt", "typed\n");
  writeCommand(kID, command("commit", {repo.wc}));
  std::string shell = "env -u DISPLAY -u WAYLAND_DISPLAY '" + testsupport::binDir() + "/korvane-app' open-url --run '" +
                      kURL + "'";
  auto typed = testsupport::run({"timeout", "60", "script", "-qec", shell, "/dev/null"}, environment(),
                                "First line\nsecond line\n\nnot part of it\n");
  EXPECT_EQ(typed.status, 0) << typed.out;
  EXPECT_EQ(headMessage(), "First line\nsecond line");
  EXPECT_EQ(testsupport::readFile(messages).substr(0, 23), std::string("First line\nsecond line\0", 23));
}

// Subversion runs in the process: no svn program is needed, and a path in
// no working copy is a failure that names it.
TEST_F(OpenURL, RevealRunsNothingAndNoProgramIsNeeded) {
  writeCommand(kID, command("reveal", {"/wc/a"}));
  auto revealed = korvane({"open-url", "--run", kURL}, {{"PATH", dir / "no-programs"}});
  EXPECT_EQ(revealed.status, 0) << revealed.err;
  writeCommand(kID, command("update", {"/wc/a"}));
  auto updated = korvane({"open-url", "--run", kURL}, {{"PATH", dir / "no-programs"}});
  EXPECT_EQ(updated.status, 1);
  EXPECT_NE(updated.err.find("Could not update /wc/a: "), std::string::npos) << updated.err;
}

// Names svn would read as options, globs or peg revisions reach it as names.
TEST_F(OpenURL, RunPassesNamesAsNamesAndEndsEvenWithSIGCHLDIgnored) {
  const auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}});
  const std::string wc = repo.wc;
  for (const char* name : {"report[1].txt", "report1.txt", "-dash", "icon@2x.png", "line\nbreak"})
    testsupport::writeFile(wc + "/" + name, "x\n");
  auto run = [&](const std::string& action, const std::vector<std::string>& paths) {
    writeCommand(kID, command(action, paths));
    return korvane({"open-url", "--run", kURL});
  };
  EXPECT_EQ(run("ignore", {wc + "/-dash"}).status, 0);
  EXPECT_EQ(run("ignore", {wc + "/report[1].txt"}).status, 0);
  EXPECT_EQ(testsupport::runOK({"svn", "propget", "svn:ignore", wc}), "-dash\nreport\\[1\\].txt\n\n");
  const std::string status = testsupport::runOK({"svn", "status", wc});
  EXPECT_NE(status.find("?       " + wc + "/report1.txt"), std::string::npos) << status;
  EXPECT_EQ(status.find("report[1].txt"), std::string::npos) << status;
  EXPECT_EQ(status.find("-dash"), std::string::npos) << status;
  EXPECT_EQ(run("ignore", {wc + "/line\nbreak"}).status, 1);

  EXPECT_EQ(run("add", {wc + "/icon@2x.png"}).status, 0);
  EXPECT_NE(testsupport::runOK({"svn", "status", wc}).find("A       " + wc + "/icon@2x.png"), std::string::npos);

  // Ignored SIGCHLD is inherited through exec; the handler still learns svn's outcome.
  writeCommand(kID, command("update", {wc}));
  auto updated = testsupport::run({"timeout", "30", "/usr/bin/python3", "-c",
                                   "import os, signal, sys\n"
                                   "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                                   "os.execv(sys.argv[1], sys.argv[1:])\n",
                                   testsupport::binDir() + "/korvane-app", "open-url", "--run", kURL},
                                  environment());
  EXPECT_EQ(updated.status, 0) << updated.err;
}

TEST_F(OpenURL, AnyAbsolutePathIsCarriedAndEscapedInTheReport) {
  writeCommand(kID, command("add", {"/wc/two\nlines", "/wc/back\\slash\r\t", "/wc/plain"}));
  auto result = korvane({"open-url", kURL});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "id: " + kID +
                            "\naction: add\npath: /wc/two\\nlines\npath: /wc/back\\\\slash\\r\\x09\n"
                            "path: /wc/plain\nactivate: no\n");
}
