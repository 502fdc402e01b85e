// NSLog: one diagnostic line on standard error.
//
// Contract:
// - NSLog(message) writes "<date> <time> <program>[<pid>:<tid>] <message>\n"
//   to standard error in one write; a message never spans several lines
//   (line feeds in it are written as spaces).
// - While a CaptureLines object exists, messages go to it instead (tests
//   read them), without the prefix.
// - Callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace nslog {

void NSLog(const std::string& message);

// Captures every message while it lives. One at a time per process.
class CaptureLines {
 public:
  CaptureLines();
  ~CaptureLines();
  CaptureLines(const CaptureLines&) = delete;
  CaptureLines& operator=(const CaptureLines&) = delete;
  std::vector<std::string> lines() const;
};

}  // namespace nslog
