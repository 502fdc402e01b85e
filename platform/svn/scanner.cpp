#include <svn_path.h>
#include <svn_pools.h>

#include <sys/wait.h>

#include <string>
#include <utility>

#include "helper.h"
#include "records.h"
#include "svn.h"

namespace {

// The pristine statuses of the old record only ever say none, normal or
// modified.
svn_wc_status_kind pristineStatus(svn_wc_status_kind kind) {
  switch (kind) {
    case svn_wc_status_none:
    case svn_wc_status_normal:
    case svn_wc_status_modified:
      return kind;
    default:
      return svn_wc_status_none;
  }
}

// Fills the older svn_wc_status2_t from the client's record, field by field,
// the way libsvn_client's own compatibility wrappers derive it. Two fields
// stay empty because filling them would cost a working-copy database query
// per item: `entry` (the long-deprecated entry record) and `tree_conflict`
// (the description; `conflicted` on the client record tells that there is
// one).
void fillStatus2(svn_wc_status2_t& out, const svn_client_status_t& in, apr_pool_t* pool) {
  out = {};
  out.text_status = in.node_status;
  if (in.node_status == svn_wc_status_modified || in.node_status == svn_wc_status_conflicted)
    out.text_status = in.text_status;
  out.prop_status = in.node_status == svn_wc_status_added ? svn_wc_status_none : in.prop_status;
  out.locked = in.wc_is_locked;
  out.copied = in.copied;
  out.switched = in.switched;
  out.repos_text_status = in.repos_node_status;
  if (in.repos_node_status == svn_wc_status_modified || in.repos_node_status == svn_wc_status_conflicted)
    out.repos_text_status = in.repos_text_status;
  out.repos_prop_status = in.repos_prop_status;
  // The record is handed on read-only; the old type merely lacks the const.
  out.repos_lock = const_cast<svn_lock_t*>(in.repos_lock);
  // svn_path_url_add_component2() for the canonical URL and relpath the
  // walk reports, without its canonicality checks, which cost more than
  // the rest of an item's handling.
  if (in.repos_root_url != nullptr && in.repos_relpath != nullptr) {
    if (*in.repos_relpath == '\0') {
      out.url = in.repos_root_url;
    } else {
      out.url = apr_pstrcat(pool, in.repos_root_url, "/", svn_path_uri_encode(in.repos_relpath, pool), nullptr);
    }
  }
  out.ood_last_cmt_rev = in.ood_changed_rev;
  out.ood_last_cmt_date = in.ood_changed_date;
  out.ood_kind = in.ood_kind;
  out.ood_last_cmt_author = in.ood_changed_author;
  out.file_external = in.file_external;
  out.pristine_text_status = pristineStatus(in.text_status);
  out.pristine_prop_status = pristineStatus(in.prop_status);
}

// How one exchange with a helper went.
struct Relay {
  svn_error_t* err = nullptr;  // the scan's outcome, or the entry block's error
  bool complete = false;       // the helper sent its outcome and can scan again
  bool answered = false;       // anything came back at all
};

// Sends the request to the helper and hands on what comes back, until the
// outcome arrives, the entry block stops the scan, or the stream ends.
Relay relay(svn::detail::StatusHelper& helper, const svn::detail::ScanRequest& request,
            const KRVWorkingCopyStatusScanner::EntryBlock& entryBlock,
            const KRVWorkingCopyStatusScanner::SkipBlock& skipped) {
  Relay result;
  svn::detail::RecordWriter out(helper.requests(), true);
  out.request(request);
  if (!out.flush()) return result;
  apr_pool_t* iterpool = svn_pool_create(nullptr);
  svn::detail::RecordReader in(helper.answers(), iterpool);
  for (char kind = 0; result.err == nullptr && !result.complete && in.kind(kind);) {
    result.answered = true;
    svn_pool_clear(iterpool);
    if (kind == 'I') {
      const char* path = nullptr;
      svn_client_status_t status;
      if (!in.item(path, status)) break;
      svn_wc_status2_t status2;
      fillStatus2(status2, status, iterpool);
      result.err = entryBlock(path, &status, &status2);
    } else if (kind == 'S') {
      const char* path = nullptr;
      if (!in.skipped(path)) break;
      if (skipped) skipped(path);
    } else if (kind == 'E') {
      if (!in.end(result.err)) break;
      result.complete = true;
    } else {
      break;
    }
  }
  svn_pool_destroy(iterpool);
  return result;
}

svn_error_t* endedAbnormally(const std::string& rootPath, int status) {
  if (status != -1 && WIFSIGNALED(status))
    return svn_error_createf(SVN_ERR_WC_CORRUPT, nullptr,
                             "Subversion ended the status scan of '%s' abnormally (signal %d); the working copy's "
                             "database may be damaged",
                             rootPath.c_str(), WTERMSIG(status));
  return svn_error_createf(SVN_ERR_WC_CORRUPT, nullptr, "The status scan of '%s' ended abnormally", rootPath.c_str());
}

}  // namespace

KRVWorkingCopyStatusScanner::Options KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_t depth) {
  Options options;
  options.depth = depth;
  return options;
}

void KRVWorkingCopyStatusScanner::prepareScans() { svn::detail::StatusHelper::prestart(); }

svn_error_t* KRVWorkingCopyStatusScanner::scanLocalTarget(const std::string& rootPath,
                                                          const std::optional<std::string>& configDir,
                                                          const Options& options, const EntryBlock& entryBlock,
                                                          const SkipBlock& skipped) {
  KRVEnsureSVNCoreInitialization();
  if (rootPath.empty() || rootPath.front() != '/')
    return svn_error_createf(SVN_ERR_BAD_FILENAME, nullptr, "Status scan needs an absolute path, not '%s'",
                             rootPath.c_str());

  const svn::detail::ScanRequest request{rootPath, configDir, options};
  // An idle helper may have ended meanwhile; one that ends before answering
  // anything is replaced, once, by a fresh one.
  for (bool fresh = false;; fresh = true) {
    std::string problem;
    auto helper = svn::detail::StatusHelper::take(fresh, &problem);
    if (!helper)
      return svn_error_createf(SVN_ERR_BASE, nullptr, "Cannot start the status scan of '%s': %s", rootPath.c_str(),
                               problem.c_str());
    Relay result = relay(*helper, request, entryBlock, skipped);
    if (result.complete) {
      svn::detail::StatusHelper::giveBack(std::move(helper));
      return result.err;
    }
    // Stopped by the entry block: the helper, still scanning, is stopped.
    if (result.err != nullptr) return result.err;
    int status = helper->stop();
    if (!result.answered && helper->reused()) continue;
    return endedAbnormally(rootPath, status);
  }
}
