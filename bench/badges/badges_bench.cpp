// Measures, on the working copy named by the first argument:
// - our full scan plus badge map against `svn status -v` on the same
//   working copy (median of several runs each, and their ratio);
// - requests per second of badgeIdentifierForURL answered from the cache,
//   replies delivered on the main queue.
// Prints `name: value` lines. Needs XDG_DATA_HOME (or HOME) to point at a
// scratch folder: it writes a manifest there to register the working copy.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/dispatch/dispatch.h"
#include "platform/plist/plist.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// `svn status -v <wc>`, its output thrown away; false when it fails.
bool runSvnStatus(const std::string& wc) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"svn", "status", "-v", wc};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "svn", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool registerWorkingCopy(const std::string& wc) {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string group = std::string(data != nullptr ? data : std::string(std::getenv("HOME")) + "/.local/share") +
                      "/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
  std::filesystem::create_directories(group);
  auto bookmark = bookmarks::bookmarkData(foundation::FileURL::fileURLWithPath(wc), 0);
  if (!bookmark) return false;
  plist::Dictionary entry{{"wcID", std::string("bench")}, {"bookmark", *bookmark}};
  plist::Dictionary manifest{{"generation", std::int64_t(1)}, {"entries", plist::Array{plist::Value(entry)}}};
  return plist::writeFileAtomically(group + "/Manifest.plist", plist::Value(manifest));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s WORKING-COPY\n", argv[0]);
    return 2;
  }
  const std::string wc = std::filesystem::canonical(argv[1]).string();
  constexpr int kRuns = 7;

  // A frozen clock keeps the throughput run on cache hits however long it
  // takes; the scan timings below call the scan directly.
  const auto frozen = std::chrono::system_clock::now();
  auto registry = KRVFinderSyncWorkingCopies::create([frozen] { return frozen; });

  // Warm the page cache and check both sides work before timing them.
  size_t badged = registry->p_computeBadgesForWorkingCopyRoot(wc).size();
  if (badged == 0 || !runSvnStatus(wc)) {
    std::fprintf(stderr, "badges_bench: %s gave no badges or svn status failed\n", wc.c_str());
    return 1;
  }
  std::vector<double> ours, theirs;
  for (int run = 0; run < kRuns; ++run) {
    auto start = Clock::now();
    badged = registry->p_computeBadgesForWorkingCopyRoot(wc).size();
    ours.push_back(secondsSince(start));
    start = Clock::now();
    runSvnStatus(wc);
    theirs.push_back(secondsSince(start));
  }
  std::printf("badges_scan_and_map_ms: %.1f\n", median(ours) * 1000);
  std::printf("badges_svn_status_v_ms: %.1f\n", median(theirs) * 1000);
  std::printf("badges_scan_to_svn_status_ratio: %.2f\n", median(ours) / median(theirs));
  std::printf("badges_badged_items: %zu\n", badged);

  if (!registerWorkingCopy(wc)) {
    std::fprintf(stderr, "badges_bench: cannot register %s\n", wc.c_str());
    return 1;
  }
  registry->reloadManifest();
  // Requests cycle over files of many folders; the first one fills the cache.
  std::vector<foundation::FileURL> items;
  for (auto it = std::filesystem::recursive_directory_iterator(wc); it != decltype(it)() && items.size() < 1000; ++it) {
    if (it->path().filename() == ".svn") {
      it.disable_recursion_pending();
      continue;
    }
    items.push_back(foundation::FileURL::fileURLWithPath(it->path().string()));
  }
  bool warmed = false;
  registry->badgeIdentifierForURL(items.front(), [&warmed](const auto&) { warmed = true; });
  if (!dispatch::runMainUntil([&] { return warmed; }, std::chrono::seconds(60))) return 1;

  constexpr int kRequests = 100000;
  int replies = 0;
  auto start = Clock::now();
  for (int i = 0; i < kRequests; ++i)
    registry->badgeIdentifierForURL(items[static_cast<size_t>(i) % items.size()], [&replies](const auto&) { ++replies; });
  if (!dispatch::runMainUntil([&] { return replies == kRequests; }, std::chrono::seconds(120))) return 1;
  std::printf("badges_cache_hit_requests_per_second: %.0f\n", kRequests / secondsSince(start));
  return 0;
}
