// The badge identifiers shared by the registry, which computes them, and the
// principal, which registers an image for each and sets them on items.
#pragma once

#include <string>

inline const std::string KRVFinderSyncBadgeConflicted = "conflicted";
inline const std::string KRVFinderSyncBadgeModified = "modified";
inline const std::string KRVFinderSyncBadgeAdded = "added";
inline const std::string KRVFinderSyncBadgeDeleted = "deleted";
inline const std::string KRVFinderSyncBadgeLocked = "locked";
inline const std::string KRVFinderSyncBadgeUnversioned = "unversioned";
inline const std::string KRVFinderSyncBadgeClean = "clean";
