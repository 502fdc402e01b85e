// Test helpers for programs that meet on a session bus: a private
// dbus-daemon per test (so suites running side by side never share the
// extension's bus name) and background processes with captured output.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testbus {

using Environment = std::map<std::string, std::string>;

// A program running in the background; its standard output and error go to
// files that out() and err() read. Killed (SIGKILL) when still running at
// destruction.
class Process {
 public:
  // argv[0] is looked up in PATH; env adds to (or replaces in) this process's environment.
  Process(const std::vector<std::string>& argv, const Environment& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signalNumber) const;
  // The exit status (128 + signal when killed), or nothing when it has not
  // ended within the timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string outPath_;
  std::string errPath_;
};

// A private session bus. Sets nothing in this process's environment:
// give env() to children, and call useInThisProcess() for in-process clients.
class Bus {
 public:
  explicit Bus(const Environment& daemonEnv = {});
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  const std::string& address() const { return address_; }
  // DBUS_SESSION_BUS_ADDRESS for a child on this bus.
  Environment env(Environment extra = {}) const;
  void useInThisProcess() const;
  // Ends the daemon: every connection to the bus closes.
  void stop();

 private:
  std::optional<Process> daemon_;
  std::string address_;
};

// Polls until a process owns the extension's bus name on the bus of
// $DBUS_SESSION_BUS_ADDRESS, or the timeout passes.
bool waitForExtension(std::chrono::milliseconds timeout);

}  // namespace testbus
