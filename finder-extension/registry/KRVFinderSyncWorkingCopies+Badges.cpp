// Badge requests, refreshes and the per-root status cache, all on
// i_statusQueue; each scan after a root's first reports what changed.
#include <svn_error.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <string_view>
#include <unordered_set>

#include "KRVBadgeComputation.h"
#include "KRVFinderSyncLog.h"
#include "KRVFinderSyncWorkingCopies.h"
#include "platform/svn/svn.h"
#include "platform/text/text.h"

namespace {

// How long one scan of a root answers every request for it, unless the
// monitor keeps it current.
constexpr std::chrono::duration<double> kStatusCacheLifetime(2.0);
// How long the last good badges answer for a root whose wc.db another
// program holds locked, before a scan tries again.
constexpr std::chrono::duration<double> kBusyBackOff(3.0);

bool isBusy(svn_error_t* err) { return err != nullptr && svn_error_find_cause(err, SVN_ERR_SQLITE_BUSY) != nullptr; }

// The bytes of a path for a log line: invalid UTF-8 shown as \xNN.
std::string printable(const std::string& path) {
  if (text::decodeUTF8(path)) return path;
  std::string shown;
  for (unsigned char c : path) {
    if (c < 0x80) {
      shown.push_back(static_cast<char>(c));
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    shown += "\\x";
    shown.push_back(kHex[c >> 4]);
    shown.push_back(kHex[c & 0xF]);
  }
  return shown;
}

// Beyond this many folders to scan again, a whole scan is about as quick.
constexpr std::size_t kMaxPatchedFolders = 64;
// A waiting refresh names at most this many changed paths.
constexpr std::size_t kMaxQueuedChanges = 4096;

// Items whose status a scan of their folder alone may not reproduce: an
// external's folder is reported twice by a whole scan (by its parent, then
// as the root of its own walk), file externals and obstructions depend on
// more than their folder. A working copy holding any is always scanned whole.
bool patchable(const svn_client_status_t& status) {
  return status.node_status != svn_wc_status_external && status.node_status != svn_wc_status_obstructed &&
         !status.file_external;
}

bool isVersionedFolder(const svn_client_status_t& status) {
  return status.kind == svn_node_dir && status.versioned;
}

std::string_view parentOf(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

bool stillExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

void KRVFinderSyncWorkingCopies::badgeIdentifierForURL(const foundation::FileURL& url, BadgeReply reply) {
  std::string path = url.standardizedPath();
  i_statusQueue->async([self = shared_from_this(), path = std::move(path), reply = std::move(reply)]() mutable {
    std::optional<std::string> answer;
    if (auto root = self->p_rootPathContainingPath(path)) {
      auto cached = self->i_statusCache.find(*root);
      bool fresh = cached != self->i_statusCache.end() && self->p_isFresh(*root, cached->second);
      const StatusCacheEntry& entry = fresh ? cached->second : self->p_rescanRoot(*root);
      auto found = entry.badges->find(path);
      if (found != entry.badges->end()) answer = found->second;
    }
    dispatch::mainQueue().async([reply = std::move(reply), answer = std::move(answer)] { reply(answer); });
  });
}

void KRVFinderSyncWorkingCopies::invalidateCachesForDirectoryURL(const foundation::FileURL& url) {
  std::string path = url.standardizedPath();
  i_statusQueue->async([self = shared_from_this(), path = std::move(path)] {
    auto root = self->p_rootPathContainingPath(path);
    if (!root) {
      self->i_statusCache.erase(path);
      return;
    }
    // Kept as the baseline of the next scan, but never answered from again.
    if (auto cached = self->i_statusCache.find(*root); cached != self->i_statusCache.end()) cached->second.valid = false;
  });
}

void KRVFinderSyncWorkingCopies::invalidateUnwatchedCachesForDirectoryURL(const foundation::FileURL& url) {
  std::string path = url.standardizedPath();
  i_statusQueue->async([self = shared_from_this(), path = std::move(path)] {
    auto root = self->p_rootPathContainingPath(path);
    if (!root) return;
    auto cached = self->i_statusCache.find(*root);
    if (cached != self->i_statusCache.end() && !self->p_isWatched(*root, cached->second)) cached->second.valid = false;
  });
}

void KRVFinderSyncWorkingCopies::refreshBadgesForDirectoryURL(const foundation::FileURL& url, bool rescan) {
  auto root = p_rootPathContainingPath(url.standardizedPath());
  if (!root) return;
  p_queueRefresh(*root, QueuedRefresh{rescan, rescan, {}});
}

void KRVFinderSyncWorkingCopies::workingCopyDidChange(const foundation::FileURL& rootURL,
                                                      const std::vector<std::string>& changedPaths,
                                                      bool namesEverything) {
  // The monitor reports under the outermost root; every registered root at
  // or inside it sees the changes below itself.
  const std::string reported = rootURL.standardizedPath();
  std::vector<std::string> roots;
  for (const auto& url : resolvedRootURLs())
    if (KRVPathIsWithinRoot(url.path(), reported)) roots.push_back(url.path());
  if (roots.empty()) {
    if (auto root = p_rootPathContainingPath(reported)) roots.push_back(*root);
  }
  for (const auto& root : roots) {
    QueuedRefresh refresh{true, !namesEverything || changedPaths.empty(), {}};
    if (!refresh.whole) {
      for (const auto& path : changedPaths)
        if (KRVPathIsWithinRoot(path, root)) refresh.changed.insert(path);
      if (refresh.changed.empty()) continue;  // nothing of this root changed
    }
    p_queueRefresh(root, std::move(refresh));
  }
}

void KRVFinderSyncWorkingCopies::p_queueRefresh(const std::string& root, QueuedRefresh refresh) {
  {
    std::lock_guard lock(i_refreshLock);
    auto [queued, added] = i_queuedRefreshes.try_emplace(root, refresh);
    if (!added) {
      // The refresh already waiting runs later than anything done so far.
      // A mere refresh asks for nothing the waiting one does not do.
      QueuedRefresh& waiting = queued->second;
      if (!refresh.rescan) return;
      if (refresh.whole || waiting.whole) {
        waiting = QueuedRefresh{true, true, {}};
        return;
      }
      waiting.rescan = true;
      waiting.changed.merge(refresh.changed);
      // Reports piling up behind a long scan: past this, one whole scan.
      if (waiting.changed.size() > kMaxQueuedChanges) waiting = QueuedRefresh{true, true, {}};
      return;
    }
  }
  i_statusQueue->async([self = shared_from_this(), root] {
    QueuedRefresh refresh;
    {
      std::lock_guard lock(self->i_refreshLock);
      auto queued = self->i_queuedRefreshes.find(root);
      refresh = std::move(queued->second);
      self->i_queuedRefreshes.erase(queued);
    }
    self->p_refreshRoot(root, refresh);
  });
}

void KRVFinderSyncWorkingCopies::p_refreshRoot(const std::string& root, const QueuedRefresh& refresh) {
  // The registry may have let the root go meanwhile.
  if (p_rootPathContainingPath(root) != root) return;
  if (refresh.rescan) {
    p_rescanRoot(root, refresh.whole ? nullptr : &refresh.changed);
    return;
  }
  auto cached = i_statusCache.find(root);
  if (cached == i_statusCache.end() || !p_isFresh(root, cached->second)) p_rescanRoot(root);
}

bool KRVFinderSyncWorkingCopies::p_isWatched(const std::string& rootPath, const StatusCacheEntry& entry) const {
  if (!entry.valid || !entry.complete || !entry.watchEpoch) return false;
  auto epoch = watchEpoch();
  return epoch && epoch(rootPath) == entry.watchEpoch;
}

bool KRVFinderSyncWorkingCopies::p_isFresh(const std::string& rootPath, const StatusCacheEntry& entry) const {
  if (!entry.valid) return false;
  // A clock that went back leaves the entry fresh, as an entry dated in the
  // future is.
  const auto now = i_clock();
  const auto age = now - entry.date;
  if (entry.busy) return age <= kBusyBackOff;
  if (age <= kStatusCacheLifetime) return true;
  if (!p_isWatched(rootPath, entry)) return false;
  // A burst of requests costs one look at the configuration files.
  if (now - entry.configChecked <= kStatusCacheLifetime) return true;
  if (p_configStamp() != entry.config) return false;
  entry.configChecked = now;
  return true;
}

std::optional<std::string> KRVFinderSyncWorkingCopies::p_rootPathContainingPath(const std::string& path) const {
  // A working copy registered inside another one owns its own items.
  std::optional<std::string> innermost;
  for (const auto& root : resolvedRootURLs()) {
    const std::string& rootPath = root.path();
    if (KRVPathIsWithinRoot(path, rootPath) && (!innermost || rootPath.size() > innermost->size()))
      innermost = rootPath;
  }
  return innermost;
}

const KRVFinderSyncWorkingCopies::StatusCacheEntry& KRVFinderSyncWorkingCopies::p_rescanRoot(
    const std::string& rootPath, const std::set<std::string>* changed) {
  auto previous = i_statusCache.find(rootPath);
  const bool hasPrevious = previous != i_statusCache.end();
  // Taken before the scan: a change during it is reported afterwards.
  std::optional<std::uint64_t> epoch;
  if (auto source = watchEpoch()) epoch = source(rootPath);
  ConfigStamp config = p_configStamp();
  std::optional<Scan> patched;
  if (changed != nullptr && hasPrevious) patched = p_rescanFolders(rootPath, previous->second, config, *changed);
  Scan scan = patched ? std::move(*patched)
                      : p_scanWorkingCopyRoot(rootPath, hasPrevious ? previous->second.items.get() : nullptr);
  const auto now = i_clock();
  auto badges = std::make_shared<const BadgeMap>(std::move(scan.badges));
  auto items = std::make_shared<const BadgeMap>(std::move(scan.items));

  // The first scan of a root tells nobody anything: what was asked for
  // was answered from it.
  BadgeChanges changes;
  if (hasPrevious) {
    const BadgeMap& before = *previous->second.badges;
    auto ownItem = [&](const std::string& path) { return p_rootPathContainingPath(path) == rootPath; };
    for (const auto& [path, badge] : *badges) {
      auto old = before.find(path);
      if ((old == before.end() || old->second != badge) && ownItem(path)) changes.emplace_back(path, badge);
    }
    for (const auto& [path, badge] : before)
      if (!badges->contains(path) && ownItem(path)) changes.emplace_back(path, "");
  }

  auto& entry = i_statusCache
                    .insert_or_assign(rootPath, StatusCacheEntry{now, true, scan.complete, scan.busy, epoch,
                                                                 std::move(config), now, badges, items, scan.folders})
                    .first->second;
  if (scan.busy) {
    // Tried again after the back-off even if nobody asks, so the badges
    // catch up once the other program lets go.
    std::weak_ptr<KRVFinderSyncWorkingCopies> weakSelf = weak_from_this();
    i_statusQueue->after(kBusyBackOff.count(), [weakSelf, rootPath] {
      auto self = weakSelf.lock();
      if (!self) return;
      auto cached = self->i_statusCache.find(rootPath);
      if (cached != self->i_statusCache.end() && cached->second.busy)
        self->p_refreshRoot(rootPath, QueuedRefresh{true, true, {}});
    });
  }
  if (!changes.empty()) {
    if (auto callback = badgesDidChange()) {
      dispatch::mainQueue().async([callback = std::move(callback), changes = std::move(changes)] { callback(changes); });
    }
  }
  return entry;
}

std::optional<KRVFinderSyncWorkingCopies::Scan> KRVFinderSyncWorkingCopies::p_rescanFolders(
    const std::string& rootPath, const StatusCacheEntry& last, const ConfigStamp& config,
    const std::set<std::string>& changed) {
  // Only a complete scan of a root watched whole ever since can be patched:
  // then every change since it is named by this report or a later one.
  if (!last.folders || !last.complete || last.busy || last.config != config || !p_isWatched(rootPath, last))
    return std::nullopt;
  const FolderSet& folders = *last.folders;
  std::set<std::string, std::less<>> targets;
  for (const auto& path : changed) {
    // The root, or a folder created, removed or changed itself: its items
    // below may have come or gone unnamed.
    if (path == rootPath || !KRVPathIsWithinRoot(path, rootPath) || folders.contains(path)) return std::nullopt;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::nullopt;
    // The nearest versioned folder: one inside an unversioned or ignored
    // folder changes nothing its scan would not show.
    std::string folder(parentOf(path));
    while (!folders.contains(folder)) {
      if (folder.size() <= rootPath.size()) return std::nullopt;
      folder.resize(parentOf(folder).size());
    }
    targets.insert(std::move(folder));
  }
  if (targets.size() > kMaxPatchedFolders) return std::nullopt;

  Scan scan;
  scan.items = *last.items;
  scan.folders = last.folders;
  std::erase_if(scan.items, [&](const auto& item) {
    return targets.contains(item.first) || targets.contains(parentOf(item.first));
  });
  bool usable = true;
  auto options = KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_immediates);
  auto configDir = p_sharedConfigDirectoryPath();
  for (const auto& target : targets) {
    svn_error_t* err = KRVWorkingCopyStatusScanner::scanLocalTarget(
        target, configDir, options,
        [&](const char* path, const svn_client_status_t* status, const svn_wc_status2_t*) -> svn_error_t* {
          // A folder that became versioned is news to the folder set.
          if (!text::decodeUTF8(path) || !patchable(*status) ||
              (isVersionedFolder(*status) && !folders.contains(path))) {
            usable = false;
            return SVN_NO_ERROR;
          }
          if (auto badge = KRVBadgeForStatus(*status)) scan.items.insert_or_assign(path, std::move(*badge));
          return SVN_NO_ERROR;
        },
        [&](const std::string&) { usable = false; });
    // Whatever went wrong, the whole scan says it properly.
    if (err != nullptr) {
      svn_error_clear(err);
      return std::nullopt;
    }
    if (!usable) return std::nullopt;
  }
  scan.badges = scan.items;
  KRVPropagateBadgesToFolders(scan.badges, rootPath);
  return scan;
}

KRVFinderSyncWorkingCopies::BadgeMap KRVFinderSyncWorkingCopies::p_computeBadgesForWorkingCopyRoot(
    const std::string& rootPath) {
  return p_scanWorkingCopyRoot(rootPath, nullptr).badges;
}

KRVFinderSyncWorkingCopies::Scan KRVFinderSyncWorkingCopies::p_scanWorkingCopyRoot(const std::string& rootPath,
                                                                                const BadgeMap* previous) {
  Scan scan;
  // Only a failed scan needs to know what it reached, and only among the
  // items that had a badge: nothing is kept for each item of the scan.
  std::unordered_set<std::string> reported;
  auto folders = std::make_shared<FolderSet>();
  bool usable = true;
  std::string key;
  auto options = KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_infinity);
  svn_error_t* err = KRVWorkingCopyStatusScanner::scanLocalTarget(
      rootPath, p_sharedConfigDirectoryPath(), options,
      [&](const char* path, const svn_client_status_t* status, const svn_wc_status2_t*) -> svn_error_t* {
        usable = usable && patchable(*status);
        // Most items are unchanged files: they cost no allocation here.
        auto badge = KRVBadgeForStatus(*status);
        const bool folder = isVersionedFolder(*status);
        const bool known = previous != nullptr && !previous->empty() && (key.assign(path), previous->contains(key));
        if (!badge && !folder && !known) return SVN_NO_ERROR;
        // Paths arrive as valid UTF-8 (the scanner's contract); one that is
        // not could never be named to the file manager, so it is left out.
        if (!text::decodeUTF8(path)) return SVN_NO_ERROR;
        if (known) reported.insert(key);
        if (folder) folders->insert(path);
        // A later report of a path wins.
        if (badge) scan.items.insert_or_assign(path, std::move(*badge));
        return SVN_NO_ERROR;
      },
      [&](const std::string& path) {
        usable = false;
        // Once per name for the life of the process, not once per scan.
        if (i_skippedNames.insert(path).second)
          KRVFinderSyncLog().error("Skipped " + printable(path) + ": the name is not valid UTF-8");
      });
  if (err != nullptr && KRVFinderSyncLog().errorEnabled()) {
    // The message is the error's own text when it has one, else a generic
    // one written into the buffer: use what the call returns.
    std::array<char, 1024> buffer{};
    const char* message = svn_err_best_message(err, buffer.data(), buffer.size());
    KRVFinderSyncLog().error("Status scan of " + rootPath + " failed: E" + std::to_string(err->apr_err) + " " +
                             message);
  }
  // A scan that failed (another svn holding the database, say) has not
  // seen the items it did not reach: they keep their last badge for as
  // long as they exist, until a scan reaches them again.
  if (err != nullptr && previous != nullptr) {
    for (const auto& [path, badge] : *previous)
      if (!reported.contains(path) && stillExists(path)) scan.items.try_emplace(path, badge);
  }
  scan.complete = err == nullptr;
  scan.busy = isBusy(err);
  if (scan.complete && usable) scan.folders = std::move(folders);
  svn_error_clear(err);
  // What was reported before a failure still counts.
  scan.badges = scan.items;
  KRVPropagateBadgesToFolders(scan.badges, rootPath);
  return scan;
}
