#include "fileevents.h"

#include <dirent.h>
#include <glib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/dispatch/dispatch.h"
#include "platform/log/log.h"

namespace fileevents {

namespace {

// Changes of entries and of the folder itself. Open, access and close events
// are left out on purpose: a status scan opens wc.db read-write and closes it
// without writing, and must not look like a change.
constexpr uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                               IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// A ".svn" folder: only what Subversion's own writes cause (wc.db and its
// journal are modified, created, removed or renamed).
constexpr uint32_t kSvnMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR |
                              IN_EXCL_UNLINK;

// How often roots that are not fully watched are checked: a root the
// watch limit cut short is reported (so its working copy is scanned again)
// and watched afresh; a root that is gone is looked for.
constexpr auto kRetryInterval = std::chrono::seconds(5);

bool isSvnFolder(const std::string& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, "/.svn") == 0;
}

const oslog::Logger& log() {
  static const oslog::Logger logger("com.korvaneapp.v3.finder", "FolderMonitor");
  return logger;
}

// Epochs of whole watching, unique in the process; 0 means "not whole".
std::atomic<std::uint64_t> lastEpoch{0};

// One line per shortage, until watching is whole again.
std::atomic<bool> shortageLogged{false};

void logShortage(const std::string& what) {
  if (shortageLogged.exchange(true)) return;
  log().error(what + "; folders that cannot be watched are checked every " +
              std::to_string(kRetryInterval.count()) + " s until watching succeeds.");
}

void logWatchLimit(const std::string& root) {
  logShortage("Cannot watch every folder of " + root +
              ": the inotify watch limit is reached (fs.inotify.max_user_watches). Raise it with "
              "\"sysctl fs.inotify.max_user_watches=524288\"");
}

void logNoInstance() {
  logShortage(
      "No inotify instance left (fs.inotify.max_user_instances). Raise it with "
      "\"sysctl fs.inotify.max_user_instances=1024\"");
}

}  // namespace

struct EventStream::Core {
  Core(int fd, int wakeFd, std::vector<std::string> roots, double latency, Callback callback)
      : fd(fd),
        wakeFd(wakeFd),
        roots(std::move(roots)),
        latency(latency),
        callback(std::move(callback)),
        incomplete(this->roots.size(), false),
        gone(this->roots.size(), false),
        epochs(std::make_unique<std::atomic<std::uint64_t>[]>(this->roots.size())) {}
  ~Core() {
    if (fd >= 0) close(fd);
    close(wakeFd);
  }

  int fd;            // -1 while the system gives no inotify instance
  const int wakeFd;  // an eventfd that tells the reader to end
  const std::vector<std::string> roots;
  const double latency;
  const Callback callback;

  std::mutex mutex;  // guards the lifecycle fields and the batch below
  bool started = false;
  bool stopped = false;
  bool invalidated = false;
  GMainContext* context = nullptr;
  GSource* timer = nullptr;
  std::vector<std::string> batch;
  std::unordered_set<std::string> inBatch;

  std::mutex delivery;  // held while the callback runs, so stop() can wait for it
  std::thread reader;   // joined by stop()

  // Touched by start() before the reader runs, then by the reader only.
  struct Watch {
    std::string path;
    size_t root;
    bool svnArea;
  };
  std::unordered_map<int, Watch> watches;
  std::map<std::string, int> wdByPath;
  std::vector<std::string> noted;  // paths of the events being read, not yet in the batch
  // Roots not fully watched: the watch limit refused a folder, or the root
  // itself is gone (deleted, or moved away with its watches).
  std::vector<bool> incomplete;
  std::vector<bool> gone;
  // Per root: its epoch of whole watching, or 0. Written by the thread that
  // watches, read by any.
  std::unique_ptr<std::atomic<std::uint64_t>[]> epochs;

  void markIncomplete(size_t root) {
    incomplete[root] = true;
    epochs[root] = 0;
  }

  void note(std::string path) { noted.push_back(std::move(path)); }

  // Moves what was noted into the batch; the first path after a calm opens
  // the batching window.
  void flushNoted() {
    if (noted.empty()) return;
    std::lock_guard lock(mutex);
    for (auto& path : noted) {
      if (inBatch.insert(path).second) batch.push_back(std::move(path));
    }
    noted.clear();
    if (batch.empty() || stopped || context == nullptr || timer != nullptr) return;
    auto ms = static_cast<guint>(std::ceil(std::max(0.0, latency) * 1000.0));
    timer = g_timeout_source_new(ms);
    g_source_set_callback(timer, onWindowClosed, new std::shared_ptr<Core>(self()), deleteRef);
    g_source_attach(timer, context);
  }

  void record(int wd, const std::string& path, size_t root, bool svnArea) {
    auto [it, inserted] = watches.try_emplace(wd, Watch{path, root, svnArea});
    if (!inserted && it->second.path != path) {
      wdByPath.erase(it->second.path);
      it->second = Watch{path, root, svnArea};
    }
    wdByPath[path] = wd;
  }

  // Watches `top` and every folder below it (".svn" folders themselves but
  // nothing inside them). With reportEntries, every entry found is noted:
  // they were there before the watch could see them arrive.
  void watchTree(const std::string& top, size_t root, bool reportEntries) {
    std::vector<std::string> folders{top};
    while (!folders.empty()) {
      std::string folder = std::move(folders.back());
      folders.pop_back();
      bool svnArea = isSvnFolder(folder);
      uint32_t mask = svnArea ? kSvnMask : kTreeMask;
      if (folder != roots[root]) mask |= IN_DONT_FOLLOW;
      int wd = inotify_add_watch(fd, folder.c_str(), mask);
      if (wd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
          // The watch limit: report the root, so nothing is lost silently,
          // and keep checking it until it can be watched whole.
          if (errno == ENOSPC) logWatchLimit(roots[root]);
          markIncomplete(root);
          note(roots[root]);
        } else if (folder == roots[root]) {
          markIncomplete(root);  // looked for until it is back
          gone[root] = true;
        }
        // Any other folder that vanished meanwhile has reported its removal.
        continue;
      }
      record(wd, folder, root, svnArea);
      if (svnArea) continue;
      DIR* dir = opendir(folder.c_str());
      if (dir == nullptr) continue;
      while (dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string path = folder + "/" + entry->d_name;
        if (reportEntries) note(path);
        // Unknown types are tried as folders: IN_ONLYDIR refuses the rest.
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) folders.push_back(std::move(path));
      }
      closedir(dir);
    }
  }

  void dropWatch(std::map<std::string, int>::iterator it) {
    inotify_rm_watch(fd, it->second);
    watches.erase(it->second);
    wdByPath.erase(it);
  }

  // Forgets `top` and every folder below it (removed or moved away).
  void dropTree(const std::string& top) {
    if (auto it = wdByPath.find(top); it != wdByPath.end()) dropWatch(it);
    std::string prefix = top + "/";
    auto it = wdByPath.lower_bound(prefix);
    while (it != wdByPath.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
      auto next = std::next(it);
      dropWatch(it);
      it = next;
    }
  }

  // Watches a root whole, afresh; it stays incomplete if that fails again.
  void watchRoot(size_t root) {
    epochs[root] = 0;
    incomplete[root] = gone[root] = false;
    watchTree(roots[root], root, false);
    if (!incomplete[root]) epochs[root] = ++lastEpoch;
  }

  // After an overflow the watch set may have missed folders that came and
  // went: start it afresh and report every root.
  void recoverFromOverflow() {
    for (const auto& [path, wd] : wdByPath) inotify_rm_watch(fd, wd);
    watches.clear();
    wdByPath.clear();
    for (size_t i = 0; i < roots.size(); ++i) {
      note(roots[i]);
      watchRoot(i);
    }
  }

  // The root's own watch ended (deleted) or follows it elsewhere (moved):
  // its paths no longer name it. Report it, and look for it until a folder
  // is at its path again (a fresh checkout, say).
  void loseRoot(size_t root) {
    dropTree(roots[root]);
    note(roots[root]);
    markIncomplete(root);
    gone[root] = true;
  }

  bool anyIncomplete() const {
    if (fd < 0) return true;
    for (bool flag : incomplete)
      if (flag) return true;
    return false;
  }

  // The periodic check of the roots that are not fully watched.
  void retry() {
    if (fd < 0) {
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd < 0) {
        for (const auto& root : roots) note(root);  // checked by their scans, for now
        return;
      }
      for (size_t i = 0; i < roots.size(); ++i) {
        note(roots[i]);
        watchRoot(i);
      }
    } else {
      for (size_t i = 0; i < roots.size(); ++i) {
        if (!incomplete[i]) continue;
        bool wasGone = gone[i];
        watchRoot(i);
        // A root still gone has nothing to report; one that is back, or
        // that the limit still cuts short, is reported.
        if (!(wasGone && gone[i])) note(roots[i]);
      }
    }
    if (!anyIncomplete()) shortageLogged = false;
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      for (size_t i = 0; i < roots.size(); ++i) epochs[i] = 0;
      recoverFromOverflow();
      return;
    }
    auto found = watches.find(event.wd);
    if (found == watches.end()) return;  // a watch already dropped
    const std::string folder = found->second.path;
    const size_t root = found->second.root;
    const bool svnArea = found->second.svnArea;
    if (event.mask & IN_IGNORED) {
      watches.erase(found);
      if (auto it = wdByPath.find(folder); it != wdByPath.end() && it->second == event.wd) wdByPath.erase(it);
      if (folder == roots[root]) loseRoot(root);
      return;
    }
    if (event.len == 0 || event.name[0] == '\0') {
      // The folder itself; its parent reports it, except for a root.
      if (folder != roots[root]) return;
      if (event.mask & IN_MOVE_SELF) {
        loseRoot(root);
      } else {
        note(folder);
      }
      return;
    }
    std::string path = folder + "/" + event.name;
    note(path);
    if (svnArea || !(event.mask & IN_ISDIR)) return;
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      watchTree(path, root, true);
    } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      dropTree(path);
    }
  }

  // The reader thread: drains the kernel's queue as fast as events come, so
  // that a slow consumer on the delivery queue cannot make it overflow.
  // Roots that are not fully watched are checked every kRetryInterval.
  void readUntilStopped() {
    alignas(inotify_event) char buffer[64 * 1024];
    auto nextRetry = std::chrono::steady_clock::now() + kRetryInterval;
    for (;;) {
      int timeout = -1;
      if (anyIncomplete()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextRetry - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      } else {
        nextRetry = std::chrono::steady_clock::now() + kRetryInterval;
      }
      pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
      if (poll(fds, fd >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      if (timeout >= 0 && std::chrono::steady_clock::now() >= nextRetry) {
        retry();
        flushNoted();
        nextRetry = std::chrono::steady_clock::now() + kRetryInterval;
      }
      if (fd < 0 || fds[1].revents == 0) continue;
      for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t offset = 0; offset < n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
          handle(*event);
          offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        flushNoted();
      }
    }
  }

  void deliver() {
    std::vector<std::string> paths;
    std::lock_guard inCallback(delivery);
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
      paths.swap(batch);
      inBatch.clear();
    }
    if (callback && !paths.empty()) callback(paths);
  }

  std::shared_ptr<Core> self() { return weakSelf.lock(); }
  std::weak_ptr<Core> weakSelf;

  static void deleteRef(gpointer data) { delete static_cast<std::shared_ptr<Core>*>(data); }

  static gboolean onWindowClosed(gpointer data) {
    auto core = *static_cast<std::shared_ptr<Core>*>(data);  // alive even if the stream is released meanwhile
    {
      std::lock_guard lock(core->mutex);
      if (core->stopped) return G_SOURCE_REMOVE;
      g_source_unref(core->timer);
      core->timer = nullptr;
    }
    core->deliver();
    return G_SOURCE_REMOVE;
  }
};

std::unique_ptr<EventStream> EventStream::create(std::vector<std::string> rootPaths, double latency,
                                                 Callback callback) {
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return nullptr;
  // Without an instance the stream starts all the same and keeps asking.
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) logNoInstance();
  auto core = std::make_shared<Core>(fd, wakeFd, std::move(rootPaths), latency, std::move(callback));
  core->weakSelf = core;
  return std::unique_ptr<EventStream>(new EventStream(std::move(core)));
}

EventStream::EventStream(std::shared_ptr<Core> core) : core_(std::move(core)) {}

EventStream::~EventStream() { invalidate(); }

bool EventStream::start(const std::shared_ptr<dispatch::Queue>& queue) {
  Core& core = *core_;
  {
    std::lock_guard lock(core.mutex);
    if (core.started || core.invalidated || !queue) return false;
    core.started = true;
  }
  if (core.fd < 0) {
    for (const auto& root : core.roots) core.note(root);
  } else {
    for (size_t i = 0; i < core.roots.size(); ++i) core.watchRoot(i);
  }
  {
    std::lock_guard lock(core.mutex);
    if (core.stopped) return false;
    core.context = g_main_context_ref(queue->context());
  }
  core.flushNoted();  // roots that could not be watched whole
  std::lock_guard lock(core.mutex);
  if (core.stopped) return false;
  // The reader holds no reference: stop() joins it before the core can go.
  core.reader = std::thread([&core] { core.readUntilStopped(); });
  return true;
}

void EventStream::stop() {
  Core& core = *core_;
  GSource* timer = nullptr;
  bool onQueue = false;
  {
    std::lock_guard lock(core.mutex);
    if (core.stopped) return;
    core.stopped = true;
    std::swap(timer, core.timer);
    onQueue = core.context != nullptr && g_main_context_is_owner(core.context);
  }
  uint64_t one = 1;
  if (write(core.wakeFd, &one, sizeof one) < 0) {
    // An eventfd refuses a write only when its counter is full: already woken.
  }
  if (core.reader.joinable()) core.reader.join();
  for (size_t i = 0; i < core.roots.size(); ++i) core.epochs[i] = 0;
  if (timer != nullptr) {
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  // A callback running on the queue right now must end before stop() returns.
  if (!onQueue) std::lock_guard wait(core.delivery);
}

std::optional<std::uint64_t> EventStream::wholeWatchEpoch(const std::string& root) const {
  const Core& core = *core_;
  for (size_t i = 0; i < core.roots.size(); ++i) {
    if (core.roots[i] != root) continue;
    std::uint64_t epoch = core.epochs[i];
    if (epoch == 0) return std::nullopt;
    return epoch;
  }
  return std::nullopt;
}

void EventStream::invalidate() {
  stop();
  std::lock_guard lock(core_->mutex);
  core_->invalidated = true;
  if (core_->context != nullptr) g_main_context_unref(core_->context);
  core_->context = nullptr;
}

}  // namespace fileevents
