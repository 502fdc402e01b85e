#include "platform/bookmarks/bookmarks.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/support.h"

using bookmarks::bookmarkData;
using bookmarks::kCreationWithSecurityScope;
using bookmarks::kResolutionWithSecurityScope;
using bookmarks::resolve;
using foundation::FileURL;

namespace {

plist::Data bytes(const std::string& text) { return plist::Data(text.begin(), text.end()); }

TEST(Bookmarks, ResolveToTheSameFolderAndCarryTheScopeOnlyWhenBothSidesAskForIt) {
  testsupport::TempDir dir;
  testsupport::makeDirs(dir / "wc");
  auto url = FileURL::fileURLWithPath(dir / "wc");

  auto scoped = bookmarkData(url, kCreationWithSecurityScope);
  auto plain = bookmarkData(url, 0);
  ASSERT_TRUE(scoped && plain);

  auto r = resolve(*scoped, kResolutionWithSecurityScope);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->url, url);
  EXPECT_FALSE(r->stale);
  EXPECT_TRUE(r->securityScoped);
  EXPECT_FALSE(resolve(*scoped, 0)->securityScoped);
  EXPECT_FALSE(resolve(*plain, kResolutionWithSecurityScope)->securityScoped);
  EXPECT_TRUE(bookmarks::startAccessingSecurityScopedResource(r->url));
}

TEST(Bookmarks, AFolderReplacedAtTheSamePathResolvesStale) {
  testsupport::TempDir dir;
  testsupport::makeDirs(dir / "wc");
  auto data = bookmarkData(FileURL::fileURLWithPath(dir / "wc"), kCreationWithSecurityScope);
  ASSERT_TRUE(data);
  // Keep the old folder alive under another name so its inode is not reused.
  std::filesystem::rename(dir / "wc", dir / "old");
  testsupport::makeDirs(dir / "wc");

  auto r = resolve(*data, kResolutionWithSecurityScope);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->stale);
  EXPECT_EQ(r->url.path(), dir / "wc");
}

TEST(Bookmarks, MissingItemsAndGarbageGiveNothingWithAMessage) {
  testsupport::TempDir dir;
  std::string error;
  EXPECT_FALSE(bookmarkData(FileURL::fileURLWithPath(dir / "absent"), 0, &error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_FALSE(bookmarkData(FileURL::fileURLWithPath("relative/wc"), 0, &error));
  EXPECT_NE(error.find("not absolute"), std::string::npos) << error;

  testsupport::makeDirs(dir / "wc");
  auto data = bookmarkData(FileURL::fileURLWithPath(dir / "wc"), 0);
  ASSERT_TRUE(data);
  std::filesystem::remove(dir / "wc");
  EXPECT_FALSE(resolve(*data, 0, &error));
  EXPECT_EQ(error, "The bookmarked item \"" + dir / "wc" + "\" cannot be found: No such file or directory");

  struct Case {
    plist::Data data;
    std::string message;
  };
  auto dict = [](plist::Dictionary d) {
    std::string xml = plist::toXML(plist::Value(std::move(d))).value();
    return plist::Data(xml.begin(), xml.end());
  };
  plist::Dictionary good{{"kind", "com.korvaneapp.bookmark"}, {"version", 1}, {"path", "/"},
                         {"device", 1},                       {"inode", 2},  {"securityScope", false}};
  auto without = [&](const std::string& key, plist::Value replacement = plist::Value()) {
    plist::Dictionary d = good;
    d.insert_or_assign(key, replacement);
    return dict(d);
  };
  const Case cases[] = {
      {{}, "cannot be read"},
      {bytes("garbage \xff\xfe"), "cannot be read: the data is not a property list"},
      {dict({}), "not a bookmark"},
      {without("kind", "com.example.other"), "not a bookmark"},
      {without("version", 2), "not a bookmark"},
      {without("path", plist::Data{1}), "corrupt"},
      {without("path", "relative"), "corrupt"},
      {without("inode", "12"), "corrupt"},
      {without("securityScope", 1), "corrupt"},
  };
  for (const auto& c : cases) {
    error.clear();
    EXPECT_FALSE(resolve(c.data, kResolutionWithSecurityScope, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  // The same dictionary with every field right does resolve: the cases above
  // fail for the field they change.
  EXPECT_TRUE(resolve(dict(good), 0));
}

}  // namespace
