// The badge rules on their own: the status table, the ranking, root
// containment, and propagation to folders checked against its definition.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "finder-extension/registry/KRVBadgeComputation.h"
#include "finder-extension/registry/KRVBadgeIdentifiers.h"

namespace {

std::optional<std::string> badgeFor(svn_wc_status_kind kind, bool conflicted = false, bool locked = false) {
  static const svn_lock_t lock{};
  svn_client_status_t status{};
  status.node_status = kind;
  status.conflicted = conflicted;
  status.lock = locked ? &lock : nullptr;
  return KRVBadgeForStatus(status);
}

TEST(BadgeRulesTest, MapsEveryNodeStatus) {
  const std::map<svn_wc_status_kind, std::optional<std::string>> expected = {
      {svn_wc_status_none, std::nullopt},
      {svn_wc_status_unversioned, "unversioned"},
      {svn_wc_status_normal, std::nullopt},
      {svn_wc_status_added, "added"},
      {svn_wc_status_missing, "deleted"},
      {svn_wc_status_deleted, "deleted"},
      {svn_wc_status_replaced, "modified"},
      {svn_wc_status_modified, "modified"},
      {svn_wc_status_merged, std::nullopt},
      {svn_wc_status_conflicted, "conflicted"},
      {svn_wc_status_ignored, std::nullopt},
      {svn_wc_status_obstructed, std::nullopt},
      {svn_wc_status_external, std::nullopt},
      {svn_wc_status_incomplete, std::nullopt}};
  for (const auto& [kind, badge] : expected) {
    EXPECT_EQ(badgeFor(kind), badge) << "node_status " << kind;
    EXPECT_EQ(badgeFor(kind, /*conflicted=*/true), "conflicted") << "a conflict wins over " << kind;
  }
}

TEST(BadgeRulesTest, ALockShowsOnlyOnAnOtherwiseUnchangedItem) {
  EXPECT_EQ(badgeFor(svn_wc_status_normal, false, true), "locked");
  EXPECT_EQ(badgeFor(svn_wc_status_modified, false, true), "modified");
  EXPECT_EQ(badgeFor(svn_wc_status_added, false, true), "added");
  EXPECT_EQ(badgeFor(svn_wc_status_normal, true, true), "conflicted");
}

TEST(BadgeRulesTest, RanksTheSevenIdentifiersMostImportantFirst) {
  const std::vector<std::string> order = {KRVFinderSyncBadgeConflicted, KRVFinderSyncBadgeModified,
                                          KRVFinderSyncBadgeAdded,      KRVFinderSyncBadgeDeleted,
                                          KRVFinderSyncBadgeLocked,     KRVFinderSyncBadgeUnversioned,
                                          KRVFinderSyncBadgeClean};
  EXPECT_EQ(KRVBadgePriorityList(), order);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(KRVBadgePriorityIndex(order[i]), static_cast<int>(i));
  EXPECT_EQ(KRVBadgePriorityIndex(""), -1);
  EXPECT_EQ(KRVBadgePriorityIndex("Modified"), -1);
}

TEST(BadgeRulesTest, ARootContainsItselfAndWhatLiesBelowIt) {
  EXPECT_TRUE(KRVPathIsWithinRoot("/wc/ab", "/wc/ab"));
  EXPECT_TRUE(KRVPathIsWithinRoot("/wc/ab/x", "/wc/ab"));
  EXPECT_TRUE(KRVPathIsWithinRoot("/wc/ab/x/y", "/wc/ab"));
  EXPECT_FALSE(KRVPathIsWithinRoot("/wc/a", "/wc/ab"));
  EXPECT_FALSE(KRVPathIsWithinRoot("/wc/ab", "/wc/a"));
  EXPECT_FALSE(KRVPathIsWithinRoot("/wc/abc/x", "/wc/ab"));
  EXPECT_FALSE(KRVPathIsWithinRoot("/wc", "/wc/ab"));
  EXPECT_TRUE(KRVPathIsWithinRoot("/x", "/"));
}

KRVBadgeMap propagated(KRVBadgeMap map, const std::string& root = "/wc") {
  KRVPropagateBadgesToFolders(map, root);
  return map;
}

TEST(BadgeRulesTest, ChangesMarkEveryFolderUpToTheRoot) {
  EXPECT_EQ(propagated({{"/wc/d/new.txt", "unversioned"}}),
            (KRVBadgeMap{{"/wc/d/new.txt", "unversioned"}, {"/wc/d", "modified"}, {"/wc", "modified"}}));
  for (const std::string badge : {"added", "deleted", "modified"})
    EXPECT_EQ(propagated({{"/wc/a/b/f", badge}}),
              (KRVBadgeMap{{"/wc/a/b/f", badge}, {"/wc/a/b", "modified"}, {"/wc/a", "modified"}, {"/wc", "modified"}}));
  // Nothing above the root, nor beside it.
  auto map = propagated({{"/wc/f", "modified"}});
  EXPECT_EQ(map.count("/"), 0u);
  EXPECT_EQ(map.size(), 2u);
}

TEST(BadgeRulesTest, LocksStayOnTheirItem) {
  EXPECT_EQ(propagated({{"/wc/lk/locked.txt", "locked"}}), (KRVBadgeMap{{"/wc/lk/locked.txt", "locked"}}));
}

TEST(BadgeRulesTest, AFolderKeepsItsBadgeUnlessAMoreImportantOneComesFromBelow) {
  auto map = propagated({{"/wc/new", "added"}, {"/wc/new/sub/f", "conflicted"}, {"/wc/new/g", "added"}});
  EXPECT_EQ(map.at("/wc/new"), "conflicted");
  EXPECT_EQ(map.at("/wc/new/sub"), "conflicted");
  EXPECT_EQ(map.at("/wc"), "conflicted");
  EXPECT_EQ(map.at("/wc/new/g"), "added");

  // A folder's own added, deleted, locked or unversioned badge gives way to
  // modified from below; its own conflict stays.
  for (const std::string own : {"added", "deleted", "locked", "unversioned"})
    EXPECT_EQ(propagated({{"/wc/d", own}, {"/wc/d/f", "modified"}}).at("/wc/d"), "modified") << own;
  EXPECT_EQ(propagated({{"/wc/d", "conflicted"}, {"/wc/d/f", "modified"}}).at("/wc/d"), "conflicted");
  // A badge that is not one of the seven is left alone and raises nothing.
  EXPECT_EQ(propagated({{"/wc/d/f", "sparkly"}}), (KRVBadgeMap{{"/wc/d/f", "sparkly"}}));
}

TEST(BadgeRulesTest, TheRootFolderGetsTheMostImportantChangeInside) {
  EXPECT_EQ(propagated({{"/wc/a", "modified"}, {"/wc/b/c", "conflicted"}}).at("/wc"), "conflicted");
  EXPECT_EQ(propagated({{"/wc", "locked"}, {"/wc/a", "deleted"}}).at("/wc"), "modified");
  EXPECT_EQ(propagated({{"/", "added"}, {"/etc/x", "unversioned"}}, "/").at("/"), "modified");
  EXPECT_EQ(propagated({{"/etc/x", "unversioned"}}, "/").at("/etc"), "modified");
}

// The definition: a folder ends with the most important of its own badge
// and the raised badge of every non-locked badged item below it.
KRVBadgeMap byDefinition(const KRVBadgeMap& original, const std::string& root) {
  KRVBadgeMap result = original;
  for (const auto& [item, badge] : original) {
    if (badge == "locked" || KRVBadgePriorityIndex(badge) < 0) continue;
    std::string up = badge == "conflicted" ? "conflicted" : "modified";
    for (size_t slash = item.rfind('/'); slash != std::string::npos && slash >= root.size();
         slash = slash == 0 ? std::string::npos : item.rfind('/', slash - 1)) {
      std::string folder = item.substr(0, slash);
      auto it = result.find(folder);
      if (it == result.end() || KRVBadgePriorityIndex(up) < KRVBadgePriorityIndex(it->second)) result[folder] = up;
    }
  }
  return result;
}

TEST(BadgeRulesTest, RandomTreesMatchTheDefinitionInAnyOrder) {
  std::mt19937 random(20240607);
  const std::vector<std::string> badges = {"conflicted", "modified", "added",   "deleted",
                                           "locked",     "unversioned", "clean"};
  for (int round = 0; round < 200; ++round) {
    KRVBadgeMap map;
    int items = 1 + static_cast<int>(random() % 30);
    for (int i = 0; i < items; ++i) {
      std::string path = "/wc";
      int depth = 1 + static_cast<int>(random() % 4);
      for (int d = 0; d < depth; ++d) {
        path += '/';
        path += static_cast<char>('a' + random() % 3);
      }
      map[path] = badges[random() % badges.size()];
    }
    if (random() % 2 == 0) map["/wc"] = badges[random() % badges.size()];
    KRVBadgeMap expected = byDefinition(map, "/wc");

    EXPECT_EQ(propagated(map), expected) << "round " << round;
    // The same entries in another bucket layout are visited in another order.
    KRVBadgeMap reordered(map.begin(), map.end(), 1 + random() % 97);
    EXPECT_EQ(propagated(reordered), expected) << "round " << round << " reordered";
  }
}

}  // namespace
