#include "bus_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/platform/findersync/bus_client.h"
#include "tests/support/support.h"

namespace testbus {

namespace {
std::string scratchFile(const char* what) {
  std::string pattern = std::string("/tmp/krv-bus-") + what + "-XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return pattern;
}
}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& env)
    : outPath_(scratchFile("out")), errPath_(scratchFile("err")) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls, as the test process has other threads.
  Environment merged;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : env) merged[key] = value;
  std::vector<std::string> entries;
  for (const auto& [key, value] : merged) entries.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
    int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setpgid(0, 0);  // signals sent to the test's terminal do not reach it
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

void Process::signal(int signalNumber) const {
  if (!status_) kill(pid_, signalNumber);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

bool Process::running() { return !wait(std::chrono::milliseconds(0)); }

std::string Process::out() const { return testsupport::readFile(outPath_); }
std::string Process::err() const { return testsupport::readFile(errPath_); }

Bus::Bus(const Environment& daemonEnv) {
  daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"}, daemonEnv);
  bool ready = testsupport::waitFor(
      [&] {
        std::string out = daemon_->out();
        if (out.find('\n') == std::string::npos) return false;
        address_ = out.substr(0, out.find('\n'));
        return true;
      },
      std::chrono::seconds(10));
  if (!ready) throw std::runtime_error("dbus-daemon did not start: " + daemon_->err());
}

Bus::~Bus() { stop(); }

void Bus::stop() {
  if (!daemon_) return;
  daemon_->signal(SIGTERM);
  daemon_->wait(std::chrono::seconds(5));
  daemon_.reset();
}

Environment Bus::env(Environment extra) const {
  extra["DBUS_SESSION_BUS_ADDRESS"] = address_;
  return extra;
}

void Bus::useInThisProcess() const { setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1); }

bool waitForExtension(std::chrono::milliseconds timeout) {
  std::string error;
  auto client = testbus::Client::connect(std::chrono::seconds(5), &error);
  if (!client) return false;
  return testsupport::waitFor([&] { return client->serviceIsRunning(); }, timeout);
}

}  // namespace testbus
