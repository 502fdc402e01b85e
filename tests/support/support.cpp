#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/krv-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> changes) {
  for (const auto& [key, value] : changes) {
    const char* old = std::getenv(key);
    saved_.emplace_back(key, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    value != nullptr ? setenv(key, value, 1) : unsetenv(key);
  }
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
    it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& input, const std::string& cwd) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed standard input and drain both outputs together so no pipe fills up.
  RunResult result;
  size_t fed = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  int open = 2;
  while (open > 0 || in[1] >= 0) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
      }
    }
    if (in[1] >= 0 && fds[2].revents != 0) {
      ssize_t n = write(in[1], input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<size_t>(n);
      if (n < 0 || fed == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string runOK(const std::vector<std::string>& argv, const std::string& cwd) {
  RunResult r = run(argv, {}, "", cwd);
  std::string line;
  for (const auto& a : argv) line += a + " ";
  EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err;
  return r.out;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string writeLaunchRecorder(const std::string& dir) {
  const std::string script = dir + "/record.sh";
  writeFile(script,
            "#!/bin/sh\n"
            "printf '%s|%s|%s\\n' \"$*\" \"${XDG_ACTIVATION_TOKEN:--}\" \"${DESKTOP_STARTUP_ID:--}\""
            " >> \"$(dirname \"$0\")/launches.log\"\n");
  chmod(script.c_str(), 0755);
  return script;
}

std::string binDir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "build/bin";
  self[n] = '\0';
  return std::filesystem::path(self).parent_path().string();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool stopProcess(int pid, std::chrono::milliseconds timeout) {
  if (kill(pid, SIGSTOP) != 0) return false;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  return waitFor(
      [&] {
        std::error_code ec;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
          // The state follows the name, which is in parentheses and may hold any byte.
          std::string stat = readFile(task.path().string() + "/stat");
          auto close = stat.rfind(')');
          if (close == std::string::npos || close + 2 >= stat.size()) return false;
          char state = stat[close + 2];
          if (state != 'T' && state != 't') return false;
        }
        return !ec;
      },
      timeout);
}

SvnRepo makeSvnRepo(const std::string& parent, const std::map<std::string, std::string>& files) {
  SvnRepo repo;
  std::string repoPath = parent + "/repo";
  runOK({"svnadmin", "create", repoPath});
  repo.repoURL = "file://" + repoPath;
  repo.wc = parent + "/wc";
  runOK({"svn", "checkout", "-q", repo.repoURL, repo.wc});
  if (files.empty()) return repo;
  for (const auto& [rel, content] : files) {
    std::string path = repo.wc + "/" + rel;
    makeDirs(std::filesystem::path(path).parent_path().string());
    writeFile(path, content);
  }
  runOK({"svn", "add", "-q", "--force", "--parents", "."}, repo.wc);
  runOK({"svn", "commit", "-q", "-m", "initial"}, repo.wc);
  runOK({"svn", "update", "-q"}, repo.wc);
  return repo;
}

void copyTree(const std::string& from, const std::string& to) { runOK({"cp", "-a", from, to}); }

}  // namespace testsupport
