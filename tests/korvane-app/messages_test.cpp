// The recent commit messages: newest first, ten at most, each once, and a
// message with line breaks kept whole.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "korvane-app/work/messages.h"
#include "tests/support/support.h"

TEST(RecentMessages, KeepsTheLastTenNewestFirstInTheDataFolder) {
  testsupport::TempDir dir;
  setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
  EXPECT_TRUE(appwork::recentMessages().empty());

  std::string error;
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(appwork::rememberMessage("message " + std::to_string(i), &error)) << error;
  ASSERT_TRUE(appwork::rememberMessage("two lines\nof text\n", &error)) << error;
  ASSERT_TRUE(appwork::rememberMessage("message 9", &error)) << error;

  const auto messages = appwork::recentMessages();
  ASSERT_EQ(messages.size(), 10u);
  EXPECT_EQ(messages[0], "message 9");
  EXPECT_EQ(messages[1], "two lines\nof text\n");
  EXPECT_EQ(messages[2], "message 11");
  EXPECT_EQ(messages[3], "message 10");  // message 9 moved up, not repeated
  EXPECT_EQ(messages[9], "message 3");
  EXPECT_TRUE(testsupport::exists(dir.path() + "/korvane/commit-messages"));

  // A data folder that cannot be written: the failure is said, not hidden.
  testsupport::writeFile(dir.path() + "/blocked", "a file where a folder should be\n");
  setenv("XDG_DATA_HOME", (dir.path() + "/blocked").c_str(), 1);
  EXPECT_FALSE(appwork::rememberMessage("lost?", &error));
  EXPECT_FALSE(error.empty());
  unsetenv("XDG_DATA_HOME");
}
