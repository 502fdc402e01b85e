// KRVFinderSyncWorkingCopies: the registry of working copies. It reads the
// application's manifest, gains access to each working copy's root through
// bookmarks, keeps the set of accessible roots, and computes and caches the
// badge of every item inside them.
//
// Threads: reloadManifest() runs on the main queue or the principal's
// start-up thread, never twice at once. Badge work and the status cache live
// on i_statusQueue. i_stateLock guards only i_resolvedRootURLs and
// i_lastRequestedGenerations and is never held across a call out. Badge
// replies and rootURLsDidChange calls arrive on the main queue.
//
// The members are grouped by the file that implements them:
//   KRVFinderSyncWorkingCopies.cpp            instance, manifest, reload
//   KRVFinderSyncWorkingCopies+Bookmarks.cpp  bookmarks, access, recovery
//   KRVFinderSyncWorkingCopies+Badges.cpp     badges and the status cache
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
#include <string>
#include <unordered_map>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/fileurl.h"
#include "platform/plist/plist.h"

namespace notifications {
class Observation;
}

class KRVFinderSyncWorkingCopies : public std::enable_shared_from_this<KRVFinderSyncWorkingCopies> {
 public:
  using RootURLsDidChange = std::function<void(const foundation::URLSet&)>;
  // The badge identifier, or nullopt for no badge.
  using BadgeReply = std::function<void(const std::optional<std::string>&)>;
  using Clock = std::function<std::chrono::system_clock::time_point()>;
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
  void reloadManifest();

  void badgeIdentifierForURL(const foundation::FileURL& url, BadgeReply reply);
  void invalidateCachesForDirectoryURL(const foundation::FileURL& url);

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

  // --- badges, on i_statusQueue (KRVFinderSyncWorkingCopies+Badges.cpp)
  std::optional<std::string> p_rootPathContainingPath(const std::string& path) const;
  BadgeMap p_computeBadgesForWorkingCopyRoot(const std::string& rootPath);

 private:
  explicit KRVFinderSyncWorkingCopies(Clock clock);
  void p_start();

  struct StatusCacheEntry {
    std::chrono::system_clock::time_point date;
    std::shared_ptr<const BadgeMap> badges;
  };

  // Serialises reloadManifest(): the start-up reload and a notification's
  // reload may come from different threads. Never taken under i_stateLock.
  std::mutex i_reloadLock;
  mutable std::mutex i_stateLock;
  foundation::URLSet i_resolvedRootURLs;                            // guarded by i_stateLock
  std::map<std::string, std::int64_t> i_lastRequestedGenerations;  // guarded by i_stateLock
  std::shared_ptr<dispatch::Queue> i_statusQueue;
  std::unordered_map<std::string, StatusCacheEntry> i_statusCache;  // on i_statusQueue only
  mutable std::mutex _rootURLsDidChangeLock;
  RootURLsDidChange _rootURLsDidChange;  // guarded by _rootURLsDidChangeLock
  Clock i_clock;
  std::unique_ptr<notifications::Observation> i_manifestObservation;
};
