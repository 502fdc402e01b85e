// KRVFinderSyncWorkingCopies: the registry of working copies. It reads the
// application's manifest, gains access to each working copy's root through
// bookmarks, keeps the set of accessible roots, and computes and caches the
// badge of every item inside them.
//
// Threads: reloadManifest() runs on the main queue or the principal's
// start-up thread, never twice at once. Badge work and the status cache live
// on i_statusQueue. i_stateLock guards only i_resolvedRootURLs and
// i_lastRequestedGenerations and is never held across a call out. Badge
// replies, badgesDidChange and rootURLsDidChange calls arrive on the main
// queue.
//
// Re-badging: every scan of a root after its first is compared with the
// root's previous scan, and badgesDidChange gets each item whose badge
// differs ("" for a badge that went), so changes that touch only ".svn"
// (add, commit, lock, ...) or more files than a change report names still
// reach the file manager. An item belongs to the innermost registered root
// that contains it.
//
// The members are grouped by the file that implements them:
//   KRVFinderSyncWorkingCopies.cpp            instance, manifest, reload
//   KRVFinderSyncWorkingCopies+Bookmarks.cpp  bookmarks, access, recovery
//   KRVFinderSyncWorkingCopies+Badges.cpp     badges and the status cache
// Freshness: a root's status answers requests for 2.0 s after its scan;
// beyond that only while the folder monitor has watched the root whole
// since before that scan (watchEpoch), so any change since is still to be
// reported and will rescan it. A change of the Subversion configuration
// the scans read ends it too (looked for at most every 2.0 s, so no
// answer is staler than the lifetime allows). A scan that found wc.db locked by another
// program keeps the last good badges and is tried again after a back-off
// (or at once when the monitor reports a change).
//
// Members named p_ are private to the registry; they are public here only so
// that tests can reach them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/fileurl.h"
#include "platform/plist/plist.h"

namespace notifications {
class Observation;
}

class KRVFinderSyncWorkingCopies : public std::enable_shared_from_this<KRVFinderSyncWorkingCopies> {
 public:
  using RootURLsDidChange = std::function<void(const foundation::URLSet&)>;
  // (item path, badge identifier or "" to clear), in no particular order.
  using BadgeChanges = std::vector<std::pair<std::string, std::string>>;
  using BadgesDidChange = std::function<void(const BadgeChanges&)>;
  // The badge identifier, or nullopt for no badge.
  using BadgeReply = std::function<void(const std::optional<std::string>&)>;
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // The monitor's whole-watch epoch of a root (see
  // KRVFinderSyncFolderMonitor::wholeWatchEpochForRootPath); any thread.
  using WatchEpoch = std::function<std::optional<std::uint64_t>(const std::string& rootPath)>;
  // Item path to badge identifier, for one working copy.
  using BadgeMap = std::unordered_map<std::string, std::string>;

  // The process-wide registry, made on first use.
  static std::shared_ptr<KRVFinderSyncWorkingCopies> sharedWorkingCopies();
  // A registry of its own, for tests; `clock` is what the status cache reads
  // as "now" (the system clock when empty).
  static std::shared_ptr<KRVFinderSyncWorkingCopies> create(Clock clock = {});
  ~KRVFinderSyncWorkingCopies();

  foundation::URLSet resolvedRootURLs() const;
  RootURLsDidChange rootURLsDidChange() const;
  void setRootURLsDidChange(RootURLsDidChange callback);
  BadgesDidChange badgesDidChange() const;
  void setBadgesDidChange(BadgesDidChange callback);
  WatchEpoch watchEpoch() const;
  void setWatchEpoch(WatchEpoch source);
  void reloadManifest();

  void badgeIdentifierForURL(const foundation::FileURL& url, BadgeReply reply);
  void invalidateCachesForDirectoryURL(const foundation::FileURL& url);
  // The file manager stopped showing the folder: like
  // invalidateCachesForDirectoryURL, except that a root whose status the
  // monitor keeps current keeps it. Any thread.
  void invalidateUnwatchedCachesForDirectoryURL(const foundation::FileURL& url);
  // Scans the root that contains the folder unless its status is fresh (or
  // always, with `rescan`), for nobody in particular: what changed reaches
  // badgesDidChange. While one refresh of a root waits in the queue, further
  // ones join it (a rescan makes the waiting one a rescan), so the queue
  // never holds more than one such scan per root. Any thread.
  void refreshBadgesForDirectoryURL(const foundation::FileURL& url, bool rescan);
  // The monitor's report of changes under rootURL: rescans each registered
  // root at or inside it. When the report names every change, only the
  // folders holding the named files are scanned again (at the depth of
  // their entries) and the folders above them take on the badges anew; a
  // folder created, removed or changed itself, a report naming nothing
  // but the root, and a root whose last scan cannot be patched (the first
  // scan, a failed one, externals) are scanned whole. Badges come out as a
  // whole scan would give them. Joins a refresh already waiting. Any thread.
  void workingCopyDidChange(const foundation::FileURL& rootURL, const std::vector<std::string>& changedPaths,
                            bool namesEverything);

  // --- manifest (KRVFinderSyncWorkingCopies.cpp)
  std::optional<foundation::FileURL> p_groupDirectoryURL() const;
  std::optional<plist::Dictionary> p_loadManifest() const;
  std::optional<std::string> p_sharedConfigDirectoryPath() const;
  void p_manifestDidUpdate();

  // --- bookmarks and recovery (KRVFinderSyncWorkingCopies+Bookmarks.cpp)
  std::optional<foundation::FileURL> p_resolveScopedBookmark(const plist::Data& bookmark, bool* stale);
  std::optional<foundation::FileURL> p_resolveImplicitBookmark(const plist::Data& bookmark);
  std::optional<plist::Data> p_mintOwnScopedBookmarkForURL(const foundation::FileURL& url);
  bool p_probeAccessAtURL(const foundation::FileURL& url);
  void p_requestRecoveryForWorkingCopies(const std::map<std::string, std::int64_t>& generations);
  // Whether the extension's property-list files (its bookmarks, the recovery
  // request) can carry the identifier; when not, logs that the working copy
  // is left out of `what`, so that one identifier spoils no other entry.
  bool p_canStoreIdentifier(const std::string& id, const std::string& what) const;

  // --- badges, on i_statusQueue (KRVFinderSyncWorkingCopies+Badges.cpp)
  // The innermost registered root that is the path or contains it.
  std::optional<std::string> p_rootPathContainingPath(const std::string& path) const;
  BadgeMap p_computeBadgesForWorkingCopyRoot(const std::string& rootPath);
  // The versioned folders of a root, as its last scan found them.
  using FolderSet = std::unordered_set<std::string>;

 private:
  explicit KRVFinderSyncWorkingCopies(Clock clock);
  void p_start();

  // What the configuration files the scans read looked like.
  struct ConfigStamp {
    std::optional<std::string> directory;
    std::vector<std::int64_t> files;  // identity, size and time of each file
    bool operator==(const ConfigStamp&) const = default;
  };
  ConfigStamp p_configStamp() const;

  // A root's last scan. It outlives invalidation (which only makes it
  // stale), as the baseline the next scan is compared with.
  struct StatusCacheEntry {
    std::chrono::system_clock::time_point date;
    bool valid = true;
    bool complete = true;  // the scan ended without an error
    bool busy = false;     // it failed on a locked wc.db
    std::optional<std::uint64_t> watchEpoch;  // taken before the scan
    ConfigStamp config;
    // When the configuration was last found unchanged since the scan.
    mutable std::chrono::system_clock::time_point configChecked;
    std::shared_ptr<const BadgeMap> badges;  // folders raised
    std::shared_ptr<const BadgeMap> items;   // as the items earned them
    std::shared_ptr<const FolderSet> folders;  // null: not to be patched
  };

  struct Scan {
    BadgeMap items;
    BadgeMap badges;
    bool complete = true;
    bool busy = false;
    std::shared_ptr<const FolderSet> folders;
  };
  // What a refresh waiting in i_statusQueue will do for its root.
  struct QueuedRefresh {
    bool rescan = false;
    bool whole = false;              // a rescan of the whole root
    std::set<std::string> changed;  // otherwise, the changed paths
  };
  // On i_statusQueue: scans the root; when it fails, the items it did not
  // reach keep their badges from `previous` while they still exist.
  Scan p_scanWorkingCopyRoot(const std::string& rootPath, const BadgeMap* previous);
  // On i_statusQueue: whether the monitor has kept the entry current since
  // its scan, and whether it may answer for the root now.
  bool p_isWatched(const std::string& rootPath, const StatusCacheEntry& entry) const;
  bool p_isFresh(const std::string& rootPath, const StatusCacheEntry& entry) const;
  // On i_statusQueue: scans the root, stores the entry and reports what
  // changed since the root's previous scan.
  // With `changed`, only the folders holding those paths are scanned
  // again when the last scan allows it.
  const StatusCacheEntry& p_rescanRoot(const std::string& rootPath, const std::set<std::string>* changed = nullptr);
  // On i_statusQueue: the last scan patched by scanning the folders that
  // hold `changed` again, or nothing when only a whole scan will do.
  std::optional<Scan> p_rescanFolders(const std::string& rootPath, const StatusCacheEntry& last,
                                      const ConfigStamp& config, const std::set<std::string>& changed);
  // On i_statusQueue: a refresh of the root, when its status is not fresh
  // (or always, with `refresh.rescan`).
  void p_refreshRoot(const std::string& rootPath, const QueuedRefresh& refresh);
  // Queues a refresh of the root, or joins the one already waiting.
  void p_queueRefresh(const std::string& rootPath, QueuedRefresh refresh);

  // Serialises reloadManifest(): the start-up reload and a notification's
  // reload may come from different threads. Never taken under i_stateLock.
  std::mutex i_reloadLock;
  mutable std::mutex i_stateLock;
  foundation::URLSet i_resolvedRootURLs;                            // guarded by i_stateLock
  std::map<std::string, std::int64_t> i_lastRequestedGenerations;  // guarded by i_stateLock
  std::shared_ptr<dispatch::Queue> i_statusQueue;
  std::unordered_map<std::string, StatusCacheEntry> i_statusCache;  // on i_statusQueue only
  std::set<std::string> i_skippedNames;  // logged names that are not UTF-8; on i_statusQueue only
  mutable std::mutex _rootURLsDidChangeLock;
  RootURLsDidChange _rootURLsDidChange;  // guarded by _rootURLsDidChangeLock
  BadgesDidChange _badgesDidChange;      // guarded by _rootURLsDidChangeLock
  WatchEpoch _watchEpoch;                // guarded by _rootURLsDidChangeLock
  // Roots with a refresh waiting in i_statusQueue, and whether it rescans.
  std::mutex i_refreshLock;
  std::map<std::string, QueuedRefresh> i_queuedRefreshes;  // guarded by i_refreshLock
  Clock i_clock;
  std::unique_ptr<notifications::Observation> i_manifestObservation;
};
