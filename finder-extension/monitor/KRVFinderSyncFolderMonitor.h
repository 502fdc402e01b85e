// KRVFinderSyncFolderMonitor: watches the working-copy roots for changes on
// disk and reports, per root, the set of changed files once the root has
// been quiet for a fixed period: at most one report per root per burst.
//
// Threads: initWithQuietPeriod, setMonitoredRootURLs and stop may be called
// from any thread; they return at once. Event noting, per-root bookkeeping
// and quiet-period timers run on the monitor's own serial queue; the change
// handler runs on the main queue, with the root URL and at most 512 changed
// file URLs (possibly none: changes inside ".svn" only).
//
// wholeWatchEpochForRootPath() may be called from any thread: while a root
// is watched whole it returns a number that stays the same until watching
// it breaks (watch limit, overflow, the root gone, a new root list), so a
// status computed while the number held stays current until a report for
// the root says otherwise.
//
// Lifetime: work queued on the monitor's queue and pending timers hold the
// monitor strongly; the event stream holds it weakly. The destructor stops
// the stream and waits for a stream callback in progress, so no callback
// ever runs on a destroyed monitor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/fileurl.h"

namespace dispatch {
class Queue;
}
namespace fileevents {
class EventStream;
}

class KRVFinderSyncFolderMonitor : public std::enable_shared_from_this<KRVFinderSyncFolderMonitor> {
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };


 public:
  // namesEverything: the set names every change of the burst: nothing
  // happened inside ".svn" and no file was left out beyond 512.
  using ChangeHandler = std::function<void(const foundation::FileURL& rootURL, const foundation::URLSet& changedURLs,
                                           bool namesEverything)>;

  // latency: the event stream's batching window (0.5 s in the product; tests pass less)
  static std::shared_ptr<KRVFinderSyncFolderMonitor> initWithQuietPeriod(double quietPeriod,
                                                                         ChangeHandler changeHandler,
                                                                         double latency = 0.5);
  // Standardises and sorts the paths here, applies the list on the queue;
  // the same list again changes nothing. Any thread.
  void setMonitoredRootURLs(const std::vector<foundation::FileURL>& rootURLs);
  // Stops monitoring and forgets pending changes (on the queue).
  void stop();
  // See above; the path is standardised first. Any thread.
  std::optional<std::uint64_t> wholeWatchEpochForRootPath(const std::string& rootPath) const;
  ~KRVFinderSyncFolderMonitor();

  KRVFinderSyncFolderMonitor(const KRVFinderSyncFolderMonitor&) = delete;
  KRVFinderSyncFolderMonitor& operator=(const KRVFinderSyncFolderMonitor&) = delete;

 private:
  KRVFinderSyncFolderMonitor(double quietPeriod, ChangeHandler changeHandler, double latency);

  // All on i_queue.
  void p_applyRootPaths(std::vector<std::string> rootPaths);
  void p_startStream();
  void p_stopStream();
  std::optional<std::string> p_rootPathForEventPath(const std::string& path) const;
  // Records one event; returns the root it was noted for.
  std::optional<std::string> p_noteEventAtPath(const std::string& path);
  // Reports the root once a quiet period passes with no event after its latest.
  void p_scheduleQuietCheckForRootPath(const std::string& rootPath);
  void p_deliverIfQuietForRootPath(const std::string& rootPath, std::uint64_t generation);

  const double i_quietPeriod;
  const ChangeHandler i_changeHandler;
  const std::shared_ptr<dispatch::Queue> i_queue;
  // Replaced on i_queue only, under i_streamLock, which wholeWatchEpoch
  // readers on other threads take too.
  mutable std::mutex i_streamLock;
  std::unique_ptr<fileevents::EventStream> i_stream;
  std::optional<std::vector<std::string>> i_rootPaths;
  std::unordered_map<std::string, foundation::URLSet> i_pendingChangedURLs;
  std::unordered_map<std::string, std::uint64_t> i_generations;
  // Roots whose pending burst names less than every change.
  std::unordered_set<std::string> i_partialRoots;
  const double i_latency;
  // i_rootPaths as a set, for the root lookup of each event.
  std::unordered_set<std::string, StringHash, std::equal_to<>> i_rootPathSet;
};
