#include "platform/notifications/notifications.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/dispatch.h"
#include "tests/support/support.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kName = "com.korvaneapp.test.ping";

// Counts the calls of one observation and checks each runs on the main queue.
struct Counter {
  std::atomic<int> calls{0};
  std::atomic<int> offMain{0};
  notifications::Handler handler() {
    return [this] {
      if (!dispatch::mainQueue().isCurrent()) ++offMain;
      ++calls;
    };
  }
};

std::string self() { return testsupport::binDir() + "/notifications_test"; }

TEST(Notifications, PostedNotificationsReachObserversOfThatNameOnTheMainQueue) {
  Counter ping, other;
  std::string error;
  auto a = notifications::observe(kName, ping.handler(), &error);
  ASSERT_TRUE(a) << error;
  auto b = notifications::observe("com.korvaneapp.test.other", other.handler());
  ASSERT_TRUE(b);

  ASSERT_TRUE(notifications::post(kName, &error)) << error;
  ASSERT_TRUE(dispatch::runMainUntil([&] { return ping.calls == 1; }, 5s));
  ASSERT_TRUE(notifications::post("com.korvaneapp.test.other"));
  ASSERT_TRUE(dispatch::runMainUntil([&] { return other.calls == 1; }, 5s));
  // Signals are dispatched in order, so by now a second ping call would have run.
  EXPECT_EQ(ping.calls, 1);
  EXPECT_EQ(ping.offMain + other.offMain, 0);
}

TEST(Notifications, SeesNotificationsOfOtherProcessesIncludingOnesThatExitAtOnce) {
  Counter ping;
  auto observation = notifications::observe(kName, ping.handler());
  ASSERT_TRUE(observation);

  testsupport::runOK({"gdbus", "emit", "--session", "--object-path", notifications::kObjectPath, "--signal",
                      std::string(notifications::kInterface) + "." + notifications::kSignal,
                      std::string("'") + kName + "'", "''"});
  ASSERT_TRUE(dispatch::runMainUntil([&] { return ping.calls == 1; }, 5s));

  // A child that posts and leaves with _exit(): only the flush in post()
  // gets the signal out.
  auto child = testsupport::run({self()}, {{"KRV_NOTIFICATIONS_CHILD", "post"}});
  ASSERT_EQ(child.status, 0) << child.err;
  EXPECT_TRUE(dispatch::runMainUntil([&] { return ping.calls == 2; }, 5s));
}

TEST(Notifications, DestroyingTheObservationStopsTheCalls) {
  Counter gone, kept;
  auto doomed = notifications::observe(kName, gone.handler());
  auto keeper = notifications::observe(kName, kept.handler());
  ASSERT_TRUE(doomed && keeper);
  ASSERT_TRUE(notifications::post(kName));
  // Both calls were queued on the main queue; destroying before they run
  // must still stop the doomed one.
  doomed.reset();
  ASSERT_TRUE(dispatch::runMainUntil([&] { return kept.calls == 1; }, 5s));
  ASSERT_TRUE(notifications::post(kName));
  ASSERT_TRUE(dispatch::runMainUntil([&] { return kept.calls == 2; }, 5s));
  EXPECT_EQ(gone.calls, 0);
}

TEST(Notifications, WithoutASessionBusBothCallsFailQuickly) {
  auto child = testsupport::run({self()}, {{"KRV_NOTIFICATIONS_CHILD", "nobus"},
                                           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(child.status, 3) << child.out << child.err;
  EXPECT_NE(child.err.find("post: no session bus"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("observe: no session bus"), std::string::npos) << child.err;
}

// The child modes of the tests above, run as separate processes.
int runChild(const std::string& mode) {
  std::string error;
  if (mode == "post") _exit(notifications::post(kName, &error) ? 0 : 1);
  bool posted = notifications::post(kName, &error);
  std::fprintf(stderr, "post: %s\n", error.c_str());
  auto observation = notifications::observe(kName, [] {}, &error);
  std::fprintf(stderr, "observe: %s\n", error.c_str());
  return !posted && observation == nullptr ? 3 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* mode = std::getenv("KRV_NOTIFICATIONS_CHILD")) return runChild(mode);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
