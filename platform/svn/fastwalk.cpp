#include "fastwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <svn_pools.h>
#include <svn_wc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/text/text.h"
#include "wcdb.h"

namespace svn::detail {

namespace {

// What the walk found on disk for one folder's items.
struct FolderPlan {
  // Every item is plain and on disk as recorded: the folder's items are
  // reported here, not by Subversion.
  bool fast = false;
  // This folder or one below it may be fast; a subtree without one goes to
  // Subversion in one call.
  bool fastBelow = false;
  struct File {
    std::int64_t size = -1;
    bool modified = false;
  };
  std::vector<File> files;  // parallel to the folder's children
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class FastWalk {
 public:
  FastWalk(const std::string& root, WCSnapshot& snapshot, const StatusSink& sink, const FolderStatus& folderStatus,
           const IgnoresAll& ignoresAll)
      : root_(root), snapshot_(snapshot), sink_(sink), folderStatus_(folderStatus), ignoresAll_(ignoresAll) {}

  // Lists every versioned folder on disk; false when the walk cannot be
  // used. The items themselves are looked at as the walk reaches them, so
  // that the first records go out early.
  bool plan() {
    // Every folder Subversion answers for costs a call of its own, dearer
    // than what the walk saves on a folder: where more than a quarter of
    // the folders need one (build output in many, say), one walk of
    // Subversion's is cheaper, and the listing stops as soon as that shows.
    std::size_t folders = 1, slow = 0;
    for (const auto& [relpath, folder] : snapshot_.folders)
      for (const auto& child : folder.children) folders += child.folder ? 1 : 0;
    auto look = [&](const std::string& relpath, const WCNode& self, bool isRoot) {
      if (!planFolder(relpath, self, isRoot)) return false;
      if (!plans_[relpath].fast) ++slow;
      return slow * 4 <= folders;
    };
    if (!look("", *snapshot_.root, true)) return false;
    for (auto& [relpath, folder] : snapshot_.folders)
      for (const auto& child : folder.children)
        if (child.folder && !look(join(relpath, child.name), child, false)) return false;
    markFastBelow("");
    return true;
  }

  svn_error_t* walk(const std::string& relpath, bool reportSelf) {
    FolderPlan& plan = plans_[relpath];
    if (!plan.fastBelow) return walkSubtreeWithSubversion(relpath, reportSelf);
    if (plan.fast) inspect(relpath, plan);
    if (!plan.fast) return walkWithSubversion(relpath, reportSelf);
    if (reportSelf) SVN_ERR(folderStatus_(absolute(relpath), svn_depth_empty, sink_));
    auto folder = snapshot_.folders.find(relpath);
    if (folder == snapshot_.folders.end()) return SVN_NO_ERROR;
    const auto& children = folder->second.children;
    const std::string folderPath = absolute(relpath);
    for (std::size_t i = 0; i < children.size(); ++i) {
      const WCNode& child = children[i];
      SVN_ERR(report(folderPath, folder->second, child, plan.files[i]));
      if (child.folder) SVN_ERR(walk(join(relpath, child.name), false));
    }
    return SVN_NO_ERROR;
  }

 private:
  static std::string join(const std::string& relpath, const std::string& name) {
    return relpath.empty() ? name : relpath + "/" + name;
  }
  // Whether the working file's bytes equal the pristine text's; nothing
  // when either cannot be read.
  std::optional<bool> sameBytes(int dirFd, const char* name, const std::array<char, 40>& sha1) {
    FileDescriptor working(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    FileDescriptor base(open(pristinePath(sha1).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat a {}, b {};
    if (working.get() < 0 || base.get() < 0 || fstat(working.get(), &a) != 0 || fstat(base.get(), &b) != 0 ||
        !S_ISREG(a.st_mode))
      return std::nullopt;
    if (a.st_size != b.st_size) return false;
    const std::size_t half = buffer_.size() / 2;
    char* one = buffer_.data();
    char* other = one + half;
    for (;;) {
      ssize_t n = read(working.get(), one, half);
      if (n < 0) return std::nullopt;
      if (n == 0) return true;
      std::size_t got = 0;
      while (got < static_cast<std::size_t>(n)) {
        ssize_t m = read(base.get(), other + got, static_cast<std::size_t>(n) - got);
        if (m <= 0) return m == 0 ? std::optional<bool>(false) : std::nullopt;
        got += static_cast<std::size_t>(m);
      }
      if (std::memcmp(one, other, got) != 0) return false;
    }
  }

  std::string pristinePath(const std::array<char, 40>& sha1) const {
    std::string_view hex(sha1.data(), sha1.size());
    std::string path = root_ + "/.svn/pristine/";
    path.append(hex.substr(0, 2)).append("/").append(hex).append(".svn-base");
    return path;
  }
  std::string absolute(const std::string& relpath) const { return relpath.empty() ? root_ : root_ + "/" + relpath; }

  bool markFastBelow(const std::string& relpath) {
    bool any = plans_[relpath].fast;
    auto folder = snapshot_.folders.find(relpath);
    if (folder != snapshot_.folders.end())
      for (const auto& child : folder->second.children)
        if (child.folder && markFastBelow(join(relpath, child.name))) any = true;
    plans_[relpath].fastBelow = any;
    return any;
  }

  svn_error_t* walkSubtreeWithSubversion(const std::string& relpath, bool reportSelf) {
    const std::string target = absolute(relpath);
    return folderStatus_(target, svn_depth_infinity,
                         [&](const char* path, const svn_client_status_t& status) -> svn_error_t* {
                           return reportSelf || target != path ? sink_(path, status) : SVN_NO_ERROR;
                         });
  }

  // The folder's items as Subversion reports them, each folder among them
  // followed by its own walk.
  svn_error_t* walkWithSubversion(const std::string& relpath, bool reportSelf) {
    const std::string target = absolute(relpath);
    struct Pool {
      apr_pool_t* pool = svn_pool_create(nullptr);
      ~Pool() { svn_pool_destroy(pool); }
    } pool;
    std::vector<std::pair<std::string, svn_client_status_t*>> items;
    SVN_ERR(folderStatus_(target, svn_depth_immediates,
                          [&](const char* path, const svn_client_status_t& status) -> svn_error_t* {
                            if (reportSelf || target != path)
                              items.emplace_back(path, svn_client_status_dup(&status, pool.pool));
                            return SVN_NO_ERROR;
                          }));
    for (const auto& [path, status] : items) {
      SVN_ERR(sink_(path.c_str(), *status));
      if (status->versioned && status->kind == svn_node_dir && path != target)
        SVN_ERR(walk(path.substr(root_.size() + 1), false));
    }
    return SVN_NO_ERROR;
  }

  bool planFolder(const std::string& relpath, const WCNode& self, bool isRoot) {
    FolderPlan& plan = plans_[relpath];
    auto found = snapshot_.folders.find(relpath);
    static const WCFolder kEmpty;
    const WCFolder& folder = found != snapshot_.folders.end() ? found->second : kEmpty;
    plan.fast = self.plain && !folder.changedChild;

    FileDescriptor dirFd(open(absolute(relpath).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dirFd.get() < 0) {
      plan.fast = false;
      return true;
    }
    DIR* dir = fdopendir(dup(dirFd.get()));
    if (dir == nullptr) return false;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (name == ".svn") {
        // A working copy of its own inside this one answers for its items.
        if (!isRoot) {
          closedir(dir);
          return false;
        }
        continue;
      }
      names.emplace_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    // Subversion stops its walk at a name that is not UTF-8; the names it
    // has recorded are UTF-8 already.
    const auto& children = folder.children;
    std::vector<std::string> unversioned;
    std::size_t c = 0;
    for (const auto& name : names) {
      while (c < children.size() && children[c].name < name) ++c;
      if (c < children.size() && children[c].name == name) continue;
      if (!text::decodeUTF8(name)) return false;
      unversioned.push_back(name);
    }
    if (names.size() - unversioned.size() != children.size()) plan.fast = false;
    // Ignored items are not reported, so build output beside versioned
    // files leaves the folder to this walk; any other unversioned item is
    // Subversion's to report.
    if (plan.fast && !unversioned.empty()) plan.fast = ignoresAll_(absolute(relpath), unversioned);
    return true;
  }

  // Whether every item of a folder whose names are all versioned is plain
  // and on disk as recorded, and which files changed.
  void inspect(const std::string& relpath, FolderPlan& plan) {
    auto found = snapshot_.folders.find(relpath);
    if (found == snapshot_.folders.end()) return;
    const auto& children = found->second.children;
    FileDescriptor dirFd(open(absolute(relpath).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    plan.fast = dirFd.get() >= 0;
    plan.files.resize(children.size());
    for (std::size_t i = 0; i < children.size() && plan.fast; ++i) {
      const WCNode& child = children[i];
      struct stat st {};
      if (!child.plain || fstatat(dirFd.get(), child.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        plan.fast = false;
      } else if (child.folder) {
        plan.fast = S_ISDIR(st.st_mode);
      } else if (!S_ISREG(st.st_mode)) {
        plan.fast = false;
      } else {
        plan.files[i].size = st.st_size;
        std::int64_t mtime = std::int64_t{st.st_mtim.tv_sec} * 1000000 + st.st_mtim.tv_nsec / 1000;
        // Subversion's own check: size and time as recorded mean unchanged.
        if (child.recordedSize >= 0 && child.recordedTime != 0 && child.recordedSize == st.st_size &&
            child.recordedTime == mtime)
          continue;
        // Otherwise the bytes decide, when the working file is the
        // pristine text untranslated.
        if (child.translated) {
          plan.fast = false;
          continue;
        }
        auto same = sameBytes(dirFd.get(), child.name.c_str(), child.sha1);
        if (!same) plan.fast = false;
        else plan.files[i].modified = !*same;
      }
    }
  }

  // One item of a folder (at folderPath); the record's strings live in
  // buffers reused from item to item.
  svn_error_t* report(const std::string& folderPath, const WCFolder& folder, const WCNode& node,
                      const FolderPlan::File& file) {
    const WCRepository& repository = snapshot_.repositories.at(node.reposId);
    std::string& path = pathBuffer_;
    path.assign(folderPath).append("/").append(node.name);
    std::string& reposPath = reposPathBuffer_;
    reposPath.assign(folder.reposPath);
    if (!reposPath.empty()) reposPath.append("/");
    reposPath.append(node.name);
    svn_client_status_t status{};
    status.kind = node.folder ? svn_node_dir : svn_node_file;
    status.local_abspath = path.c_str();
    status.filesize = node.folder ? SVN_INVALID_FILESIZE : file.size;
    status.versioned = TRUE;
    status.node_status = file.modified ? svn_wc_status_modified : svn_wc_status_normal;
    status.text_status = status.node_status;
    status.prop_status = node.hasProps ? svn_wc_status_normal : svn_wc_status_none;
    status.revision = node.revision;
    status.changed_rev = node.changedRev;
    status.changed_date = node.changedDate;
    status.changed_author = node.changedAuthor ? node.changedAuthor->c_str() : nullptr;
    status.repos_root_url = repository.root.c_str();
    status.repos_uuid = repository.uuid.c_str();
    status.repos_relpath = reposPath.c_str();
    status.depth = node.folder ? svn_depth_infinity : svn_depth_unknown;
    status.ood_kind = svn_node_none;
    status.repos_node_status = svn_wc_status_none;
    status.repos_text_status = svn_wc_status_none;
    status.repos_prop_status = svn_wc_status_none;
    status.ood_changed_rev = SVN_INVALID_REVNUM;
    return sink_(path.c_str(), status);
  }

  const std::string& root_;
  WCSnapshot& snapshot_;
  const StatusSink& sink_;
  const FolderStatus& folderStatus_;
  const IgnoresAll& ignoresAll_;
  std::unordered_map<std::string, FolderPlan> plans_;
  std::string pathBuffer_, reposPathBuffer_;
  std::vector<char> buffer_ = std::vector<char>(128 * 1024);  // for byte comparisons
};

}  // namespace

bool ignoredBySubversion(svn_client_ctx_t* ctx, const std::string& folder, const std::vector<std::string>& names) {
  apr_pool_t* pool = svn_pool_create(nullptr);
  apr_array_header_t* patterns = nullptr;
  svn_error_t* err = svn_wc_get_ignores2(&patterns, ctx->wc_ctx, folder.c_str(), ctx->config, pool, pool);
  bool all = err == nullptr && std::all_of(names.begin(), names.end(), [&](const std::string& name) {
               return svn_wc_match_ignore_list(name.c_str(), patterns, pool) != 0;
             });
  svn_error_clear(err);
  svn_pool_destroy(pool);
  return all;
}

bool fastWalk(const std::string& root, const StatusSink& sink, const FolderStatus& folderStatus,
              const IgnoresAll& ignoresAll, svn_error_t** err) {
  if (root.size() < 2 || root.front() != '/') return false;
  auto snapshot = readWorkingCopyDatabase(root);
  if (!snapshot) return false;
  FastWalk walk(root, *snapshot, sink, folderStatus, ignoresAll);
  if (!walk.plan()) return false;
  *err = walk.walk("", true);
  return true;
}

}  // namespace svn::detail
