#include "fileevents.h"

#include <dirent.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/dispatch/dispatch.h"

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
constexpr int kReadsPerDispatch = 64;

bool isSvnFolder(const std::string& path) {
  return path.size() >= 5 && path.compare(path.size() - 5, 5, "/.svn") == 0;
}

}  // namespace

struct EventStream::Core {
  Core(int fd, std::vector<std::string> roots, double latency, Callback callback)
      : fd(fd), roots(std::move(roots)), latency(latency), callback(std::move(callback)) {}
  ~Core() { close(fd); }

  const int fd;
  const std::vector<std::string> roots;
  const double latency;
  const Callback callback;

  std::mutex mutex;  // guards the lifecycle fields below
  bool started = false;
  bool stopped = false;
  bool invalidated = false;
  GMainContext* context = nullptr;
  GSource* fdSource = nullptr;
  GSource* timer = nullptr;

  std::mutex delivery;  // held while the callback runs, so stop() can wait for it

  // Touched by start() before the sources are attached, then on the queue only.
  struct Watch {
    std::string path;
    size_t root;
    bool svnArea;
  };
  std::unordered_map<int, Watch> watches;
  std::map<std::string, int> wdByPath;
  std::vector<std::string> batch;
  std::unordered_set<std::string> inBatch;

  bool isRootPath(const std::string& path) const {
    for (const auto& root : roots) {
      if (root == path) return true;
    }
    return false;
  }

  void note(const std::string& path) {
    if (!inBatch.insert(path).second) return;
    batch.push_back(path);
    if (batch.size() == 1) openWindow();
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
        // A folder that vanished meanwhile has reported its own removal;
        // any other failure (the watch limit) would lose changes silently.
        if (errno != ENOENT && errno != ENOTDIR) note(roots[root]);
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

  // After an overflow the watch set may have missed folders that came and
  // went: start it afresh and report every root.
  void recoverFromOverflow() {
    for (const auto& [path, wd] : wdByPath) inotify_rm_watch(fd, wd);
    watches.clear();
    wdByPath.clear();
    for (size_t i = 0; i < roots.size(); ++i) {
      note(roots[i]);
      watchTree(roots[i], i, false);
    }
  }

  void handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
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
      if (isRootPath(folder)) note(folder);
      return;
    }
    if (event.len == 0 || event.name[0] == '\0') {
      // The folder itself; its parent reports it, except for a root.
      if (isRootPath(folder)) note(folder);
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

  void readEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (int i = 0; i < kReadsPerDispatch; ++i) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return;
      for (ssize_t offset = 0; offset < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        handle(*event);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  // The first event after a calm opens the batching window.
  void openWindow() {
    std::lock_guard lock(mutex);
    if (stopped || context == nullptr || timer != nullptr) return;
    auto ms = static_cast<guint>(std::ceil(std::max(0.0, latency) * 1000.0));
    timer = g_timeout_source_new(ms);
    g_source_set_callback(timer, onWindowClosed, new std::shared_ptr<Core>(self()), deleteRef);
    g_source_attach(timer, context);
  }

  void deliver() {
    std::vector<std::string> paths;
    paths.swap(batch);
    inBatch.clear();
    std::lock_guard inCallback(delivery);
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
    }
    if (callback && !paths.empty()) callback(paths);
  }

  std::shared_ptr<Core> self() { return weakSelf.lock(); }
  std::weak_ptr<Core> weakSelf;

  static std::shared_ptr<Core> ref(gpointer data) { return *static_cast<std::shared_ptr<Core>*>(data); }
  static void deleteRef(gpointer data) { delete static_cast<std::shared_ptr<Core>*>(data); }

  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto core = ref(data);  // keeps the core alive even if the stream is released meanwhile
    {
      std::lock_guard lock(core->mutex);
      if (core->stopped) return G_SOURCE_REMOVE;
    }
    core->readEvents();
    return G_SOURCE_CONTINUE;
  }

  static gboolean onWindowClosed(gpointer data) {
    auto core = ref(data);
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
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  auto core = std::make_shared<Core>(fd, std::move(rootPaths), latency, std::move(callback));
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
  for (size_t i = 0; i < core.roots.size(); ++i) core.watchTree(core.roots[i], i, false);
  bool pending = false;
  {
    std::lock_guard lock(core.mutex);
    if (core.stopped) return false;
    core.context = g_main_context_ref(queue->context());
    core.fdSource = g_unix_fd_source_new(core.fd, G_IO_IN);
    g_source_set_callback(core.fdSource, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(Core::onReadable)),
                          new std::shared_ptr<Core>(core_), Core::deleteRef);
    g_source_attach(core.fdSource, core.context);
    pending = !core.batch.empty();  // roots that could not be watched whole
  }
  if (pending) core.openWindow();
  return true;
}

void EventStream::stop() {
  Core& core = *core_;
  GSource* fdSource = nullptr;
  GSource* timer = nullptr;
  bool onQueue = false;
  {
    std::lock_guard lock(core.mutex);
    if (core.stopped) return;
    core.stopped = true;
    std::swap(fdSource, core.fdSource);
    std::swap(timer, core.timer);
    onQueue = core.context != nullptr && g_main_context_is_owner(core.context);
  }
  for (GSource* source : {fdSource, timer}) {
    if (source == nullptr) continue;
    g_source_destroy(source);
    g_source_unref(source);
  }
  // A callback running on the queue right now must end before stop() returns.
  if (!onQueue) std::lock_guard wait(core.delivery);
}

void EventStream::invalidate() {
  stop();
  std::lock_guard lock(core_->mutex);
  core_->invalidated = true;
  if (core_->context != nullptr) g_main_context_unref(core_->context);
  core_->context = nullptr;
}

}  // namespace fileevents
