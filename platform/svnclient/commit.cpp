// Commit from a list the user checked: what is listed, and committing
// exactly the checked items.
#include <svn_error_codes.h>

#include <algorithm>

#include "call.h"
#include "status_walk.h"
#include "svnclient.h"

namespace svnclient {

namespace {

svn_error_t* candidates(const detail::Call& call, const std::vector<std::string>& paths, const BadgeRule& badge,
                        std::vector<Change>* changes) {
  for (const auto& path : paths) SVN_ERR(detail::walkChanges(call, path, true, badge, changes));
  return SVN_NO_ERROR;
}

svn_error_t* logMessage(const char** message, const char** temporaryFile, const apr_array_header_t*, void* baton,
                        apr_pool_t* pool) {
  *message = apr_pstrdup(pool, static_cast<const std::string*>(baton)->c_str());
  *temporaryFile = nullptr;
  return SVN_NO_ERROR;
}

svn_error_t* committed(const svn_commit_info_t* info, void* baton, apr_pool_t*) {
  static_cast<CommitOutcome*>(baton)->revision = info->revision;
  return SVN_NO_ERROR;
}

bool isOutOfDate(svn_error_t* error) {
  for (apr_status_t code : {SVN_ERR_WC_NOT_UP_TO_DATE, SVN_ERR_FS_TXN_OUT_OF_DATE, SVN_ERR_RA_OUT_OF_DATE,
                            SVN_ERR_FS_CONFLICT})
    if (svn_error_find_cause(error, code) != nullptr) return true;
  return false;
}

CommitOutcome failed(const detail::Call& call, const std::string& words, svn_error_t* error) {
  CommitOutcome outcome;
  outcome.outOfDate = isOutOfDate(error);
  static_cast<Outcome&>(outcome) = detail::failure(call, words, error);
  return outcome;
}

// Schedules the checked unversioned and missing items, and gives every path
// the commit names: with a depth of "empty", an added folder's contents
// must be named one by one.
svn_error_t* prepare(const detail::Call& call, const std::vector<CommitItem>& checked,
                     std::vector<std::string>* targets) {
  std::vector<std::string> missing;
  for (const auto& item : checked) {
    targets->push_back(item.path);
    if (item.letter == '!') missing.push_back(item.path);
    if (item.letter != '?') continue;
    // force: a retry after a failed commit finds the item already added.
    SVN_ERR(svn_client_add5(item.path.c_str(), svn_depth_infinity, TRUE, FALSE, FALSE, FALSE, call.context(),
                            call.pool()));
    std::vector<Change> added;
    SVN_ERR(detail::walkChanges(call, item.path, false, nullptr, &added));
    for (const auto& change : added) targets->push_back(change.path);
  }
  if (!missing.empty())
    SVN_ERR(svn_client_delete4(call.paths(missing), TRUE, FALSE, nullptr, nullptr, nullptr, call.context(),
                               call.pool()));
  std::sort(targets->begin(), targets->end());
  targets->erase(std::unique(targets->begin(), targets->end()), targets->end());
  return SVN_NO_ERROR;
}

}  // namespace

std::optional<std::vector<CommitItem>> commitCandidates(const std::vector<std::string>& paths, const BadgeRule& badge,
                                                        const Session& session, std::string* error) {
  detail::Call call(session);
  if (call.setUpError()) {
    *error = detail::failure(call, "Could not prepare Subversion", call.setUpError()).error;
    return std::nullopt;
  }
  std::vector<Change> changes;
  if (svn_error_t* failure = candidates(call, paths, badge, &changes)) {
    *error = detail::failure(call, "Could not list what would be committed", failure).error;
    return std::nullopt;
  }
  std::vector<CommitItem> items;
  for (auto& change : changes) {
    // Obstructed items cannot be committed either, but are not conflicts.
    if (change.letter == '~') continue;
    CommitItem item;
    static_cast<Change&>(item) = std::move(change);
    item.checked = item.letter != '?';
    if (item.letter == 'C') {
      item.checkable = false;
      item.checked = false;
      item.reason = "conflicted: resolve the conflict first";
    }
    items.push_back(std::move(item));
  }
  return items;
}

CommitOutcome commitItems(const std::vector<CommitItem>& checked, const std::string& message, bool keepLocks,
                          const Session& session) {
  CommitOutcome outcome;
  outcome.ok = false;
  if (checked.empty()) {
    outcome.error = "Nothing was committed: no item is checked";
    return outcome;
  }
  for (const auto& item : checked)
    if (!item.checkable) {
      outcome.error = "Nothing was committed: " + item.path + " is " + item.reason;
      return outcome;
    }
  detail::Call call(session);
  if (call.setUpError()) return failed(call, "Could not prepare Subversion", call.setUpError());
  std::vector<std::string> targets;
  if (svn_error_t* error = prepare(call, checked, &targets))
    return failed(call, "Nothing was committed: could not schedule the checked items", error);
  call.context()->log_msg_func3 = logMessage;
  call.context()->log_msg_baton3 = const_cast<std::string*>(&message);
  svn_error_t* error =
      svn_client_commit6(call.paths(targets), svn_depth_empty, keepLocks, FALSE, TRUE, FALSE, FALSE, nullptr,
                         nullptr, committed, &outcome, call.context(), call.pool());
  if (error) return failed(call, "Could not commit", error);
  if (outcome.revision < 0) {
    outcome.error = "Nothing was committed: the checked items have no changes";
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

std::string commitSummary(const CommitOutcome& outcome) {
  return "Committed revision " + std::to_string(outcome.revision);
}

}  // namespace svnclient
