// Revert: what it would touch, and reverting exactly that.
#include "call.h"
#include "status_walk.h"
#include "svnclient.h"

namespace svnclient {

namespace {

svn_error_t* candidates(const detail::Call& call, const std::vector<std::string>& paths, const BadgeRule& badge,
                        std::vector<Change>* changes) {
  for (const auto& path : paths) SVN_ERR(detail::walkChanges(call, path, false, badge, changes));
  return SVN_NO_ERROR;
}

bool samePathsAndLetters(const std::vector<Change>& a, const std::vector<Change>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].path != b[i].path || a[i].letter != b[i].letter) return false;
  return true;
}

}  // namespace

std::optional<std::vector<Change>> revertCandidates(const std::vector<std::string>& paths, const BadgeRule& badge,
                                                    const Session& session, std::string* error) {
  detail::Call call(session);
  if (call.setUpError()) {
    *error = detail::failure(call, "Could not prepare Subversion", call.setUpError()).error;
    return std::nullopt;
  }
  std::vector<Change> changes;
  if (svn_error_t* failed = candidates(call, paths, badge, &changes)) {
    *error = detail::failure(call, "Could not list what would be reverted", failed).error;
    return std::nullopt;
  }
  return changes;
}

Outcome revert(const std::vector<std::string>& paths, const std::vector<Change>& confirmed, const BadgeRule& badge,
               const Session& session) {
  detail::Call call(session);
  if (call.setUpError()) return detail::failure(call, "Could not prepare Subversion", call.setUpError());
  std::vector<Change> now;
  if (svn_error_t* failed = candidates(call, paths, badge, &now))
    return detail::failure(call, "Could not list what would be reverted", failed);
  // What the user agreed to is all that may be reverted.
  if (!samePathsAndLetters(now, confirmed)) {
    Outcome outcome;
    outcome.ok = false;
    outcome.error = "Nothing was reverted: the working copy changed since the list was shown";
    return outcome;
  }
  if (confirmed.empty()) return {};
  // Added items become unversioned files again; nothing is deleted.
  svn_error_t* error = svn_client_revert4(call.paths(paths), svn_depth_infinity, nullptr, FALSE, FALSE, TRUE,
                                          call.context(), call.pool());
  if (error) return detail::failure(call, "Could not revert", error);
  return {};
}

}  // namespace svnclient
