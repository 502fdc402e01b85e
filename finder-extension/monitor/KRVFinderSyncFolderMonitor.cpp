#include "KRVFinderSyncFolderMonitor.h"

#include <algorithm>

#include "platform/dispatch/dispatch.h"
#include "platform/fileevents/fileevents.h"

namespace {

constexpr size_t kMaxChangedURLsPerRoot = 512;

// Inside the administrative area: changes there say "something changed in
// this working copy" but name no file worth re-badging.
bool isInsideSvnArea(const std::string& path) {
  if (path.find("/.svn/") != std::string::npos) return true;
  return path.size() >= 5 && path.compare(path.size() - 5, 5, "/.svn") == 0;
}

}  // namespace

std::shared_ptr<KRVFinderSyncFolderMonitor> KRVFinderSyncFolderMonitor::initWithQuietPeriod(
    double quietPeriod, ChangeHandler changeHandler, double latency) {
  return std::shared_ptr<KRVFinderSyncFolderMonitor>(
      new KRVFinderSyncFolderMonitor(quietPeriod, std::move(changeHandler), latency));
}

KRVFinderSyncFolderMonitor::KRVFinderSyncFolderMonitor(double quietPeriod, ChangeHandler changeHandler,
                                                       double latency)
    : i_quietPeriod(quietPeriod),
      i_changeHandler(std::move(changeHandler)),
      i_queue(dispatch::makeSerialQueue("com.korvaneapp.finder-sync.folder-monitor")),
      i_latency(latency) {}

// Nothing else can reach the monitor now: queued work and timers hold it
// strongly, so none is left. The stream holds it weakly, and stopping it
// waits for a callback in progress (which finds the monitor gone).
KRVFinderSyncFolderMonitor::~KRVFinderSyncFolderMonitor() { p_stopStream(); }

void KRVFinderSyncFolderMonitor::setMonitoredRootURLs(const std::vector<foundation::FileURL>& rootURLs) {
  std::vector<std::string> rootPaths;
  rootPaths.reserve(rootURLs.size());
  for (const auto& url : rootURLs) {
    std::string path = url.standardizedPath();
    if (!path.empty()) rootPaths.push_back(std::move(path));
  }
  // Ascending order puts every root before the roots nested inside it.
  std::sort(rootPaths.begin(), rootPaths.end());
  i_queue->async([self = shared_from_this(), rootPaths = std::move(rootPaths)]() mutable {
    self->p_applyRootPaths(std::move(rootPaths));
  });
}

void KRVFinderSyncFolderMonitor::p_applyRootPaths(std::vector<std::string> rootPaths) {
  static const std::vector<std::string> kNone;
  if (rootPaths == i_rootPaths.value_or(kNone)) return;  // keeps the stream and pending changes
  p_stopStream();
  i_rootPaths = std::move(rootPaths);
  i_rootPathSet = {i_rootPaths->begin(), i_rootPaths->end()};
  // Roots that stay keep their pending changes, and the quiet-period checks
  // already scheduled for them still report them; the others are forgotten.
  std::erase_if(i_pendingChangedURLs, [&](const auto& item) { return !i_rootPathSet.contains(item.first); });
  std::erase_if(i_generations, [&](const auto& item) { return !i_rootPathSet.contains(item.first); });
  std::erase_if(i_partialRoots, [&](const auto& root) { return !i_rootPathSet.contains(root); });
  p_startStream();
}

void KRVFinderSyncFolderMonitor::stop() {
  i_queue->async([self = shared_from_this()] {
    self->p_stopStream();
    self->i_rootPaths.reset();
    self->i_rootPathSet.clear();
    self->i_pendingChangedURLs.clear();
    self->i_generations.clear();
    self->i_partialRoots.clear();
  });
}

void KRVFinderSyncFolderMonitor::p_startStream() {
  if (!i_rootPaths || i_rootPaths->empty()) return;
  std::weak_ptr<KRVFinderSyncFolderMonitor> weakSelf = weak_from_this();
  auto stream = fileevents::EventStream::create(*i_rootPaths, i_latency, [weakSelf](const auto& paths) {
    auto self = weakSelf.lock();
    if (!self) return;
    // The paths of a batch arrive at one moment: one quiet-period check per
    // root, for the root's last event, is what a check per event amounts to.
    std::vector<std::string> touched;
    for (const auto& path : paths) {
      auto root = self->p_noteEventAtPath(path);
      if (root && std::find(touched.begin(), touched.end(), *root) == touched.end()) touched.push_back(*root);
    }
    for (const auto& root : touched) self->p_scheduleQuietCheckForRootPath(root);
  });
  if (!stream) return;
  if (!stream->start(i_queue)) return;  // released here; monitoring stays off until the next list
  std::lock_guard lock(i_streamLock);
  i_stream = std::move(stream);
}

void KRVFinderSyncFolderMonitor::p_stopStream() {
  std::unique_ptr<fileevents::EventStream> stream;
  {
    std::lock_guard lock(i_streamLock);
    stream = std::move(i_stream);
  }
  if (!stream) return;
  stream->stop();
  stream->invalidate();
}

std::optional<std::uint64_t> KRVFinderSyncFolderMonitor::wholeWatchEpochForRootPath(const std::string& rootPath) const {
  std::string path = foundation::FileURL::fileURLWithPath(rootPath).standardizedPath();
  std::lock_guard lock(i_streamLock);
  if (!i_stream) return std::nullopt;
  return i_stream->wholeWatchEpoch(path);
}

// The innermost root that is the path or one of its ancestors: a working
// copy registered inside another one reports its own changes. Trying the
// path's ancestors finds it without comparing against every root.
std::optional<std::string> KRVFinderSyncFolderMonitor::p_rootPathForEventPath(const std::string& path) const {
  if (!i_rootPaths) return std::nullopt;
  if (i_rootPathSet.count(path)) return path;
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
    std::string_view ancestor(path.data(), slash);
    if (i_rootPathSet.count(ancestor)) return std::string(ancestor);
  }
  if (!path.empty() && path[0] == '/' && i_rootPathSet.count(std::string_view("/"))) return std::string("/");
  return std::nullopt;
}

std::optional<std::string> KRVFinderSyncFolderMonitor::p_noteEventAtPath(const std::string& path) {
  auto root = p_rootPathForEventPath(path);
  if (!root) return std::nullopt;
  auto& pending = i_pendingChangedURLs[*root];
  if (isInsideSvnArea(path)) {
    i_partialRoots.insert(*root);
  } else {
    auto url = foundation::FileURL::fileURLWithPath(path);
    if (pending.size() < kMaxChangedURLsPerRoot) {
      pending.insert(std::move(url));
    } else if (!pending.contains(url)) {
      i_partialRoots.insert(*root);
    }
  }
  ++i_generations[*root];
  return root;
}

void KRVFinderSyncFolderMonitor::p_scheduleQuietCheckForRootPath(const std::string& rootPath) {
  std::uint64_t generation = i_generations[rootPath];
  // Truncated to whole nanoseconds, as the timer's resolution is.
  double delay = static_cast<double>(static_cast<std::int64_t>(i_quietPeriod * 1e9)) / 1e9;
  i_queue->after(delay, [self = shared_from_this(), rootPath, generation] {
    self->p_deliverIfQuietForRootPath(rootPath, generation);
  });
}

void KRVFinderSyncFolderMonitor::p_deliverIfQuietForRootPath(const std::string& rootPath, std::uint64_t generation) {
  auto current = i_generations.find(rootPath);
  if ((current == i_generations.end() ? 0 : current->second) != generation) return;  // a later event's check follows
  if (!i_rootPaths || std::find(i_rootPaths->begin(), i_rootPaths->end(), rootPath) == i_rootPaths->end()) return;
  foundation::URLSet changed;
  if (auto pending = i_pendingChangedURLs.find(rootPath); pending != i_pendingChangedURLs.end()) {
    changed = std::move(pending->second);
    i_pendingChangedURLs.erase(pending);
  }
  i_generations.erase(rootPath);
  const bool namesEverything = i_partialRoots.erase(rootPath) == 0;
  auto rootURL = foundation::FileURL::fileURLWithPath(rootPath);
  if (!i_changeHandler) return;
  dispatch::mainQueue().async(
      [handler = i_changeHandler, rootURL = std::move(rootURL), changed = std::move(changed), namesEverything] {
        handler(rootURL, changed, namesEverything);
      });
}
