// Asking the application for fresh bookmarks: the request file, the
// notification, and the rule of one request per working copy and generation.
#include <atomic>
#include <filesystem>

#include "platform/dispatch/dispatch.h"
#include "platform/notifications/notifications.h"
#include "registry_fixture.h"

using namespace std::chrono_literals;

namespace {

// Counts needBookmarks notifications. settle() waits until every
// notification posted before it has been seen: it posts a marker of its own
// and waits for it, and signals from one sender arrive in order.
class NeedBookmarks {
 public:
  NeedBookmarks()
      : observation_(notifications::observe("com.korvaneapp.finderSync.needBookmarks", [this] { ++count_; })),
        marker_(notifications::observe("com.korvaneapp.test.marker", [this] { ++markers_; })) {
    EXPECT_TRUE(observation_ && marker_);
  }
  int settle() {
    int expected = markers_ + 1;
    EXPECT_TRUE(notifications::post("com.korvaneapp.test.marker"));
    EXPECT_TRUE(dispatch::runMainUntil([&] { return markers_ == expected; }, 10s));
    return count_;
  }

 private:
  int count_ = 0;
  int markers_ = 0;
  std::unique_ptr<notifications::Observation> observation_;
  std::unique_ptr<notifications::Observation> marker_;
};

plist::Data unreadable() { return plist::Data{'x', 'y', 'z'}; }

TEST_F(RegistryTest, AnUnreachableWorkingCopyIsAskedForOncePerGeneration) {
  NeedBookmarks posted;
  std::string gone = folder("wc-gone");
  plist::Data bookmark = appBookmark(gone);
  std::filesystem::remove(gone);
  writeManifest(7, {entry("X", bookmark), entry("Y", unreadable())});
  RootChanges changes;
  auto registry = makeRegistry(changes);

  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 1);
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"X", 7}, {"Y", 7}}));
  EXPECT_TRUE(logged("Asking the app for fresh bookmarks for 2 working copies")) << logText();
  EXPECT_TRUE(registry->resolvedRootURLs().empty());

  // Same generation again: nothing new is asked, the file stays as it is.
  std::filesystem::remove(recoveryFile());
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 1);
  EXPECT_FALSE(recoveryRequest());

  // A greater generation asks again; a smaller one does not.
  writeManifest(8, {entry("X", bookmark)});
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 2);
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"X", 8}}));
  writeManifest(5, {entry("X", bookmark)});
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 2);

  // A new process (a new registry) asks again for the generation it finds.
  writeManifest(8, {entry("X", bookmark)});
  auto fresh = makeRegistry(changes);
  fresh->reloadManifest();
  EXPECT_EQ(posted.settle(), 3);
}

TEST_F(RegistryTest, NothingIsAskedWithoutAGeneration) {
  NeedBookmarks posted;
  writeManifest(std::nullopt, {entry("X", unreadable())});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 0);
  EXPECT_FALSE(std::filesystem::exists(recoveryFile()));
  // A generation that is not an integer counts as none.
  writeManifestValue(plist::Value(
      plist::Dictionary{{"generation", "9"}, {"entries", plist::Array{entry("X", unreadable())}}}));
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 0);
}

TEST_F(RegistryTest, RequestsMergeIntoTheFileAndAreEachAnnounced) {
  NeedBookmarks posted;
  testsupport::makeDirs(groupDir());
  // Left by an earlier process: kept.
  ASSERT_TRUE(plist::writeFileAtomically(recoveryFile(), plist::Value(plist::Dictionary{{"Earlier", 2}})));
  auto registry = KRVFinderSyncWorkingCopies::create();

  registry->p_requestRecoveryForWorkingCopies({{"A", 3}, {"B", 3}});
  EXPECT_EQ(posted.settle(), 1);
  registry->p_requestRecoveryForWorkingCopies({{"B", 4}});
  EXPECT_EQ(posted.settle(), 2);
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"Earlier", 2}, {"A", 3}, {"B", 4}}));

  // What was requested now counts for the generation rule of reloads.
  writeManifest(4, {entry("A", unreadable()), entry("B", unreadable())});
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 3);
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"Earlier", 2}, {"A", 4}, {"B", 4}}));
}

TEST_F(RegistryTest, ARequestFileThatIsNotADictionaryIsReplaced) {
  NeedBookmarks posted;
  auto registry = KRVFinderSyncWorkingCopies::create();
  // The container folder does not exist yet: the request makes it.
  EXPECT_FALSE(std::filesystem::exists(groupDir()));
  registry->p_requestRecoveryForWorkingCopies({{"A", 1}});
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"A", 1}}));

  for (const std::string& junk : {std::string("garbage"), plist::toXML(plist::Value(plist::Array{1, 2})).value()}) {
    testsupport::writeFile(recoveryFile(), junk);
    registry->p_requestRecoveryForWorkingCopies({{"B", 5}});
    EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"B", 5}})) << junk;
  }
  EXPECT_EQ(posted.settle(), 3);
}

// A request that could not be written was never made: the next reload asks again.
TEST_F(RegistryTest, ARequestNotWrittenIsAskedAgain) {
  NeedBookmarks posted;
  std::string gone = folder("wc-gone");
  plist::Data bookmark = appBookmark(gone);
  std::filesystem::remove(gone);
  writeManifest(3, {entry("X", bookmark)});
  testsupport::makeDirs(recoveryFile() + "/in-the-way");
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();
  EXPECT_NE(logText().find("Could not write the recovery request: "), std::string::npos) << logText();
  std::filesystem::remove_all(recoveryFile());
  registry->reloadManifest();
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"X", 3}}));
  EXPECT_EQ(posted.settle(), 2);
}

// A binary manifest may name a working copy with a control character, which
// no XML file carries: that entry alone is left out of the extension's
// bookmarks and of the recovery request, and every other one is stored.
TEST_F(RegistryTest, AnIdentifierXMLCannotCarrySpoilsNoOtherEntry) {
  NeedBookmarks posted;
  std::string usable = folder("usable"), gone = folder("wc-gone");
  plist::Data goneBookmark = appBookmark(gone);
  std::filesystem::remove(gone);
  // Written as XML with character references, which plistutil turns into
  // the control characters themselves in the binary manifest.
  std::string xml = plist::toXML(plist::Value(plist::Dictionary{
                                     {"generation", 3},
                                     {"entries", plist::Array{entry("A", appBookmark(usable)),
                                                              entry("A-BAD", appBookmark(usable)),
                                                              entry("Y", goneBookmark), entry("Y-BAD", goneBookmark)}}}))
                        .value();
  for (auto [name, id] : {std::pair{"A-BAD", "A&#1;"}, std::pair{"Y-BAD", "Y&#2;"}}) xml.replace(xml.find(name), 5, id);
  testsupport::makeDirs(groupDir());
  testsupport::writeFile(base() + "/manifest.xml", xml);
  testsupport::runOK({"plistutil", "-i", base() + "/manifest.xml", "-o", groupDir() + "/Manifest.plist", "-f", "bin"});
  RootChanges changes;
  auto registry = makeRegistry(changes);
  registry->reloadManifest();

  EXPECT_EQ(registry->resolvedRootURLs(), urls({usable}));
  auto own = storedOwnBookmarks();
  EXPECT_EQ(own.size(), 1u);
  EXPECT_TRUE(own.contains("A"));
  EXPECT_EQ(recoveryRequest(), (plist::Dictionary{{"Y", 3}}));
  EXPECT_EQ(posted.settle(), 1);
  const std::string cannot = ": its identifier holds a character a property list in XML cannot carry";
  EXPECT_TRUE(logged("Left working copy A\\x01 out of the extension's own bookmarks" + cannot)) << logText();
  EXPECT_TRUE(logged("Left working copy Y\\x02 out of the recovery request" + cannot)) << logText();
  // The entry left out is not asked for again in the same generation.
  registry->reloadManifest();
  EXPECT_EQ(posted.settle(), 1);
}

}  // namespace
