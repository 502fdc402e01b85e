#include "walk.h"

#include <svn_config.h>
#include <svn_dirent_uri.h>
#include <svn_pools.h>

#include <dirent.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fastwalk.h"
#include "platform/text/text.h"

namespace svn::detail {

namespace {

// Everything the status callback needs, for one scan.
struct ScanBaton {
  const ItemSink* sink;
  // Subversion reports paths below its canonical form of the root; they are
  // handed on below the root as the caller wrote it.
  std::string canonicalRoot;
  std::string givenRoot;
  std::string pathBuffer;
  apr_pool_t* iterpool;
  // For the walks around unreadable names: an item not to report again
  // (canonical), and where to collect the folders a walk reports.
  const char* skipPath = nullptr;
  std::vector<std::string>* folders = nullptr;
  // For the fast walk: where a walk's items go instead, as reported.
  const StatusSink* divert = nullptr;
};

// Hands an item (its canonical path) on.
svn_error_t* deliver(ScanBaton& scan, const char* path, const svn_client_status_t& status) {
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
  return (*scan.sink)(reported, status);
}

svn_error_t* reportItem(void* baton, const char* path, const svn_client_status_t* status, apr_pool_t*) {
  auto& scan = *static_cast<ScanBaton*>(baton);
  svn_pool_clear(scan.iterpool);
  if (scan.skipPath != nullptr && std::strcmp(path, scan.skipPath) == 0) return SVN_NO_ERROR;
  if (scan.folders != nullptr && status->kind == svn_node_dir) scan.folders->push_back(path);
  if (scan.divert != nullptr) return (*scan.divert)(path, *status);
  return deliver(scan, path, *status);
}

bool validUTF8(const char* name) { return text::decodeUTF8(name).has_value(); }

// A name that is not UTF-8 stops Subversion's walk at the folder holding
// it (E000022, with APR_EINVAL as a cause).
bool stoppedByAName(svn_error_t* err) {
  for (svn_error_t* link = err; link != nullptr; link = link->child)
    if (link->apr_err == APR_EINVAL) return true;
  return false;
}

// One walk of the working copy. When a file name that is not UTF-8 stops
// it, the working copy is walked again around the folders holding such
// names: those folders' items one by one, everything else whole, so only
// the names themselves are missing. Each skipped name goes to `skipped`.
class Walk {
 public:
  Walk(svn_client_ctx_t* ctx, ScanBaton& baton, const KRVWorkingCopyStatusScanner::Options& options,
       const SkipSink& skipped, apr_pool_t* pool)
      : ctx_(ctx), baton_(baton), options_(options), skipped_(skipped), pool_(pool) {}

  svn_error_t* run() {
    const std::string& root = baton_.canonicalRoot;
    if (options_.depth == svn_depth_infinity && options_.getAll && !options_.noIgnore) {
      svn_error_t* err = nullptr;
      if (fastWalk(
              root, [&](const char* path, const svn_client_status_t& status) { return deliver(baton_, path, status); },
              [&](const std::string& target, svn_depth_t depth, const StatusSink& into) {
                baton_.divert = &into;
                svn_error_t* err = status(target, depth, false, nullptr);
                baton_.divert = nullptr;
                return err;
              },
              [&](const std::string& folder, const std::vector<std::string>& names) {
                return ignoredBySubversion(ctx_, folder, names);
              },
              &err))
        return err;
    }
    svn_error_t* err = status(root, options_.depth, false, nullptr);
    if (err == nullptr || options_.depth != svn_depth_infinity || !stoppedByAName(err)) return err;
    svn_error_t* found = findUnreadableNames();
    if (found != nullptr || unreadableFolders_.empty()) {
      svn_error_clear(found);
      return err;
    }
    svn_error_clear(err);
    return visit(root, false);
  }

 private:
  svn_error_t* status(const std::string& target, svn_depth_t depth, bool skipTarget,
                      std::vector<std::string>* folders) {
    baton_.skipPath = skipTarget ? target.c_str() : nullptr;
    baton_.folders = folders;
    svn_opt_revision_t revision{};
    revision.kind = svn_opt_revision_head;  // unused without an out-of-date check
    return svn_client_status6(nullptr, ctx_, target.c_str(), &revision, depth, options_.getAll,
                              /*check_out_of_date=*/FALSE, /*check_working_copy=*/TRUE, options_.noIgnore,
                              options_.ignoreExternals, /*depth_as_sticky=*/FALSE, /*changelists=*/nullptr,
                              reportItem, &baton_, pool_);
  }

  static svn_error_t* noteNode(void* baton, const char* path, const svn_client_info2_t* info, apr_pool_t*) {
    auto& walk = *static_cast<Walk*>(baton);
    walk.nodes_.emplace_back(path, info->kind == svn_node_dir);
    return SVN_NO_ERROR;
  }

  // Subversion reads the entries of versioned folders only: those holding
  // a name that is not UTF-8 are the ones that stop it.
  svn_error_t* findUnreadableNames() {
    svn_opt_revision_t working{};
    working.kind = svn_opt_revision_unspecified;
    SVN_ERR(svn_client_info4(baton_.canonicalRoot.c_str(), &working, &working, svn_depth_infinity,
                             /*fetch_excluded=*/FALSE, /*fetch_actual_only=*/TRUE, /*include_externals=*/FALSE,
                             nullptr, noteNode, this, ctx_, pool_));
    for (const auto& [folder, isFolder] : nodes_) {
      if (!isFolder) continue;
      DIR* dir = opendir(folder.c_str());
      if (dir == nullptr) continue;
      while (dirent* entry = readdir(dir)) {
        if (validUTF8(entry->d_name)) continue;
        unreadableFolders_.insert(folder);
        if (skipped_) skipped_(folder + "/" + entry->d_name);
      }
      closedir(dir);
    }
    return SVN_NO_ERROR;
  }

  bool unreadableAtOrBelow(const std::string& folder) const {
    auto it = unreadableFolders_.lower_bound(folder);
    return it != unreadableFolders_.end() &&
           (*it == folder || (it->compare(0, folder.size(), folder) == 0 && (*it)[folder.size()] == '/'));
  }

  // Reports `target` (unless `reported`) and everything below it.
  svn_error_t* visit(const std::string& target, bool reported) {
    if (!unreadableAtOrBelow(target)) return status(target, options_.depth, reported, nullptr);
    std::vector<std::string> children;
    if (!unreadableFolders_.contains(target)) {
      // The folder can be read: itself and its items from one shallow walk.
      std::vector<std::string> folders;
      SVN_ERR(status(target, svn_depth_immediates, reported, &folders));
      for (const auto& folder : folders)
        if (folder != target) SVN_ERR(visit(folder, true));
      return SVN_NO_ERROR;
    }
    // Its entries cannot be listed by Subversion (nor its own status had
    // without them): its versioned items and readable names, one by one.
    std::set<std::string> items;
    for (const auto& [path, isFolder] : nodes_)
      if (path.size() > target.size() && path.compare(0, target.size(), target) == 0 && path[target.size()] == '/' &&
          path.find('/', target.size() + 1) == std::string::npos)
        items.insert(path);
    if (DIR* dir = opendir(target.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == ".." || name == ".svn" || !validUTF8(entry->d_name)) continue;
        items.insert(target + "/" + entry->d_name);
      }
      closedir(dir);
    }
    for (const auto& item : items) SVN_ERR(visit(item, false));
    return SVN_NO_ERROR;
  }

  svn_client_ctx_t* ctx_;
  ScanBaton& baton_;
  const KRVWorkingCopyStatusScanner::Options& options_;
  const SkipSink& skipped_;
  apr_pool_t* pool_;
  std::vector<std::pair<std::string, bool>> nodes_;  // every versioned node, and whether it is a folder
  std::set<std::string> unreadableFolders_;
};

}  // namespace

svn_error_t* walkWorkingCopy(const std::string& rootPath, const std::optional<std::string>& configDir,
                             const KRVWorkingCopyStatusScanner::Options& options, const ItemSink& sink,
                             const SkipSink& skipped) {
  // One pool for the scan, released whole at the end; the callback clears
  // its own iteration pool for each item.
  apr_pool_t* pool = svn_pool_create(nullptr);
  ScanBaton baton{&sink, svn_dirent_canonicalize(rootPath.c_str(), pool), rootPath, {}, svn_pool_create(pool)};

  svn_error_t* err = [&]() -> svn_error_t* {
    apr_hash_t* config = nullptr;
    if (configDir) SVN_ERR(svn_config_get_config(&config, configDir->c_str(), pool));
    svn_client_ctx_t* ctx = nullptr;
    SVN_ERR(svn_client_create_context2(&ctx, config, pool));
    return Walk(ctx, baton, options, skipped, pool).run();
  }();

  // Errors live in pools of their own, so they outlive the scan's pool.
  svn_pool_destroy(pool);
  return err;
}

}  // namespace svn::detail
