// The file-manager-neutral rules of the client core: the path form the
// modules hand it, and which menu they offer for what.
#include <gtest/gtest.h>

#include "file-managers/core/menurequest.h"
#include "file-managers/core/paths.h"

namespace {

using filemanagers::MenuRequest;
using filemanagers::menuForFolder;
using filemanagers::menuForItems;
using filemanagers::standardLocalPath;

TEST(CorePaths, StandardFormOfLocalPaths) {
  EXPECT_EQ(standardLocalPath("/w//a/./b/"), "/w/a/b");
  EXPECT_EQ(standardLocalPath("/w/a/../b/.."), "/w");
  EXPECT_EQ(standardLocalPath("/../x"), "/x");
  EXPECT_EQ(standardLocalPath("//"), "/");
  EXPECT_EQ(standardLocalPath("/w/...x/~"), "/w/...x/~");
  EXPECT_EQ(standardLocalPath("w/a"), std::nullopt);
  EXPECT_EQ(standardLocalPath("~/a"), std::nullopt);
  EXPECT_EQ(standardLocalPath(""), std::nullopt);
}

TEST(CoreMenus, OfferedOnlyInsideTheWatchedFoldersAboutTheFolderShown) {
  const std::vector<std::string> watched{"/w", "/v/wc"};
  EXPECT_EQ(menuForItems({"/w/a", "/w/b"}, watched), (MenuRequest{0, {"/w/a", "/w/b"}, "/w"}));
  // Items of expanded subfolders: the folder shown holds them all.
  EXPECT_EQ(menuForItems({"/w/s/t/a", "/w/s/b", "/w/s/t/u/c"}, watched)->targeted, "/w/s");
  EXPECT_EQ(menuForItems({"/w/a", "/v/wc/b"}, watched)->targeted, "/");
  // A working copy's own folder may be chosen from its parent.
  EXPECT_EQ(menuForItems({"/v/wc"}, watched), (MenuRequest{0, {"/v/wc"}, "/v"}));
  EXPECT_EQ(menuForItems({"/w/a", "/wx/b"}, watched), std::nullopt);
  EXPECT_EQ(menuForItems({"/v"}, watched), std::nullopt);
  EXPECT_EQ(menuForItems({}, watched), std::nullopt);

  EXPECT_EQ(menuForFolder("/v/wc/sub", watched), (MenuRequest{1, {}, "/v/wc/sub"}));
  EXPECT_EQ(menuForFolder("/v", watched), std::nullopt);
  EXPECT_EQ(menuForFolder("/w/a", {}), std::nullopt);
}

}  // namespace
