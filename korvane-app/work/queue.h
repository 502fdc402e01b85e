// One Subversion command at a time per working copy. The application's
// windows submit commands from the main thread; each runs on a worker
// thread of its own working copy, in the order submitted, so a second
// command for a working copy waits for the first instead of failing on
// svn's lock. Commands for different working copies run at once.
//
// Contract: submit() may be called from any thread. `work` runs on a
// worker thread and must not touch the toolkit. The destructor waits for
// every submitted command to finish.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class KRVWorkingCopyQueue {
 public:
  KRVWorkingCopyQueue() = default;
  ~KRVWorkingCopyQueue();
  KRVWorkingCopyQueue(const KRVWorkingCopyQueue&) = delete;
  KRVWorkingCopyQueue& operator=(const KRVWorkingCopyQueue&) = delete;

  // Queues `work` for the working copy at `root`; true when it has to wait
  // for commands submitted before it.
  bool submit(const std::string& root, std::function<void()> work);

 private:
  void p_drain(const std::string& root);

  std::mutex p_mutex;
  std::condition_variable p_idle;
  std::map<std::string, std::deque<std::function<void()>>> p_pending;  // root -> running first, then waiting
  int p_workers = 0;
};
