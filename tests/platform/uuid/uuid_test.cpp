#include "platform/uuid/uuid.h"

#include <gtest/gtest.h>

#include <set>

TEST(UUID, IsCanonicalUpperCaseVersion4AndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = uuid::UUIDString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_TRUE(uuid::isUUIDString(text)) << text;
    for (char c : text) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << text;
    EXPECT_EQ(text[14], '4') << text;                                     // version 4: random
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;  // RFC 4122 variant
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUID, RecognisesOnlyTheCanonicalForm) {
  EXPECT_TRUE(uuid::isUUIDString("0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5B"));
  EXPECT_TRUE(uuid::isUUIDString("0f8a3c2e-1b4d-4e6f-8a9b-0c1d2e3f4a5b"));
  for (const char* bad : {"", "0F8A3C2E1B4D4E6F8A9B0C1D2E3F4A5B", "0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5",
                          "0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5BC", "{0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5}",
                          "0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5G", "0F8A3C2E-1B4D4-E6F-8A9B-0C1D2E3F4A5B",
                          "../../../../../../../../etc/passwdxx", "0F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A/B",
                          " F8A3C2E-1B4D-4E6F-8A9B-0C1D2E3F4A5B"})
    EXPECT_FALSE(uuid::isUUIDString(bad)) << bad;
}
