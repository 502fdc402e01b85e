// One command at a time per working copy: a second one waits its turn,
// another working copy's runs at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "korvane-app/work/queue.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;

TEST(WorkingCopyQueue, ASecondCommandForTheSameWorkingCopyWaitsAndRunsNext) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::vector<std::string> order;
  std::atomic<bool> otherRan{false};
  auto record = [&](const std::string& what) {
    std::lock_guard lock(mutex);
    order.push_back(what);
  };
  auto recorded = [&] {
    std::lock_guard lock(mutex);
    return order;
  };
  {
    KRVWorkingCopyQueue queue;
    EXPECT_FALSE(queue.submit("/wc", [&] {
      record("first starts");
      released.wait();
      record("first ends");
    }));
    EXPECT_TRUE(queue.submit("/wc", [&] { record("second"); }));
    EXPECT_FALSE(queue.submit("/other", [&] { otherRan = true; }));
    // The other working copy's command is not held up by the first.
    EXPECT_TRUE(testsupport::waitFor([&] { return otherRan.load(); }, 10s));
    EXPECT_TRUE(testsupport::waitFor([&] { return !recorded().empty(); }, 10s));
    EXPECT_EQ(recorded(), std::vector<std::string>{"first starts"});
    release.set_value();
    // The destructor waits for both.
  }
  EXPECT_EQ(recorded(), (std::vector<std::string>{"first starts", "first ends", "second"}));
}
