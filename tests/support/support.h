// Helpers shared by the test suites: temporary folders, running programs,
// small file operations and real Subversion repositories.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it
// when the object goes. path() has no trailing "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Sets (a value) or unsets (nullptr) environment variables for its
// lifetime and puts the old values back when it goes.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> changes);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv (no shell) with the given extra environment and standard input.
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
              const std::string& input = "", const std::string& cwd = "");
// Runs argv and fails the current test when it does not exit 0.
std::string runOK(const std::vector<std::string>& argv, const std::string& cwd = "");

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);
bool exists(const std::string& path);

// Writes DIR/record.sh, a launcher that appends one line per launch to
// DIR/launches.log: its arguments, XDG_ACTIVATION_TOKEN and
// DESKTOP_STARTUP_ID ("-" for unset), separated by "|". Returns its path.
std::string writeLaunchRecorder(const std::string& dir);

// The folder holding the project's programs (build/bin).
std::string binDir();

// Waits, polling, until done() or the timeout; returns done()'s last answer.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Sends SIGSTOP to the process and waits until every thread of it has
// stopped. kill() only wakes one thread to take the signal; the others stop
// when that one has run, so on a busy machine they may go on answering for
// a while after kill() returns. False when not all stopped in time.
bool stopProcess(int pid, std::chrono::milliseconds timeout);

// A Subversion repository made with svnadmin, with a checked-out working
// copy. Build one per suite and copy it per test with copyTree().
struct SvnRepo {
  std::string repoURL;  // file:// URL of the repository
  std::string wc;       // working copy path
};
SvnRepo makeSvnRepo(const std::string& parent, const std::map<std::string, std::string>& files = {});
// cp -a from to
void copyTree(const std::string& from, const std::string& to);

}  // namespace testsupport
