#include "status_walk.h"

#include <algorithm>

namespace svnclient::detail {

namespace {

struct Walk {
  bool withUnversioned;
  const BadgeRule& badge;
  std::vector<Change>* changes;
};

// svn status's first column and its words, for the statuses a command acts on.
bool describeStatus(const svn_client_status_t& status, bool withUnversioned, char* letter, std::string* words) {
  if (status.conflicted) {
    *letter = 'C';
    *words = "conflicted";
    return true;
  }
  switch (status.node_status) {
    case svn_wc_status_modified:
      *letter = 'M';
      *words = status.text_status == svn_wc_status_modified ? "modified" : "properties modified";
      return true;
    case svn_wc_status_added: *letter = 'A'; *words = "added"; return true;
    case svn_wc_status_deleted: *letter = 'D'; *words = "deleted"; return true;
    case svn_wc_status_replaced: *letter = 'R'; *words = "replaced"; return true;
    case svn_wc_status_conflicted: *letter = 'C'; *words = "conflicted"; return true;
    case svn_wc_status_missing: *letter = '!'; *words = "missing"; return true;
    case svn_wc_status_obstructed: *letter = '~'; *words = "obstructed"; return withUnversioned;
    case svn_wc_status_unversioned: *letter = '?'; *words = "unversioned"; return withUnversioned;
    default: return false;
  }
}

svn_error_t* receive(void* baton, const char* path, const svn_client_status_t* status, apr_pool_t*) {
  auto* walk = static_cast<Walk*>(baton);
  Change change;
  if (!describeStatus(*status, walk->withUnversioned, &change.letter, &change.status)) return SVN_NO_ERROR;
  change.path = path;
  const auto same = [&](const Change& other) { return other.path == change.path; };
  if (std::any_of(walk->changes->begin(), walk->changes->end(), same)) return SVN_NO_ERROR;
  if (walk->badge) change.badge = walk->badge(*status);
  walk->changes->push_back(std::move(change));
  return SVN_NO_ERROR;
}

}  // namespace

svn_error_t* walkChanges(const Call& call, const std::string& path, bool withUnversioned, const BadgeRule& badge,
                         std::vector<Change>* changes) {
  svn_opt_revision_t working{};
  working.kind = svn_opt_revision_working;
  Walk walk{withUnversioned, badge, changes};
  return svn_client_status6(nullptr, call.context(), path.c_str(), &working, svn_depth_infinity, FALSE, FALSE, TRUE,
                            FALSE, TRUE, FALSE, nullptr, receive, &walk, call.pool());
}

}  // namespace svnclient::detail
