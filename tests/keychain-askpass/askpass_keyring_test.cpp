// keychain-askpass as ssh runs it, against the real keyring daemon of the
// test session: items stored by secret-tool and by korvane-app, the tool
// run as the child of a parent whose arguments are those of ssh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>
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

// The command run as root without any capability, so that /proc grants it
// what it grants an unprivileged user: another process's executable only
// when that process is dumpable and holds no more capabilities.
Args withoutCapabilities(Args command) {
  command.insert(command.begin(), {"setpriv", "--inh-caps=-all", "--bounding-set=-all"});
  return command;
}

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

// svn hands ssh "host:port" for a repository on another port, and a host in
// lower case; a hardened parent hides its executable but not its arguments.
TEST(KeychainAskpassKeyring, PortsCapitalsAndAHiddenParentExecutableAreAnswered) {
  secretToolStore("porthost", "svnuser", "port-pass");
  auto port = askpass(sshArgs("svnuser@porthost:2222"), "password:");
  EXPECT_EQ(port.status, 0) << port.err;
  EXPECT_EQ(port.out, "port-pass");
  secretToolStore("::1", "svnuser", "v6-pass");
  EXPECT_EQ(askpass(sshArgs("svnuser@[::1]:2222"), "password:").out, "v6-pass");
  EXPECT_EQ(askpass(sshArgs("svnuser@porthost:2222/x"), "password:").status, 1);

  storePassword("svn+ssh://CapsHost:2222/repos", "svnuser", "caps-pass");
  auto caps = askpass(sshArgs("svnuser@capshost"), "password:");
  EXPECT_EQ(caps.status, 0) << caps.err;
  EXPECT_EQ(caps.out, "caps-pass");

  // Without capabilities the tool cannot read a non-dumpable parent's
  // executable, as any unprivileged user's askpass cannot.
  Args argv = withoutCapabilities({bin("krv-askpass-parent")});
  for (const auto& a : sshArgs("svnuser@porthost")) argv.push_back(a);
  argv.insert(argv.end(), {"--", bin("keychain-askpass"), "password:"});
  auto hidden = run(argv, {{"KRV_PARENT_STUB_NOT_DUMPABLE", "1"}});
  EXPECT_EQ(hidden.status, 0) << hidden.err;
  EXPECT_EQ(hidden.out, "port-pass");
}

// What any process on the session bus could record while the tool answers:
// the raw messages, as `dbus-monitor --binary` writes them.
TEST(KeychainAskpassKeyring, BusCaptureHoldsNoSecret) {
  const std::string secret = "bus-capture-secret-7311";
  secretToolStore("capturehost", "svnuser", secret);
  testsupport::TempDir dir;
  std::string capture = dir / "bus.pcap";
  auto monitor = run({"sh", "-c", "dbus-monitor --session --binary >'" + capture + "' 2>/dev/null & echo $!"});
  pid_t monitorPid = std::stoi(monitor.out);
  // A marker call shows that the monitor records (and has written out) all
  // that came before it.
  auto mark = [&](const std::string& marker) {
    run({"gdbus", "call", "--session", "-d", "org.freedesktop.secrets", "-o", "/org/freedesktop/secrets", "-m",
         "org.freedesktop.Secret.Service.ReadAlias", marker});
    return testsupport::waitFor([&] { return testsupport::readFile(capture).find(marker) != std::string::npos; },
                                std::chrono::seconds(10));
  };
  EXPECT_TRUE(mark("krvcapturestart"));
  auto result = askpass(sshArgs("svnuser@capturehost"), "password:");
  EXPECT_TRUE(mark("krvcaptureend"));
  kill(monitorPid, SIGTERM);
  EXPECT_EQ(result.out, secret);

  std::string recorded = testsupport::readFile(capture);
  EXPECT_NE(recorded.find("GetSecrets"), std::string::npos) << "the capture missed the secret's transfer";
  EXPECT_NE(recorded.find("dh-ietf1024-sha256-aes128-cbc-pkcs7"), std::string::npos);
  EXPECT_EQ(recorded.find(secret), std::string::npos) << "the secret crossed the bus in clear";
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

// An argument of ssh that is not text is left out of the parent's list; the
// host before "svnserve" could then be another argument (here the jump
// host's), so no password is given at all.
TEST(KeychainAskpassKeyring, AParentArgumentThatIsNotTextGetsNoPassword) {
  secretToolStore("jump.example", "svnuser", "jump-pass");
  auto result = askpass({"ssh", "-J", "svnuser@jump.example", "svnuser@b\xe4" "d.example", "svnserve", "-t"},
                        "password:");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find("not valid text"), std::string::npos) << result.err;
  // The host-key question is still answered.
  auto hostKey = askpass({"ssh", "h\xe4", "svnserve"}, "authenticity (yes/no)?");
  EXPECT_EQ(hostKey.status, 0);
  EXPECT_EQ(hostKey.out, "yes\n");
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
  ASSERT_TRUE(testsupport::stopProcess(bus.keyring(), std::chrono::seconds(10)));
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

// While the tool waits for the keyring (stopped here), before any secret
// has reached it, no core file may be written and another process of the
// user may not look into it: reading /proc/<pid>/exe needs the same access
// as ptrace. Tool and probe run without capabilities, as a user's would.
TEST(KeychainAskpassKeyring, NotDumpableWhileItAnswers) {
  PrivateBus bus;
  ASSERT_NO_FATAL_FAILURE(bus.startKeyring());
  ASSERT_TRUE(testsupport::stopProcess(bus.keyring(), std::chrono::seconds(10)));
  std::string command = "setpriv --inh-caps=-all --bounding-set=-all '" + bin("krv-askpass-parent") +
                        "' ssh u@h svnserve -- '" + bin("keychain-askpass") + "' password: >/dev/null 2>&1 & echo $!";
  pid_t parent = std::stoi(run({"sh", "-c", command}, bus.env()).out);
  auto readable = [](pid_t pid) {
    return run(withoutCapabilities({"readlink", "/proc/" + std::to_string(pid) + "/exe"})).status == 0;
  };
  pid_t tool = -1;
  bool started = testsupport::waitFor(
      [&] {
        std::string children = testsupport::readFile("/proc/" + std::to_string(parent) + "/task/" +
                                                     std::to_string(parent) + "/children");
        if (children.empty()) return false;
        tool = std::stoi(children);
        auto exe = run({"readlink", "/proc/" + std::to_string(tool) + "/exe"}).out;
        return exe.find("keychain-askpass") != std::string::npos;
      },
      std::chrono::seconds(3));
  ASSERT_TRUE(started);
  EXPECT_TRUE(readable(parent)) << "the probe itself must be able to succeed";
  EXPECT_TRUE(testsupport::waitFor([&] { return !readable(tool); }, std::chrono::seconds(3)));
  std::string limits = testsupport::readFile("/proc/" + std::to_string(tool) + "/limits");
  EXPECT_TRUE(std::regex_search(limits, std::regex("Max core file size +0 +0 "))) << limits;
  kill(tool, SIGKILL);
  kill(parent, SIGKILL);
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
