#include "helper.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

extern char** environ;

namespace svn::detail {

namespace {

// The program's name; platform/svn/CMakeLists.txt builds it beside every
// executable and installs it beside the extension.
constexpr const char* kProgram = "korvane-status-scan";

// The extension scans from one queue, so one idle helper is usually all
// that is needed; a second covers scans from another thread.
constexpr std::size_t kMaxIdle = 2;

constexpr int kAnswerBuffer = 1 << 20;

std::mutex idleMutex;
// Never destroyed: a scan on another thread may still give a helper back
// while the process exits. Idle helpers end when their socket closes.
std::vector<std::unique_ptr<StatusHelper>>& idleHelpers() {
  static auto* helpers = new std::vector<std::unique_ptr<StatusHelper>>;
  return *helpers;
}

std::string besideThisProgram() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return kProgram;
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + kProgram;
}

std::unique_ptr<StatusHelper> start(std::string* error) {
  static const std::string path = besideThisProgram();
  int requests[2], answers[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requests) != 0) {
    *error = std::string("cannot make a socket: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(answers, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(requests[0]);
    close(requests[1]);
    return nullptr;
  }
  // Room for a large folder's answers: with a small buffer the helper
  // stalls whenever it fills, until this thread gets the processor back.
  // Refused (a lower limit for pipes), the default size serves.
  fcntl(answers[1], F_SETPIPE_SZ, kAnswerBuffer);
  // The helper talks on its standard input and output and keeps nothing
  // else of ours open; it starts with default signal handling, whatever
  // this thread blocks or this process ignores.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, requests[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, answers[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(kProgram), nullptr};
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(requests[1]);
  close(answers[1]);
  if (rc != 0) {
    close(requests[0]);
    close(answers[0]);
    *error = path + ": " + std::strerror(rc);
    return nullptr;
  }
  return std::make_unique<StatusHelper>(pid, requests[0], answers[0]);
}

}  // namespace

std::unique_ptr<StatusHelper> StatusHelper::take(bool fresh, std::string* error) {
  if (!fresh) {
    std::lock_guard lock(idleMutex);
    auto& idle = idleHelpers();
    if (!idle.empty()) {
      auto helper = std::move(idle.back());
      idle.pop_back();
      return helper;
    }
  }
  return start(error);
}

void StatusHelper::giveBack(std::unique_ptr<StatusHelper> helper) {
  helper->reused_ = true;
  std::lock_guard lock(idleMutex);
  auto& idle = idleHelpers();
  if (idle.size() >= kMaxIdle) return;  // the surplus one is stopped, outside the lock
  idle.push_back(std::move(helper));
}

void StatusHelper::prestart() {
  {
    std::lock_guard lock(idleMutex);
    if (!idleHelpers().empty()) return;
  }
  std::string error;
  if (auto helper = start(&error)) giveBack(std::move(helper));
}

int StatusHelper::stop() {
  if (stopped_) return status_;
  stopped_ = true;
  close(requests_);
  close(answers_);
  // A helper that already ended keeps the status it ended with.
  kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  status_ = reaped == pid_ ? status : -1;
  return status_;
}

StatusHelper::~StatusHelper() { stop(); }

}  // namespace svn::detail
