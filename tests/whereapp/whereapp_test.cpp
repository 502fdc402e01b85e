// Runs the built whereapp against real desktop-entry folders under a
// temporary XDG_DATA_HOME and XDG_DATA_DIRS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/support.h"

using testsupport::RunResult;
using namespace std::string_literals;

namespace {

const std::string kUsage =
    "whereapp: print full path to application\n\n"
    "usage: whereapp bundle_identifier\n"
    "       whereapp application_name.app\n";

std::string applicationEntry(const std::string& name, const std::string& more = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + more;
}

// How standard output is handed to the child.
enum class Output { Closed, Full, BrokenPipe };

class Whereapp : public testing::Test {
 protected:
  std::string install(const std::string& base, const std::string& relative, const std::string& content) {
    std::string path = dir_ / (base + "/applications/" + relative);
    testsupport::makeDirs(std::filesystem::path(path).parent_path().string());
    testsupport::writeFile(path, content);
    return path;
  }

  std::map<std::string, std::string> environment() const {
    return {{"XDG_DATA_HOME", dir_ / "home"}, {"XDG_DATA_DIRS", dir_ / "sys1:" + dir_.path() + "/sys2"}};
  }

  RunResult whereapp(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{testsupport::binDir() + "/whereapp"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::run(argv, environment());
  }

  void expectFound(const std::vector<std::string>& arguments, const std::string& path) const {
    RunResult result = whereapp(arguments);
    EXPECT_EQ(result.status, 0) << testing::PrintToString(arguments);
    EXPECT_EQ(result.out, path) << testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "");
  }

  void expectSilentFailure(const std::vector<std::string>& arguments) const {
    RunResult result = whereapp(arguments);
    EXPECT_EQ(result.status, 1) << testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "") << testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "") << testing::PrintToString(arguments);
  }

  // Runs whereapp with one argument and the given kind of standard output;
  // standard error goes to /dev/null. Returns the exit status.
  int whereappWithOutput(Output output, const std::string& argument) const {
    std::string program = testsupport::binDir() + "/whereapp";
    std::vector<std::string> env;
    for (const auto& [key, value] : environment()) env.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{program.data(), const_cast<char*>(argument.c_str()), nullptr};

    int target = -1;
    if (output == Output::Full) target = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (output == Output::BrokenPipe) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) return -1;
      close(fds[0]);  // no reader from the start
      target = fds[1];
    }
    if (output != Output::Closed && target < 0) return -1;
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(devNull, STDERR_FILENO);
      if (output == Output::Closed) close(STDOUT_FILENO);
      else dup2(target, STDOUT_FILENO);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (target >= 0) close(target);
    close(devNull);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  testsupport::TempDir dir_;
};

TEST_F(Whereapp, PrintsThePathOfTheEntryWithTheIdentifierAndNoNewline) {
  std::string path = install("sys2", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  expectFound({"com.korvaneapp.v3"}, path);
}

TEST_F(Whereapp, UnknownIdentifierFailsSilently) {
  install("sys2", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  expectSilentFailure({"com.korvaneapp.v2"});
  expectSilentFailure({"com.korvaneapp"});
}

TEST_F(Whereapp, WrongArgumentsGiveTheUsageText) {
  install("home", "-h.desktop", applicationEntry("Dash"));
  for (const auto& arguments : std::vector<std::vector<std::string>>{{}, {"a", "b"}, {"-h"}, {"-"}, {"", ""}}) {
    RunResult result = whereapp(arguments);
    EXPECT_EQ(result.status, 1) << testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "") << testing::PrintToString(arguments);
    EXPECT_EQ(result.err, kUsage) << testing::PrintToString(arguments);
  }
  EXPECT_EQ(kUsage.size(), 113u);
}

// "" passes the argument check but names no application, not even an entry
// file called ".desktop".
TEST_F(Whereapp, EmptyIdentifierFindsNothing) {
  expectSilentFailure({""});
  install("home", ".desktop", applicationEntry("Bare"));
  expectSilentFailure({""});
}

TEST_F(Whereapp, ArgumentHoldingDotAppAnywhereIsAName) {
  install("home", "org.example.application.desktop", applicationEntry("Example"));
  expectSilentFailure({"org.example.application"});
  std::string named = install("sys1", "renamed.desktop", applicationEntry("org.example.application"));
  expectFound({"org.example.application"}, named);
}

TEST_F(Whereapp, FindsAnApplicationByNameWithoutItsDotApp) {
  std::string path = install("sys1", "com.korvaneapp.v3.desktop", applicationEntry("Korvane", "Name[de]=Rabe\n"));
  expectFound({"Korvane.app"}, path);
  expectSilentFailure({"Rabe.app"});
  expectSilentFailure({"korvane.app"});
  expectSilentFailure({"Korvane.APP"});  // no ".app": an identifier
  expectSilentFailure({".app"});
  std::string dotted = install("home", "dotted.desktop", applicationEntry("Korvane.app"));
  expectFound({"Korvane.app.app"}, dotted);
}

TEST_F(Whereapp, ArgumentThatIsNotUTF8Fails) {
  install("home", "\xff.desktop", applicationEntry("Bytes"));
  install("home", "caf\xe9.desktop", applicationEntry("Latin"));
  expectSilentFailure({"\xff"});
  expectSilentFailure({"caf\xe9"});
  expectSilentFailure({"\xe9.app"});
  std::string utf8 = install("home", "caf\xc3\xa9.desktop", applicationEntry("Caf\xc3\xa9"));
  expectFound({"caf\xc3\xa9"}, utf8);
  expectFound({"Caf\xc3\xa9.app"}, utf8);
}

TEST_F(Whereapp, PathThatIsNotUTF8IsNoAnswer) {
  install("h\xfe", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  RunResult result = testsupport::run({testsupport::binDir() + "/whereapp", "com.korvaneapp.v3"},
                                      {{"XDG_DATA_HOME", dir_ / "h\xfe"}, {"XDG_DATA_DIRS", dir_ / "none"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
}

TEST_F(Whereapp, DataHomeHidesDataDirsAndTheFirstDataDirWins) {
  std::string home = install("home", "org.example.Editor.desktop", applicationEntry("Editor"));
  std::string first = install("sys1", "org.example.Editor.desktop", applicationEntry("Editor"));
  install("sys2", "org.example.Editor.desktop", applicationEntry("Editor"));
  expectFound({"org.example.Editor"}, home);
  expectFound({"Editor.app"}, home);
  std::filesystem::remove(home);
  expectFound({"org.example.Editor"}, first);
  expectFound({"Editor.app"}, first);
}

TEST_F(Whereapp, EntryInASubfolderHasADashedIdentifier) {
  std::string nested = install("sys2", "korvane/helper.desktop", applicationEntry("Helper"));
  expectFound({"korvane-helper"}, nested);
  expectSilentFailure({"korvane/helper"});
  expectSilentFailure({"helper"});
  // When two entries share the identifier only the first is printed.
  std::string flat = install("sys2", "korvane-helper.desktop", applicationEntry("Helper"));
  expectFound({"korvane-helper"}, flat);
}

TEST_F(Whereapp, HiddenEntryIsNotFoundAndHidesTheSystemOne) {
  install("sys1", "org.example.Tool.desktop", applicationEntry("Tool"));
  install("home", "org.example.Tool.desktop", applicationEntry("Tool", "Hidden=true\n"));
  expectSilentFailure({"org.example.Tool"});
  expectSilentFailure({"Tool.app"});
}

TEST_F(Whereapp, AnswerThatCannotBeWrittenIsAFailure) {
  install("sys2", "com.korvaneapp.v3.desktop", applicationEntry("Korvane"));
  EXPECT_EQ(whereappWithOutput(Output::Closed, "com.korvaneapp.v3"), 1);
  EXPECT_EQ(whereappWithOutput(Output::BrokenPipe, "com.korvaneapp.v3"), 1);
  EXPECT_EQ(whereappWithOutput(Output::BrokenPipe, "Korvane.app"), 1);
  EXPECT_EQ(whereappWithOutput(Output::Full, "com.korvaneapp.v3"), 1);
  // The same answer to a working output succeeds, so the failures above come from the write.
  EXPECT_EQ(whereapp({"com.korvaneapp.v3"}).status, 0);
}

}  // namespace
