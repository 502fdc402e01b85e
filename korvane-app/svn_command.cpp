#include "svn_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runOnPaths(std::vector<std::string> args, const std::vector<std::string>& paths) {
  args.push_back("--");
  args.insert(args.end(), paths.begin(), paths.end());
  return runSvn(std::move(args));
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
    if (!runSvn({"propget", "--no-newline", "svn:ignore", "--", folder}, &current)) current.clear();
    std::vector<std::string> patterns;
    std::istringstream lines(current);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) patterns.push_back(line);
    }
    for (const auto& name : names) {
      if (std::find(patterns.begin(), patterns.end(), name) == patterns.end()) patterns.push_back(name);
    }
    std::string value;
    for (const auto& pattern : patterns) value += pattern + "\n";
    ok = runSvn({"propset", "svn:ignore", value, "--", folder}) && ok;
  }
  return ok;
}

}  // namespace

bool carryOutCommand(const std::string& action, const std::vector<std::string>& paths) {
  if (action == "reveal") return true;
  if (action == "update") return runOnPaths({"update"}, paths);
  if (action == "commit") return runOnPaths({"commit", "--message", "Committed from the file manager"}, paths);
  if (action == "add") return runOnPaths({"add", "--force", "--parents"}, paths);
  if (action == "revert") return runOnPaths({"revert", "--depth", "infinity"}, paths);
  if (action == "ignore") return ignore(paths);
  return false;
}
