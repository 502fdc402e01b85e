// keychain-askpass as ssh runs it, against the real keyring daemon of the
// test session: items stored by secret-tool and by korvane-app, the tool
// run as the child of a parent whose arguments are those of ssh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

using testsupport::run;
using testsupport::RunResult;
using Args = std::vector<std::string>;

const std::string kGroup = "7QH2MXR5TB.com.korvaneapp.shareditems";

std::string bin(const std::string& name) { return testsupport::binDir() + "/" + name; }

// keychain-askpass PROMPT, started by a parent with the given arguments.
RunResult askpass(const Args& parentArgs, const std::string& prompt,
                  const std::map<std::string, std::string>& env = {}) {
  Args argv = {bin("krv-askpass-parent")};
  argv.insert(argv.end(), parentArgs.begin(), parentArgs.end());
  argv.insert(argv.end(), {"--", bin("keychain-askpass"), prompt});
  return run(argv, env);
}

Args sshArgs(const std::string& host) { return {"ssh", "-q", "--", host, "svnserve", "-t"}; }

void secretToolStore(const std::string& server, const std::string& account, const std::string& password) {
  auto result = run({"secret-tool", "store", "--label=L", "xdg:schema", "com.korvaneapp.keychain.InternetPassword",
                     "protocol", "svn+ssh", "server", server, "account", account, "access-group", kGroup,
                     "synchronizable", "false"},
                    {}, password);
  ASSERT_EQ(result.status, 0) << result.err;
}

void storePassword(const std::string& url, const std::string& account, const std::string& password) {
  auto result = run({bin("korvane-app"), "store-password", url, account}, {}, password);
  ASSERT_EQ(result.status, 0) << result.err;
}

TEST(KeychainAskpassKeyring, PasswordStoredWithSecretTool) {
  secretToolStore("buildhost", "svnuser", "tool-pass");
  auto result = askpass(sshArgs("svnuser@buildhost"), "svnuser@buildhost's password:");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "tool-pass");
  EXPECT_EQ(result.err, "");
  // Another user on the same host has no item.
  auto other = askpass(sshArgs("mallory@buildhost"), "mallory@buildhost's password:");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.out, "");
}

TEST(KeychainAskpassKeyring, PasswordStoredWithKorvaneApp) {
  storePassword("svn+ssh://apphost/repos/trunk", "svnuser", "app pass\n");
  auto result = askpass(sshArgs("svnuser@apphost"), "svnuser@apphost's password:");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "app pass");

  // Storing again replaces the password instead of adding a second item.
  storePassword("svn+ssh://apphost/repos/trunk", "svnuser", "changed");
  EXPECT_EQ(askpass(sshArgs("svnuser@apphost"), "Password:").out, "changed");
  auto items = run({"secret-tool", "search", "--all", "server", "apphost"});
  EXPECT_EQ(items.out.find("[/"), items.out.rfind("[/")) << items.out;
}

TEST(KeychainAskpassKeyring, HostSpecificationForms) {
  secretToolStore("chost", "a", "pass-a");
  auto abc = askpass({"ssh", "a@b@chost", "svnserve", "-t"}, "password:");
  EXPECT_EQ(abc.status, 0);
  EXPECT_EQ(abc.out, "pass-a");
  // No "@": any account on the host answers.
  auto anyAccount = askpass({"ssh", "chost", "svnserve", "-t"}, "password:");
  EXPECT_EQ(anyAccount.status, 0);
  EXPECT_EQ(anyAccount.out, "pass-a");
}

TEST(KeychainAskpassKeyring, PromptsThatAreNotPasswordRequests) {
  auto hostKey = askpass(sshArgs("svnuser@buildhost"),
                         "The authenticity of host 'buildhost (127.0.0.1)' can't be established.\n"
                         "Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
  EXPECT_EQ(hostKey.status, 0);
  EXPECT_EQ(hostKey.out, "yes\n");
  auto passphrase = askpass(sshArgs("svnuser@buildhost"), "Enter passphrase for key '/home/u/.ssh/id_rsa': ");
  EXPECT_EQ(passphrase.status, 0);
  EXPECT_EQ(passphrase.out, "");
  auto noPrompt = run({bin("keychain-askpass")});
  EXPECT_EQ(noPrompt.status, 0);
  EXPECT_EQ(noPrompt.out, "");
}

TEST(KeychainAskpassKeyring, UnservablePasswordRequests) {
  secretToolStore("servedhost", "svnuser", "never-shown");
  for (const Args& parent : {Args{"ssh", "svnuser@servedhost", "-t"}, Args{"svnserve", "svnuser@servedhost"},
                             Args{"ssh", "svnuser@servedhost", "/usr/local/bin/svnserve"},
                             Args{"ssh", "svnuser@nohost", "svnserve"}}) {
    auto result = askpass(parent, "password:");
    EXPECT_EQ(result.status, 1) << parent[1];
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.find("never-shown"), std::string::npos);
  }
}

// A bus of the test's own, without activation, so that the Secret Service
// exists only when the test starts one.
class PrivateBus {
 public:
  PrivateBus() {
    testsupport::writeFile(dir_ / "bus.conf",
                           "<busconfig><type>session</type><listen>unix:dir=" + dir_.path() +
                               "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                               "<allow own=\"*\"/></policy></busconfig>");
    auto started = run({"dbus-daemon", "--config-file=" + dir_ / "bus.conf", "--fork", "--print-address=1",
                        "--print-pid=1"});
    auto newline = started.out.find('\n');
    address_ = started.out.substr(0, newline);
    pid_ = std::stoi(started.out.substr(newline + 1));
    testsupport::makeDirs(dir_ / "home/.cache");
    testsupport::makeDirs(dir_ / "run");
  }
  ~PrivateBus() {
    if (keyring_ > 0) kill(keyring_, SIGKILL);
    if (pid_ > 0) kill(pid_, SIGKILL);
  }
  std::map<std::string, std::string> env() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"HOME", dir_ / "home"},
            {"XDG_DATA_HOME", dir_ / "home/.local/share"},
            {"XDG_CONFIG_HOME", dir_ / "home/.config"},
            {"XDG_RUNTIME_DIR", dir_ / "run"}};
  }
  // Starts an unlocked keyring daemon on the bus; returns once it owns its name.
  void startKeyring() {
    auto started = run({"sh", "-c",
                        "echo -n pw | gnome-keyring-daemon --unlock --components=secrets --foreground "
                        ">/dev/null 2>&1 & echo $!"},
                       env());
    keyring_ = std::stoi(started.out);
    auto waited = run({"gdbus", "wait", "--session", "--timeout", "20", "org.freedesktop.secrets"}, env());
    ASSERT_EQ(waited.status, 0) << waited.err;
    // The daemon owns its name before it has made the unlocked login keyring.
    bool ready = testsupport::waitFor(
        [&] {
          auto alias = run({"gdbus", "call", "--session", "-d", "org.freedesktop.secrets", "-o",
                            "/org/freedesktop/secrets", "-m", "org.freedesktop.Secret.Service.ReadAlias", "default"},
                           env());
          return alias.out.find("/collection/") != std::string::npos;
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(ready);
  }
  pid_t keyring() const { return keyring_; }

 private:
  testsupport::TempDir dir_;
  std::string address_;
  pid_t pid_ = -1;
  pid_t keyring_ = -1;
};

// ssh waits on its askpass program: a Secret Service that does not answer
// must make it fail after the short deadline, not hang. The coreutils
// timeout only guards the test run; it is not a measurement.
TEST(KeychainAskpassKeyring, SecretServiceThatDoesNotAnswerFailsInsteadOfHanging) {
  PrivateBus bus;
  ASSERT_NO_FATAL_FAILURE(bus.startKeyring());
  ASSERT_EQ(kill(bus.keyring(), SIGSTOP), 0);
  Args argv = {"timeout", "20", bin("krv-askpass-parent")};
  for (const auto& a : sshArgs("svnuser@buildhost")) argv.push_back(a);
  argv.insert(argv.end(), {"--", bin("keychain-askpass"), "password:"});
  auto result = run(argv, bus.env());
  EXPECT_EQ(result.status, 1) << "124 means it hung";
  EXPECT_EQ(result.out, "");

  auto stored = run({"timeout", "20", bin("korvane-app"), "store-password", "svn+ssh://h", "u"}, bus.env(), "pw");
  EXPECT_EQ(stored.status, 1);
  EXPECT_NE(stored.err.find("(-25291)"), std::string::npos) << stored.err;
}

TEST(KeychainAskpassKeyring, NoSecretServiceOnTheBus) {
  PrivateBus bus;
  auto stored = run({"timeout", "20", bin("korvane-app"), "store-password", "svn+ssh://h", "u"}, bus.env(), "pw");
  EXPECT_EQ(stored.status, 1);
  EXPECT_NE(stored.err.find("No keychain is available"), std::string::npos) << stored.err;
  EXPECT_EQ(stored.err.find("pw"), std::string::npos);
  auto result = askpass(sshArgs("u@h"), "password:", bus.env());
  EXPECT_EQ(result.status, 1);
}

TEST(KeychainAskpassKeyring, LockedKeyringIsNotAnswered) {
  PrivateBus bus;
  ASSERT_NO_FATAL_FAILURE(bus.startKeyring());
  auto stored = run({bin("korvane-app"), "store-password", "svn+ssh://lockedhost", "u"}, bus.env(), "pw");
  ASSERT_EQ(stored.status, 0) << stored.err;
  ASSERT_EQ(askpass(sshArgs("u@lockedhost"), "password:", bus.env()).out, "pw");
  auto locked = run({"gdbus", "call", "--session", "-d", "org.freedesktop.secrets", "-o", "/org/freedesktop/secrets",
                     "-m", "org.freedesktop.Secret.Service.Lock", "['/org/freedesktop/secrets/collection/login']"},
                    bus.env());
  ASSERT_EQ(locked.status, 0) << locked.err;
  auto result = askpass(sshArgs("u@lockedhost"), "password:", bus.env());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  auto again =
      run({"timeout", "20", bin("korvane-app"), "store-password", "svn+ssh://lockedhost", "u"}, bus.env(), "x");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("(-25308)"), std::string::npos) << again.err;
}

}  // namespace
