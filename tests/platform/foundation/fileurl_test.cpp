#include "platform/foundation/fileurl.h"

#include <gtest/gtest.h>

#include <cstdlib>

using foundation::FileURL;
using foundation::standardizingPath;

TEST(StandardizingPath, FoldsDotsSlashesAndTrailingSeparators) {
  EXPECT_EQ(standardizingPath("/w/a/."), "/w/a");
  EXPECT_EQ(standardizingPath("/w//a///b/"), "/w/a/b");
  EXPECT_EQ(standardizingPath("/w/a/../b"), "/w/b");
  EXPECT_EQ(standardizingPath("/w/a/b/../../c/./d/.."), "/w/c");
  EXPECT_EQ(standardizingPath("/.."), "/");
  EXPECT_EQ(standardizingPath("/../x"), "/x");
  EXPECT_EQ(standardizingPath("/"), "/");
  EXPECT_EQ(standardizingPath("//"), "/");
  EXPECT_EQ(standardizingPath(""), "");
  EXPECT_EQ(standardizingPath("a/../../b"), "../b");
  EXPECT_EQ(standardizingPath("/w/.svnignore"), "/w/.svnignore");
  EXPECT_EQ(standardizingPath("/w/..."), "/w/...");
}

TEST(StandardizingPath, ExpandsTheTilde) {
  setenv("HOME", "/home/tester", 1);
  EXPECT_EQ(standardizingPath("~"), "/home/tester");
  EXPECT_EQ(standardizingPath("~/wc/./x/"), "/home/tester/wc/x");
  EXPECT_EQ(standardizingPath("~root/x"), "/root/x");
  EXPECT_EQ(standardizingPath("~no-such-user-here/x"), "~no-such-user-here/x");
  EXPECT_EQ(standardizingPath("/a/~/b"), "/a/~/b");
}

TEST(FileURL, PathDropsTrailingSlashButKeepsTheRest) {
  EXPECT_EQ(FileURL::fileURLWithPath("/w/a/").path(), "/w/a");
  EXPECT_EQ(FileURL::fileURLWithPath("/").path(), "/");
  EXPECT_EQ(FileURL::fileURLWithPath("/w/./a").path(), "/w/./a");
  EXPECT_EQ(FileURL::fileURLWithPath("/w/a").appendingPathComponent(".").path(), "/w/a/.");
  EXPECT_EQ(FileURL::fileURLWithPath("/w/a").appendingPathComponent(".").standardizedPath(), "/w/a");
}

TEST(FileURL, DeletingLastPathComponentWalksUpToTheRootAndStops) {
  auto url = FileURL::fileURLWithPath("/w/a/b.txt");
  EXPECT_EQ(url.deletingLastPathComponent()->path(), "/w/a");
  EXPECT_EQ(FileURL::fileURLWithPath("/w").deletingLastPathComponent()->path(), "/");
  EXPECT_FALSE(FileURL::fileURLWithPath("/").deletingLastPathComponent().has_value());
  EXPECT_FALSE(FileURL().deletingLastPathComponent().has_value());
}

TEST(FileURL, ComponentsExtensionAndURLText) {
  auto app = FileURL::fileURLWithPath("/opt/Korvane.APP/Contents/PlugIns/finder.appex");
  EXPECT_EQ(app.lastPathComponent(), "finder.appex");
  EXPECT_EQ(app.pathExtension(), "appex");
  EXPECT_EQ(FileURL::fileURLWithPath("/opt/Korvane.APP").pathExtension(), "APP");
  EXPECT_EQ(FileURL::fileURLWithPath("/opt/.hidden").pathExtension(), "");
  EXPECT_EQ(FileURL::fileURLWithPath("/w/a b/ü#").absoluteString(), "file:///w/a%20b/%C3%BC%23");
}

TEST(FileURL, EqualityAndOrderFollowThePath) {
  foundation::URLSet set{FileURL::fileURLWithPath("/b"), FileURL::fileURLWithPath("/a/"),
                         FileURL::fileURLWithPath("/a")};
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(set.begin()->path(), "/a");
}
