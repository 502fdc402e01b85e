// Reloading the manifest: which roots the registry reaches, what it stores
// of its own, and when it tells the principal.
#include <filesystem>

#include "platform/bookmarks/bookmarks.h"
#include "platform/dispatch/dispatch.h"
#include "registry_fixture.h"

using namespace std::chrono_literals;

namespace {

TEST_F(RegistryTest, TwoAccessibleRootsGiveOneCallbackOnTheMainQueueAndOwnBookmarksForBoth) {
  std::string a = folder("wc-a"), b = folder("wc-b");
  // A is reached through an own bookmark from an earlier run, B only
  // through the application's bookmark.
  storeOwnBookmarks({{"A", ownBookmark(a)}});
  writeManifest(1, {entry("A", appBookmark(a)), entry("B", appBookmark(b))});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  EXPECT_TRUE(registry->resolvedRootURLs().empty());

  registry->reloadManifest();
  EXPECT_EQ(registry->resolvedRootURLs(), urls({a, b}));
  EXPECT_TRUE(changes.calls->empty()) << "the callback must not run inside reloadManifest";
  drainMainQueue();
  ASSERT_EQ(changes.calls->size(), 1u);
  EXPECT_EQ(changes.calls->front(), urls({a, b}));
  EXPECT_EQ(*changes.offMain, 0);

  // B's own bookmark was minted with a security scope and leads to B.
  auto own = storedOwnBookmarks();
  ASSERT_EQ(own.size(), 2u);
  auto resolved = bookmarks::resolve(*own.at("B").asData(), bookmarks::kResolutionWithSecurityScope);
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->url.path(), b);
  EXPECT_TRUE(resolved->securityScoped);
  EXPECT_EQ(own.at("A"), plist::Value(ownBookmark(a))) << "a good own bookmark is kept as it was";
}

TEST_F(RegistryTest, ReloadingAnUnchangedManifestChangesNothing) {
  std::string a = folder("wc-a");
  writeManifest(3, {entry("A", appBookmark(a))});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();
  drainMainQueue();
  ASSERT_EQ(changes.calls->size(), 1u);
  ino_t before = defaultsInode();
  ASSERT_NE(before, 0u);

  registry->reloadManifest();
  drainMainQueue();
  EXPECT_EQ(changes.calls->size(), 1u);
  EXPECT_EQ(defaultsInode(), before) << "the defaults file was rewritten";
  EXPECT_EQ(registry->resolvedRootURLs(), urls({a}));
}

TEST_F(RegistryTest, AStaleOwnBookmarkIsStillUsedAndReplacedByAFreshOne) {
  std::string a = folder("wc-a");
  plist::Data old = ownBookmark(a);
  storeOwnBookmarks({{"A", old}});
  // The folder is replaced by another at the same path.
  std::filesystem::rename(a, base() + "/wc-a-old");
  folder("wc-a");
  writeManifest(1, {entry("A", std::nullopt)});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();

  EXPECT_EQ(registry->resolvedRootURLs(), urls({a}));
  plist::Value stored = storedOwnBookmarks().at("A");
  EXPECT_NE(stored, plist::Value(old));
  auto resolved = bookmarks::resolve(*stored.asData(), bookmarks::kResolutionWithSecurityScope);
  ASSERT_TRUE(resolved);
  EXPECT_FALSE(resolved->stale);
}

TEST_F(RegistryTest, TheAppsBookmarkWinsWhenTheOwnOneLeadsNowhere) {
  std::string moved = folder("wc-a");
  plist::Data own = ownBookmark(moved);
  std::string now = base() + "/renamed";
  std::filesystem::rename(moved, now);
  storeOwnBookmarks({{"A", own}});
  writeManifest(1, {entry("A", appBookmark(now))});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();

  EXPECT_EQ(registry->resolvedRootURLs(), urls({now}));
  EXPECT_TRUE(logged("Could not resolve own scoped bookmark: The bookmarked item \"" + moved +
                     "\" cannot be found: No such file or directory"))
      << logText();
  auto resolved = bookmarks::resolve(*storedOwnBookmarks().at("A").asData(), bookmarks::kResolutionWithSecurityScope);
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->url.path(), now);
}

TEST_F(RegistryTest, OwnBookmarksArePrunedOnlyByAManifestThatHasEntries) {
  std::string a = folder("wc-a"), b = folder("wc-b");
  storeOwnBookmarks({{"A", ownBookmark(a)}, {"B", ownBookmark(b)}});
  RootChanges changes;
  auto registry = makeRegistry(changes);

  // No "entries": nothing pruned, no roots.
  writeManifestValue(plist::Value(plist::Dictionary{{"generation", 4}}));
  registry->reloadManifest();
  EXPECT_EQ(storedOwnBookmarks().size(), 2u);

  writeManifest(5, {entry("A", std::nullopt)});
  registry->reloadManifest();
  EXPECT_EQ(registry->resolvedRootURLs(), urls({a}));
  auto own = storedOwnBookmarks();
  EXPECT_TRUE(own.contains("A"));
  EXPECT_FALSE(own.contains("B"));

  // The manifest goes away: roots empty (one more callback), bookmarks stay.
  std::filesystem::remove(groupDir() + "/Manifest.plist");
  registry->reloadManifest();
  EXPECT_TRUE(registry->resolvedRootURLs().empty());
  EXPECT_TRUE(storedOwnBookmarks().contains("A"));
  EXPECT_TRUE(logged("No working-copy manifest (Manifest.plist): cannot open " + groupDir() +
                     "/Manifest.plist: No such file or directory"))
      << logText();
  drainMainQueue();
  ASSERT_EQ(changes.calls->size(), 2u);
  EXPECT_EQ(changes.calls->at(0), urls({a}));
  EXPECT_TRUE(changes.calls->at(1).empty());

  // An empty "entries" array removes every own bookmark.
  writeManifest(6, {});
  registry->reloadManifest();
  EXPECT_TRUE(storedOwnBookmarks().empty());
  EXPECT_TRUE(std::filesystem::exists(defaultsFile()));
}

TEST_F(RegistryTest, BadManifestValuesAreSkippedAndTheRestStillCounts) {
  std::string good = folder("wc-good"), unnamed = folder("wc-unnamed");
  plist::Data garbage{'n', 'o', 't', ' ', 'a', ' ', 'b', 'o', 'o', 'k', 'm', 'a', 'r', 'k'};
  writeManifest(std::nullopt, {
                                  plist::Value("not a dictionary"),
                                  plist::Value(plist::Dictionary{{"wcID", 42}, {"bookmark", appBookmark(good)}}),
                                  plist::Value(plist::Dictionary{{"bookmark", appBookmark(unnamed)}}),
                                  plist::Value(plist::Dictionary{{"wcID", "text"}, {"bookmark", "a string"}}),
                                  entry("garbage", garbage),
                                  entry("good", appBookmark(good)),
                              });
  // The defaults file is corrupt too: it reads as empty and is replaced.
  testsupport::makeDirs(base() + "/config");
  testsupport::writeFile(defaultsFile(), "\x00\x01garbage");
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();

  EXPECT_EQ(registry->resolvedRootURLs(), urls({good}));
  auto own = storedOwnBookmarks();
  EXPECT_EQ(own.size(), 1u);
  EXPECT_TRUE(own.contains("good"));
  EXPECT_TRUE(logged("Could not resolve the app's bookmark: The bookmark data cannot be read: the data is not a "
                     "property list"))
      << logText();

  // Manifests that cannot be read at all give no roots and no crash.
  for (const std::string& junk : {std::string("<?xml garbage"), plist::toXML(plist::Value(plist::Array{1})).value(),
                                  plist::toXML(plist::Value(plist::Dictionary{{"entries", "not an array"}})).value()}) {
    testsupport::writeFile(groupDir() + "/Manifest.plist", junk);
    registry->reloadManifest();
    EXPECT_TRUE(registry->resolvedRootURLs().empty()) << junk;
  }
  // "entries" of the wrong type does not count as present: nothing pruned.
  EXPECT_TRUE(storedOwnBookmarks().contains("good"));
}

TEST_F(RegistryTest, NoContainerMeansNoManifestAndAnErrorInTheLog) {
  setenv("XDG_DATA_HOME", "relative", 1);
  setenv("HOME", "relative", 1);
  RootChanges changes;
  auto registry = makeRegistry(changes);
  EXPECT_FALSE(registry->p_groupDirectoryURL());
  EXPECT_FALSE(registry->p_sharedConfigDirectoryPath());
  registry->reloadManifest();
  EXPECT_TRUE(registry->resolvedRootURLs().empty());
  EXPECT_TRUE(logged("No app group container for 7QH2MXR5TB.com.korvaneapp.shared")) << logText();
}

TEST_F(RegistryTest, TheSharedConfigDirectoryCountsOnlyWithAConfigFile) {
  auto registry = KRVFinderSyncWorkingCopies::create();
  testsupport::makeDirs(groupDir() + "/SubversionConfig");
  EXPECT_FALSE(registry->p_sharedConfigDirectoryPath());
  testsupport::writeFile(groupDir() + "/SubversionConfig/config", "[miscellany]\n");
  EXPECT_EQ(registry->p_sharedConfigDirectoryPath(), groupDir() + "/SubversionConfig");
}

TEST_F(RegistryTest, AManifestUpdatePostedByAnotherProcessTriggersAReload) {
  std::string a = folder("wc-a");
  RootChanges changes;
  auto registry = makeRegistry(changes);
  writeManifest(1, {entry("A", appBookmark(a))});
  testsupport::runOK({"gdbus", "emit", "--session", "--object-path", "/com/korvaneapp/DistributedNotifications",
                      "--signal", "com.korvaneapp.DistributedNotifications.Posted",
                      "'com.korvaneapp.finderSync.manifestUpdated'", "''"});
  ASSERT_TRUE(dispatch::runMainUntil([&] { return changes.calls->size() == 1; }, 10s)) << logText();
  EXPECT_EQ(changes.calls->front(), urls({a}));
  EXPECT_EQ(registry->resolvedRootURLs(), urls({a}));
}

TEST_F(RegistryTest, ARegistryThatIsGoneIgnoresLaterNotifications) {
  RootChanges changes;
  std::weak_ptr<KRVFinderSyncWorkingCopies> weak;
  {
    auto registry = makeRegistry(changes);
    weak = registry;
  }
  EXPECT_TRUE(weak.expired()) << "the notification observation must not keep the registry alive";
  writeManifest(1, {entry("A", appBookmark(folder("wc-a")))});
  testsupport::runOK({"gdbus", "emit", "--session", "--object-path", "/com/korvaneapp/DistributedNotifications",
                      "--signal", "com.korvaneapp.DistributedNotifications.Posted",
                      "'com.korvaneapp.finderSync.manifestUpdated'", "''"});
  // A live registry sees the same signal; by then the dead one would have too.
  RootChanges liveChanges;
  auto live = makeRegistry(liveChanges);
  testsupport::runOK({"gdbus", "emit", "--session", "--object-path", "/com/korvaneapp/DistributedNotifications",
                      "--signal", "com.korvaneapp.DistributedNotifications.Posted",
                      "'com.korvaneapp.finderSync.manifestUpdated'", "''"});
  ASSERT_TRUE(dispatch::runMainUntil([&] { return liveChanges.calls->size() == 1; }, 10s));
  EXPECT_TRUE(changes.calls->empty());
}

}  // namespace
