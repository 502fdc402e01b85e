#include "svn_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

extern char** environ;

namespace {

// Runs svn with args; its standard output goes to *output when given.
bool runSvn(std::vector<std::string> args, std::string* output = nullptr) {
  args.insert(args.begin(), {"svn", "--non-interactive"});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output && pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  // With SIGCHLD ignored a finished child leaves no status to wait for.
  signal(SIGCHLD, SIG_DFL);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "svn", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
  }
  if (spawned != 0) {
    std::fprintf(stderr, "korvane-app: cannot run svn\n");
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("korvane-app: waiting for svn");
      return false;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A trailing "@" keeps an "@" inside the path from reading as a peg revision.
std::string pathArgument(const std::string& path) { return path + "@"; }

bool runOnPaths(std::vector<std::string> args, const std::vector<std::string>& paths) {
  args.push_back("--");
  for (const auto& path : paths) args.push_back(pathArgument(path));
  return runSvn(std::move(args));
}

// An svn:ignore pattern matching exactly name: glob characters are escaped.
std::string ignorePattern(const std::string& name) {
  std::string pattern;
  for (char c : name) {
    if (c == '[' || c == ']' || c == '*' || c == '?' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// Revert and commit change things that cannot be had back: they go ahead
// only when confirmed, or when the user says so on the terminal.
bool confirm(const std::string& action, std::size_t count, bool confirmed) {
  if (confirmed) return true;
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "korvane-app: %s needs confirmation: run it on a terminal or pass --yes\n", action.c_str());
    return false;
  }
  std::fprintf(stderr, "%s %zu item%s? [y/N] ", action == "revert" ? "Revert" : "Commit", count,
               count == 1 ? "" : "s");
  char answer[16] = {};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

// Adds each item's name to the svn:ignore property of the folder holding it.
bool ignore(const std::vector<std::string>& paths) {
  std::map<std::string, std::vector<std::string>> namesByFolder;
  for (const auto& path : paths) {
    const std::filesystem::path item(path);
    if (item.has_filename()) namesByFolder[item.parent_path().string()].push_back(item.filename().string());
  }
  bool ok = true;
  for (const auto& [folder, names] : namesByFolder) {
    std::string current;
    // A folder without the property makes propget fail; that is an empty list.
    if (!runSvn({"propget", "--no-newline", "--", "svn:ignore", pathArgument(folder)}, &current)) current.clear();
    std::vector<std::string> patterns;
    std::istringstream lines(current);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) patterns.push_back(line);
    }
    for (const auto& name : names) {
      // The property holds one pattern a line.
      if (name.find_first_of("\r\n") != std::string::npos) {
        std::fprintf(stderr, "korvane-app: cannot ignore a name with a line break in %s\n", folder.c_str());
        ok = false;
        continue;
      }
      const std::string pattern = ignorePattern(name);
      if (std::find(patterns.begin(), patterns.end(), pattern) == patterns.end()) patterns.push_back(pattern);
    }
    std::string value;
    for (const auto& pattern : patterns) value += pattern + "\n";
    ok = runSvn({"propset", "--", "svn:ignore", value, pathArgument(folder)}) && ok;
  }
  return ok;
}

}  // namespace

bool carryOutCommand(const std::string& action, const std::vector<std::string>& paths, bool confirmed) {
  if (action == "reveal") return true;
  if (action == "update") return runOnPaths({"update"}, paths);
  if ((action == "commit" || action == "revert") && !confirm(action, paths.size(), confirmed)) return false;
  if (action == "commit") return runOnPaths({"commit", "--message", "Committed from the file manager"}, paths);
  if (action == "add") return runOnPaths({"add", "--force", "--parents"}, paths);
  if (action == "revert") return runOnPaths({"revert", "--depth", "infinity"}, paths);
  if (action == "ignore") return ignore(paths);
  return false;
}
