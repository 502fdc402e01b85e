// The processes that run status scans for the extension (internal to
// platform/svn).
//
// Contract: some damage to a working copy's .svn/wc.db makes libsvn abort
// the process that reads it, malfunction handler or not. So scans run in
// "korvane-status-scan", a program of ours that sits beside the running
// executable and is started afresh with posix_spawn (never forked from the
// threaded caller). It reads requests from a socket and answers on a pipe
// (records.h), one scan at a time, and ends when the socket closes. take() hands
// out an idle helper or starts one; giveBack() keeps a helper that finished
// its scan cleanly for the next; a helper dropped without giveBack() is
// killed and reaped. Any thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace svn::detail {

class StatusHelper {
 public:
  // An idle helper, or a new one (`fresh`); null with the reason in *error
  // when none could be started.
  static std::unique_ptr<StatusHelper> take(bool fresh, std::string* error);
  static void giveBack(std::unique_ptr<StatusHelper> helper);
  // Starts one helper to wait idle when none does.
  static void prestart();

  StatusHelper(pid_t pid, int requests, int answers) : pid_(pid), requests_(requests), answers_(answers) {}
  StatusHelper(const StatusHelper&) = delete;
  StatusHelper& operator=(const StatusHelper&) = delete;
  ~StatusHelper();

  // Where requests go (a socket) and answers come from (a pipe).
  int requests() const { return requests_; }
  int answers() const { return answers_; }
  // Whether it waited idle before this scan, so may have ended meanwhile.
  bool reused() const { return reused_; }
  // Ends the process and returns its wait status (how it ended if it had
  // already ended), or -1 when it cannot be known.
  int stop();

 private:
  pid_t pid_;
  int requests_;
  int answers_;
  bool reused_ = false;
  bool stopped_ = false;
  int status_ = -1;
};

}  // namespace svn::detail
