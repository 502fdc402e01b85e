#include "platform/log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(Log, CaptureSinkRecordsSubsystemCategoryLevelAndText) {
  oslog::CaptureSink sink;
  oslog::Logger logger("com.korvaneapp.v3.finder", "WorkingCopies");
  logger.error("one");
  logger.notice("two");
  auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].subsystem, "com.korvaneapp.v3.finder");
  EXPECT_EQ(entries[0].category, "WorkingCopies");
  EXPECT_EQ(entries[0].level, oslog::Level::Error);
  EXPECT_EQ(entries[1].level, oslog::Level::Default);
  EXPECT_EQ(sink.messages(), (std::vector<std::string>{"one", "two"}));
  sink.clear();
  EXPECT_TRUE(sink.entries().empty());
}

TEST(Log, WithoutACaptureEntriesGoToStandardError) {
  testing::internal::CaptureStderr();
  oslog::Logger("sub.system", "Cat").error("visible line");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("sub.system/Cat error: visible line"), std::string::npos);
  EXPECT_EQ(err.rfind("log_test[" + std::to_string(getpid()) + "] ", 0), 0u) << err;  // the program's own name
}
