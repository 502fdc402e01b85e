// The pure rules of badge computation, apart from the registry so they can
// be checked on their own: which badge a reported status earns, how badges
// rank, which root contains a path, and how folders take on the most
// important change below them. No state, no queues; callable from any thread.
#pragma once

#include <svn_client.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// Item path to badge identifier, for one working copy (the registry's BadgeMap).
using KRVBadgeMap = std::unordered_map<std::string, std::string>;

// The seven identifiers, most important first ("clean" last).
const std::vector<std::string>& KRVBadgePriorityList();
// The position of `badge` in that list, or -1 for any other string.
int KRVBadgePriorityIndex(const std::string& badge);

// The badge a scanned item earns from its client status record: a conflict
// first, then its node status; nullopt for none. Only `conflicted`,
// `node_status` and `lock` are read, so a locked item that is also changed
// shows its change.
std::optional<std::string> KRVBadgeForStatus(const svn_client_status_t& status);

// True when `path` is `rootPath` itself or lies below it ("/wc/ab" is not
// below "/wc/a").
bool KRVPathIsWithinRoot(const std::string& path, const std::string& rootPath);

// Raises every folder from a badged item's parent up to `rootPath` to
// "conflicted" (for a conflicted item) or "modified" (for any other badge),
// unless it already has a badge at least as important. Locked items raise
// nothing. The result does not depend on the map's order.
void KRVPropagateBadgesToFolders(KRVBadgeMap& map, const std::string& rootPath);
