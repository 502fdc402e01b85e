#include "platform/defaults/defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/support.h"

namespace {

// Points the store at a fresh folder for one test.
class Defaults : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1); }
  std::string file() const { return dir / "config/com.korvaneapp.v3.finder-extension.plist"; }
  testsupport::TempDir dir;
};

TEST_F(Defaults, StoresValuesInAPrivatePropertyListThatSurvivesTheProcess) {
  EXPECT_FALSE(defaults::objectForKey("KRVFinderSyncScopedBookmarks"));
  plist::Dictionary bookmarks{{"wc-1", plist::Data{1, 2, 3}}};
  ASSERT_TRUE(defaults::setObjectForKey(plist::Value(bookmarks), "KRVFinderSyncScopedBookmarks"));
  ASSERT_TRUE(defaults::setObjectForKey(plist::Value("x"), "Other"));

  ASSERT_EQ(defaults::storePath(), file());
  struct stat st;
  ASSERT_EQ(stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // What another process would read: the file itself.
  auto onDisk = plist::readFile(file());
  ASSERT_TRUE(onDisk && onDisk->asDictionary());
  EXPECT_EQ(*plist::lookup(onDisk->asDictionary(), "KRVFinderSyncScopedBookmarks"), plist::Value(bookmarks));
  EXPECT_EQ(defaults::objectForKey("KRVFinderSyncScopedBookmarks"), plist::Value(bookmarks));

  ASSERT_TRUE(defaults::removeObjectForKey("Other"));
  EXPECT_FALSE(defaults::objectForKey("Other"));
  EXPECT_TRUE(defaults::objectForKey("KRVFinderSyncScopedBookmarks"));
}

TEST_F(Defaults, CorruptFileReadsAsEmptyAndIsReplacedWholeOnTheNextWrite) {
  testsupport::makeDirs(dir / "config");
  for (const std::string& junk : {std::string("not a plist \x01\x02"), plist::toXML(plist::Value(plist::Array{1, 2})).value()}) {
    testsupport::writeFile(file(), junk);
    EXPECT_FALSE(defaults::objectForKey("Key"));
    ASSERT_TRUE(defaults::setObjectForKey(plist::Value(7), "Key"));
    auto onDisk = plist::readFile(file());
    ASSERT_TRUE(onDisk && onDisk->asDictionary());
    EXPECT_EQ(*onDisk->asDictionary(), (plist::Dictionary{{"Key", 7}}));
  }
}

TEST_F(Defaults, NoStoreWithoutAnAbsoluteConfigHome) {
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", dir.path().c_str(), 1);
  EXPECT_EQ(defaults::storePath(), dir / ".config/com.korvaneapp.v3.finder-extension.plist");
  unsetenv("HOME");
  EXPECT_FALSE(defaults::storePath());
  std::string error;
  EXPECT_FALSE(defaults::setObjectForKey(plist::Value(1), "Key", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(defaults::objectForKey("Key"));
}

}  // namespace

TEST_F(Defaults, MissingParentsOfTheConfigHomeAreCreatedPrivate) {
  setenv("XDG_CONFIG_HOME", (dir / "new/home/.config").c_str(), 1);
  ASSERT_TRUE(defaults::setObjectForKey(plist::Value(1), "K"));
  EXPECT_EQ(defaults::objectForKey("K"), plist::Value(1));
  struct stat st;
  ASSERT_EQ(stat((dir / "new/home").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}
