// File-system event stream over a set of folder trees, on Linux inotify.
//
// Contract:
// - An EventStream reports changes below its root folders as absolute,
//   file-level paths: the path of the file or folder that was created,
//   written, removed, renamed or had its attributes changed. Paths are built
//   from the root paths exactly as given (no symlink resolution).
// - Every folder below a root is watched, and folders that appear later
//   (created or moved in) are watched as they appear; the entries already
//   inside such a folder are reported too, so that a checkout or an unpacked
//   archive is seen whole. Folders removed or moved out are dropped.
// - A folder named ".svn" is watched itself but nothing below it, and only
//   for writes, creations, removals and renames: Subversion's own changes
//   (wc.db, wc.db-journal) show, its pristine store costs no watches.
// - Opening, reading and closing files produce no event, nor does closing a
//   file opened for writing: a Subversion status scan in this process (which
//   opens .svn/wc.db read-write and closes it unchanged) therefore never
//   reports anything. inotify cannot tell which process made a change, so
//   this is how the stream leaves the scans of its own process out; writes
//   this process makes are reported like any other.
// - Nothing is lost silently: a kernel queue overflow reports every root
//   path (and watches are re-established). A root that cannot be watched
//   whole (the fs.inotify.max_user_watches limit, or no inotify instance
//   left: fs.inotify.max_user_instances) is reported, and then every 5 s
//   reported again and watched afresh, until watching it whole succeeds;
//   the shortage is logged once (error level, subsystem
//   "com.korvaneapp.v3.finder", category "FolderMonitor"), naming the limit
//   and the sysctl that raises it.
// - A root that is deleted or moved away is reported, then looked for every
//   5 s; once a folder is at its path again (checked out afresh, say) it is
//   watched and reported.
// - Events are batched by the latency: the first event after a calm opens a
//   window of that many seconds, and every path of the window arrives in one
//   callback when it closes (a path seen twice in a window comes once).
//
// - wholeWatchEpoch() tells whether a root is watched whole right now: a
//   number that stays the same for as long as the root stays watched whole
//   without a break, or nothing while it is not (before start(), after
//   stop(), the watch limit, no inotify instance, the root gone). A number
//   taken before some work that is still current afterwards means that
//   every change made since has been or will be reported.
//
// Threads: all members may be called from any thread. start() sets up the
// watches on the calling thread before it returns, so every change made
// after start() returns is reported; reading events and the callback run on
// the queue given to start(). After stop() returns the callback is not
// running and never runs again, except when stop() is called on the queue
// itself from inside the callback, where the callback in progress finishes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace dispatch {
class Queue;
}

namespace fileevents {

using Callback = std::function<void(const std::vector<std::string>& paths)>;

class EventStream {
 public:
  // A stream over the given root folders, not yet started; nullptr only when
  // the process has no file descriptor left.
  static std::unique_ptr<EventStream> create(std::vector<std::string> rootPaths, double latency, Callback callback);
  // Release: stops and invalidates the stream first when that is still due.
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Watches the roots and delivers on `queue` from now on. A stream starts
  // once; false when it was started or invalidated before.
  bool start(const std::shared_ptr<dispatch::Queue>& queue);
  // Ends delivery; events not yet delivered are dropped.
  void stop();
  // Detaches the stream from its queue for good; start() fails afterwards.
  void invalidate();
  // See the contract above; `root` as given to create().
  std::optional<std::uint64_t> wholeWatchEpoch(const std::string& root) const;

  struct Core;

 private:
  explicit EventStream(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace fileevents
