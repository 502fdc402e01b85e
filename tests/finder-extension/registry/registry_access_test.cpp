// Folders the process may not use. Root passes every access() check, so
// these tests run themselves again as the unprivileged user nobody (uid
// 65534) through setpriv, in a folder handed over to that user.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/bookmarks/bookmarks.h"
#include "registry_fixture.h"

namespace {

bool inChild() { return std::getenv("KRV_REGISTRY_CHILD_DIR") != nullptr; }

// Runs the current test in a child process as nobody; its result is this test's.
void runCurrentTestAsNobody() {
  testsupport::TempDir dir;
  // A copy of this program in the handed-over folder: the build folder
  // itself need not be reachable by nobody.
  std::string program = dir / "registry_test";
  std::filesystem::copy_file(testsupport::binDir() + "/registry_test", program);
  testsupport::runOK({"chown", "-R", "65534:65534", dir.path()});
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  auto child = testsupport::run(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program,
       std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
      {{"KRV_REGISTRY_CHILD_DIR", dir.path()}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_NE(child.out.find("[  PASSED  ] 1 test."), std::string::npos) << child.out << child.err;
}

using RegistryAccessTest = RegistryTest;

TEST_F(RegistryAccessTest, TheProbeWantsReadWriteAndSearch) {
  if (!inChild()) return runCurrentTestAsNobody();
  ASSERT_NE(getuid(), 0u);
  std::string readOnly = folder("read-only"), unsearchable = folder("unsearchable"), usable = folder("usable");
  ASSERT_EQ(chmod(readOnly.c_str(), 0555), 0);
  ASSERT_EQ(chmod(unsearchable.c_str(), 0600), 0);
  auto registry = KRVFinderSyncWorkingCopies::create();

  EXPECT_TRUE(registry->p_probeAccessAtURL(url(usable)));
  EXPECT_FALSE(registry->p_probeAccessAtURL(url(readOnly)));
  EXPECT_FALSE(registry->p_probeAccessAtURL(url(unsearchable)));
  EXPECT_FALSE(registry->p_probeAccessAtURL(url(base() + "/missing")));
  EXPECT_TRUE(logged("No read-write access to working copy " + readOnly + ": Permission denied")) << logText();
  EXPECT_TRUE(logged("No read-write access to working copy " + unsearchable + ": Permission denied")) << logText();
  EXPECT_TRUE(logged("No read-write access to working copy " + base() + "/missing: No such file or directory"))
      << logText();
}

TEST_F(RegistryAccessTest, TheAppsBookmarkWinsOverAnOwnBookmarkOfAFolderWithoutAccess) {
  if (!inChild()) return runCurrentTestAsNobody();
  std::string readOnly = folder("read-only"), usable = folder("usable");
  storeOwnBookmarks({{"A", ownBookmark(readOnly)}, {"B", ownBookmark(readOnly)}});
  ASSERT_EQ(chmod(readOnly.c_str(), 0555), 0);
  // A: the application's bookmark leads to a usable folder. B: it leads to
  // the same unusable folder, so B is asked for.
  writeManifest(2, {entry("A", appBookmark(usable)), entry("B", appBookmark(readOnly))});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();

  EXPECT_EQ(registry->resolvedRootURLs(), urls({usable}));
  auto own = storedOwnBookmarks();
  auto a = bookmarks::resolve(*own.at("A").asData(), bookmarks::kResolutionWithSecurityScope);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->url.path(), usable);
  EXPECT_EQ(own.at("B"), plist::Value(ownBookmark(readOnly))) << "a failed access keeps the bookmark it had";
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"B", 2}}));
}

}  // namespace
