#include "platform/cfstring/cfstring.h"

#include <gtest/gtest.h>

using cfstring::CFStringCreateWithBytes;
using cfstring::CFURLCopyFileSystemPath;
using namespace std::string_literals;

TEST(CFString, KeepsValidUTF8ByteForByte) {
  for (std::string text : {""s, "com.korvaneapp.v3"s, "Stra\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"s, "\xf4\x8f\xbf\xbf"s}) {
    auto string = CFStringCreateWithBytes(text);
    ASSERT_TRUE(string) << text;
    EXPECT_EQ(*string, text);
  }
}

TEST(CFString, RefusesBytesThatAreNotUTF8) {
  const std::string invalid[] = {
      "\xff"s,                  // never a UTF-8 byte
      "ab\xc3"s,                // sequence cut short
      "\xc0\xaf"s,              // overlong "/"
      "\xed\xa0\x80"s,          // UTF-16 surrogate
      "\xf4\x90\x80\x80"s,      // above U+10FFFF
      "a\0b"s,                  // NUL inside the text
      "\x80 continuation"s,     // continuation byte first
  };
  for (const std::string& bytes : invalid) EXPECT_FALSE(CFStringCreateWithBytes(bytes)) << testing::PrintToString(bytes);
}

TEST(CFString, FileSystemPathNeedsANonEmptyUTF8Path) {
  EXPECT_EQ(CFURLCopyFileSystemPath(foundation::FileURL::fileURLWithPath("/usr/share/applications/x.desktop")),
            "/usr/share/applications/x.desktop");
  EXPECT_FALSE(CFURLCopyFileSystemPath(foundation::FileURL()));
  EXPECT_FALSE(CFURLCopyFileSystemPath(foundation::FileURL::fileURLWithPath("/tmp/\xfe/x.desktop")));
}
