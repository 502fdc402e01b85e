#include "KRVBadgeComputation.h"

#include <string_view>

#include "KRVBadgeIdentifiers.h"

const std::vector<std::string>& KRVBadgePriorityList() {
  static const std::vector<std::string> list = {
      KRVFinderSyncBadgeConflicted, KRVFinderSyncBadgeModified, KRVFinderSyncBadgeAdded,
      KRVFinderSyncBadgeDeleted,    KRVFinderSyncBadgeLocked,   KRVFinderSyncBadgeUnversioned,
      KRVFinderSyncBadgeClean};
  return list;
}

int KRVBadgePriorityIndex(const std::string& badge) {
  const auto& list = KRVBadgePriorityList();
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == badge) return static_cast<int>(i);
  return -1;
}

std::optional<std::string> KRVBadgeForStatus(const svn_client_status_t& status) {
  if (status.conflicted) return KRVFinderSyncBadgeConflicted;
  switch (status.node_status) {
    case svn_wc_status_unversioned:
      return KRVFinderSyncBadgeUnversioned;
    case svn_wc_status_normal:
      if (status.lock != nullptr) return KRVFinderSyncBadgeLocked;
      return std::nullopt;
    case svn_wc_status_added:
      return KRVFinderSyncBadgeAdded;
    case svn_wc_status_missing:
    case svn_wc_status_deleted:
      return KRVFinderSyncBadgeDeleted;
    case svn_wc_status_replaced:
    case svn_wc_status_modified:
      return KRVFinderSyncBadgeModified;
    case svn_wc_status_conflicted:
      return KRVFinderSyncBadgeConflicted;
    default:  // none, merged, ignored, obstructed, external, incomplete
      return std::nullopt;
  }
}

bool KRVPathIsWithinRoot(const std::string& path, const std::string& rootPath) {
  if (path == rootPath) return true;
  if (path.size() <= rootPath.size() || path.compare(0, rootPath.size(), rootPath) != 0) return false;
  // The root "/" already ends in the separator.
  return rootPath.ends_with('/') || path[rootPath.size()] == '/';
}

namespace {

// The folder holding `path` ("/" for an item of the root folder), or
// nothing for "/" itself or a relative name without a folder.
std::optional<std::string_view> parentPath(std::string_view path) {
  if (path.size() <= 1) return std::nullopt;
  size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

void KRVPropagateBadgesToFolders(KRVBadgeMap& map, const std::string& rootPath) {
  std::vector<std::string> items;
  items.reserve(map.size());
  for (const auto& entry : map) items.push_back(entry.first);

  for (const std::string& item : items) {
    const std::string& badge = map[item];
    if (badge == KRVFinderSyncBadgeLocked || KRVBadgePriorityIndex(badge) < 0) continue;
    const std::string& up = badge == KRVFinderSyncBadgeConflicted ? KRVFinderSyncBadgeConflicted : KRVFinderSyncBadgeModified;
    const int upIndex = KRVBadgePriorityIndex(up);

    for (auto dir = parentPath(item); dir && dir->size() >= rootPath.size(); dir = parentPath(*dir)) {
      std::string folder(*dir);
      if (!KRVPathIsWithinRoot(folder, rootPath)) break;
      auto [it, added] = map.try_emplace(folder, up);
      if (!added) {
        // A folder that already ranks as high as `up` either raised its own
        // folders when it was reached or will when its own key comes up:
        // the rest of the way up is taken care of.
        int index = KRVBadgePriorityIndex(it->second);
        if (index >= 0 && index <= upIndex) break;
        it->second = up;
      }
      if (folder == rootPath) break;
    }
  }
}
