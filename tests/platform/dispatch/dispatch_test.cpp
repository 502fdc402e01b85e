#include "platform/dispatch/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrderFromManyThreads) {
  auto queue = dispatch::makeSerialQueue("test.order");
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        queue->async([&, t, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen.push_back(t * 1000 + i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& p : producers) p.join();
  queue->sync([] {});
  ASSERT_EQ(seen.size(), 2000u);
  EXPECT_FALSE(overlapped);
  // Each producer's own tasks keep their order.
  std::vector<int> last(4, -1);
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(SerialQueue, AfterRunsOnTheQueueNotEarlierThanAsked) {
  auto queue = dispatch::makeSerialQueue("test.after");
  std::atomic<bool> onQueue{false}, ran{false};
  auto start = std::chrono::steady_clock::now();
  std::atomic<long long> elapsedMs{0};
  queue->after(0.05, [&] {
    onQueue = queue->isCurrent();
    elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ran = true;
  });
  while (!ran) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(onQueue);
  EXPECT_GE(elapsedMs.load(), 50);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, CanBeDestroyedFromItsOwnTaskAndDropsWaitingWork) {
  auto queue = dispatch::makeSerialQueue("test.self");
  auto holder = std::make_shared<std::shared_ptr<dispatch::Queue>>(queue);
  std::atomic<bool> released{false};
  std::atomic<bool> timerRan{false};
  queue->after(0.2, [&] { timerRan = true; });
  queue->async([holder, &released] {
    holder->reset();
    released = true;
  });
  queue.reset();
  while (!released) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(timerRan);
}

TEST(MainQueue, RunsTasksFromOtherThreadsWhileTheMainLoopRuns) {
  std::vector<int> order;
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i) dispatch::mainQueue().async([&order, i] { order.push_back(i); });
  });
  producer.join();
  ASSERT_TRUE(dispatch::runMainUntil([&] { return order.size() == 100; }, 5s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_TRUE(dispatch::mainQueue().isCurrent() == false);
}

TEST(MainQueue, RunMainUntilGivesUpAtTheTimeout) {
  EXPECT_FALSE(dispatch::runMainUntil([] { return false; }, 30ms));
}

TEST(SerialQueue, CanBeDestroyedRightAfterItIsMade) {
  // The queue's thread may not have started its loop yet when the
  // destructor asks it to stop; the request must not be lost.
  for (int i = 0; i < 500; ++i) dispatch::makeSerialQueue("test.short-lived");
  auto queue = dispatch::makeSerialQueue("test.after");
  std::atomic<bool> ran{false};
  queue->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}
