#include <svn_config.h>
#include <svn_dirent_uri.h>
#include <svn_path.h>
#include <svn_pools.h>

#include <string>

#include "svn.h"

namespace {

// Everything the status callback needs, for one scan.
struct ScanBaton {
  const KRVWorkingCopyStatusScanner::EntryBlock* entryBlock;
  // Subversion reports paths below its canonical form of the root; they are
  // handed on below the root as the caller wrote it.
  std::string canonicalRoot;
  std::string givenRoot;
  std::string pathBuffer;
  apr_pool_t* iterpool;
};

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
  if (in.repos_root_url != nullptr && in.repos_relpath != nullptr)
    out.url = svn_path_url_add_component2(in.repos_root_url, in.repos_relpath, pool);
  out.ood_last_cmt_rev = in.ood_changed_rev;
  out.ood_last_cmt_date = in.ood_changed_date;
  out.ood_kind = in.ood_kind;
  out.ood_last_cmt_author = in.ood_changed_author;
  out.file_external = in.file_external;
  out.pristine_text_status = pristineStatus(in.text_status);
  out.pristine_prop_status = pristineStatus(in.prop_status);
}

svn_error_t* reportItem(void* baton, const char* path, const svn_client_status_t* status, apr_pool_t*) {
  auto& scan = *static_cast<ScanBaton*>(baton);
  svn_pool_clear(scan.iterpool);

  const char* reported = path;
  if (scan.canonicalRoot != scan.givenRoot) {
    std::string_view rest(path);
    rest.remove_prefix(std::min(rest.size(), scan.canonicalRoot.size()));
    scan.pathBuffer.assign(scan.givenRoot);
    // A given root with a trailing "/" already has the separator.
    if (!rest.empty() && rest.front() == '/' && !scan.pathBuffer.empty() && scan.pathBuffer.back() == '/')
      rest.remove_prefix(1);
    scan.pathBuffer.append(rest);
    reported = scan.pathBuffer.c_str();
  }

  svn_wc_status2_t status2;
  fillStatus2(status2, *status, scan.iterpool);
  return (*scan.entryBlock)(reported, status, &status2);
}

}  // namespace

KRVWorkingCopyStatusScanner::Options KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_t depth) {
  Options options;
  options.depth = depth;
  return options;
}

svn_error_t* KRVWorkingCopyStatusScanner::scanLocalTarget(const std::string& rootPath,
                                                          const std::optional<std::string>& configDir,
                                                          const Options& options, const EntryBlock& entryBlock) {
  KRVEnsureSVNCoreInitialization();
  if (rootPath.empty() || rootPath.front() != '/')
    return svn_error_createf(SVN_ERR_BAD_FILENAME, nullptr, "Status scan needs an absolute path, not '%s'",
                             rootPath.c_str());

  // One pool for the scan, released whole at the end; the callback clears
  // its own iteration pool for each item.
  apr_pool_t* pool = svn_pool_create(nullptr);
  ScanBaton baton{&entryBlock, svn_dirent_canonicalize(rootPath.c_str(), pool), rootPath, {},
                  svn_pool_create(pool)};

  svn_error_t* err = [&]() -> svn_error_t* {
    apr_hash_t* config = nullptr;
    if (configDir) SVN_ERR(svn_config_get_config(&config, configDir->c_str(), pool));
    svn_client_ctx_t* ctx = nullptr;
    SVN_ERR(svn_client_create_context2(&ctx, config, pool));

    svn_opt_revision_t revision{};
    revision.kind = svn_opt_revision_head;  // unused without an out-of-date check
    return svn_client_status6(nullptr, ctx, baton.canonicalRoot.c_str(), &revision, options.depth, options.getAll,
                              /*check_out_of_date=*/FALSE, /*check_working_copy=*/TRUE, options.noIgnore,
                              options.ignoreExternals, /*depth_as_sticky=*/FALSE, /*changelists=*/nullptr,
                              reportItem, &baton, pool);
  }();

  // Errors live in pools of their own, so they outlive the scan's pool.
  svn_pool_destroy(pool);
  return err;
}
