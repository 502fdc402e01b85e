// Update: brings items to the repository's newest revision, counting what
// svn reports and naming every conflict.
#include <svn_pools.h>

#include <algorithm>
#include <set>

#include "call.h"
#include "svnclient.h"

namespace svnclient {

namespace {

const std::vector<std::pair<std::string, std::string>>& letterWords() {
  static const std::vector<std::pair<std::string, std::string>> words = {
      {"U", "updated"}, {"A", "added"},   {"D", "deleted"},  {"R", "replaced"},
      {"G", "merged"},  {"E", "existed"}, {"C", "in conflict"}, {"Skipped", "skipped"},
  };
  return words;
}

// A cancelled update leaves its locks and unfinished work in the working
// copy, which svn would then refuse until a cleanup. The locks are this
// update's own (no other svn could take the working copy meanwhile), so
// the cleanup may break them.
void finishCancelledWork(const detail::Call& call, const std::set<std::string>& roots) {
  call.context()->cancel_func = nullptr;
  for (const auto& root : roots)
    svn_error_clear(svn_client_cleanup2(root.c_str(), TRUE, FALSE, FALSE, FALSE, FALSE, call.context(), call.pool()));
}

}  // namespace

UpdateOutcome update(const std::vector<std::string>& paths, const Session& session) {
  UpdateOutcome outcome;
  detail::Call call(session);
  if (call.setUpError()) {
    static_cast<Outcome&>(outcome) = detail::failure(call, "Could not prepare Subversion", call.setUpError());
    return outcome;
  }
  call.observe = [&](const svn_wc_notify_t& notify, const Progress& progress) {
    if (notify.action == svn_wc_notify_update_completed && notify.revision >= 0) outcome.revision = notify.revision;
    if (progress.letter.empty()) return;
    ++outcome.counts[progress.letter];
    if (progress.letter == "C" &&
        std::find(outcome.conflicts.begin(), outcome.conflicts.end(), progress.path) == outcome.conflicts.end())
      outcome.conflicts.push_back(progress.path);
  };
  // svn only skips a path in no working copy; the user has to hear of it.
  std::set<std::string> roots;
  for (const auto& path : paths) {
    const char* root = nullptr;
    if (svn_error_t* error = svn_client_get_wc_root(&root, path.c_str(), call.context(), call.pool(), call.pool())) {
      static_cast<Outcome&>(outcome) = detail::failure(call, "Could not update " + path, error);
      return outcome;
    }
    roots.insert(root);
  }
  svn_opt_revision_t head{};
  head.kind = svn_opt_revision_head;
  apr_array_header_t* revisions = nullptr;
  svn_error_t* error = svn_client_update4(&revisions, call.paths(paths), &head, svn_depth_unknown, FALSE, FALSE,
                                          FALSE, TRUE, FALSE, call.context(), call.pool());
  if (error && call.wasCancelled()) finishCancelledWork(call, roots);
  if (error) {
    auto counts = std::move(outcome.counts);
    auto conflicts = std::move(outcome.conflicts);
    const long revision = outcome.revision;
    static_cast<Outcome&>(outcome) = detail::failure(call, "Could not update", error);
    outcome.counts = std::move(counts);
    outcome.conflicts = std::move(conflicts);
    outcome.revision = revision;
    return outcome;
  }
  if (revisions != nullptr && revisions->nelts > 0) outcome.revision = APR_ARRAY_IDX(revisions, 0, svn_revnum_t);
  return outcome;
}

std::string updateSummary(const UpdateOutcome& outcome) {
  std::string text = outcome.revision >= 0 ? "Updated to revision " + std::to_string(outcome.revision) + "." : "";
  std::string counts;
  for (const auto& [letter, words] : letterWords()) {
    const auto found = outcome.counts.find(letter);
    if (found == outcome.counts.end()) continue;
    counts += (counts.empty() ? "" : ", ") + std::to_string(found->second) + " " + words;
  }
  text += "\n" + (counts.empty() ? std::string("Nothing changed.") : counts + ".");
  if (!outcome.conflicts.empty()) {
    text += "\nConflicts:";
    for (const auto& path : outcome.conflicts) text += "\n  " + path;
  }
  return text;
}

}  // namespace svnclient
