// Structured logging by subsystem and category, standing in for os_log.
//
// Contract:
// - Each entry carries the fields SUBSYSTEM, CATEGORY, PRIORITY and MESSAGE.
//   It goes to the journal when standard error is connected to it, else one
//   line to standard error: "<program>[<pid>] <subsystem>/<category> <level>: <message>".
// - While a CaptureSink exists, entries go to it instead (tests read them).
// - Callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace oslog {

enum class Level { Default, Error };

struct Entry {
  std::string subsystem;
  std::string category;
  Level level;
  std::string message;
};

class Logger {
 public:
  Logger(std::string subsystem, std::string category);
  void log(Level level, const std::string& message) const;
  void error(const std::string& message) const { log(Level::Error, message); }
  void notice(const std::string& message) const { log(Level::Default, message); }
  // Error level is always enabled; kept so callers can skip building costly
  // messages the way they would with os_log_type_enabled.
  bool errorEnabled() const { return true; }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

// Captures every entry made while it lives. One at a time per process.
class CaptureSink {
 public:
  CaptureSink();
  ~CaptureSink();
  CaptureSink(const CaptureSink&) = delete;
  CaptureSink& operator=(const CaptureSink&) = delete;

  std::vector<Entry> entries() const;
  // Messages only, in order, for terse assertions.
  std::vector<std::string> messages() const;
  void clear();
};

}  // namespace oslog
