#include "queue.h"

#include <thread>

KRVWorkingCopyQueue::~KRVWorkingCopyQueue() {
  std::unique_lock lock(p_mutex);
  p_idle.wait(lock, [this] { return p_workers == 0; });
}

bool KRVWorkingCopyQueue::submit(const std::string& root, std::function<void()> work) {
  std::lock_guard lock(p_mutex);
  auto& pending = p_pending[root];
  pending.push_back(std::move(work));
  if (pending.size() > 1) return true;
  ++p_workers;
  std::thread([this, root] { p_drain(root); }).detach();
  return false;
}

void KRVWorkingCopyQueue::p_drain(const std::string& root) {
  std::unique_lock lock(p_mutex);
  while (true) {
    auto& pending = p_pending[root];
    auto work = pending.front();
    lock.unlock();
    work();
    lock.lock();
    auto& after = p_pending[root];
    after.pop_front();
    if (after.empty()) break;
  }
  p_pending.erase(root);
  // Notified under the lock: the destructor may free this object as soon
  // as it sees no worker left.
  --p_workers;
  p_idle.notify_all();
}
