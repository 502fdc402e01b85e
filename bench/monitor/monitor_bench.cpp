// monitor_bench setup TREE [ROUNDS]: seconds to establish watches on TREE
//   (median of ROUNDS starts of the event stream).
// monitor_bench burst DIR [ROOTS] [FILES_PER_ROOT]: creates ROOTS folders of
//   FILES_PER_ROOT files under DIR, monitors them, changes every file once as
//   fast as it can, and reports what the monitor delivered.
// Prints `name: value` lines.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "finder-extension/monitor/KRVFinderSyncFolderMonitor.h"
#include "platform/dispatch/dispatch.h"
#include "platform/fileevents/fileevents.h"

using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto tv = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return tv(usage.ru_utime) + tv(usage.ru_stime);
}

int setup(const std::string& tree, int rounds) {
  std::vector<double> times;
  auto queue = dispatch::makeSerialQueue("bench.setup");
  for (int i = 0; i < rounds; ++i) {
    auto stream = fileevents::EventStream::create({tree}, 0.5, nullptr);
    auto start = Clock::now();
    if (!stream || !stream->start(queue)) return 1;
    times.push_back(seconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  std::printf("monitor_watch_setup_seconds: %.4f\n", times[times.size() / 2]);
  return 0;
}

int burst(const std::string& dir, int roots, int filesPerRoot) {
  std::vector<std::string> files;
  std::vector<foundation::FileURL> rootURLs;
  for (int r = 0; r < roots; ++r) {
    std::string root = dir + "/root" + std::to_string(r);
    mkdir(root.c_str(), 0755);
    rootURLs.push_back(foundation::FileURL::fileURLWithPath(root));
    for (int f = 0; f < filesPerRoot; ++f) {
      files.push_back(root + "/file" + std::to_string(f));
      int fd = open(files.back().c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) close(fd);
    }
  }
  constexpr double kQuiet = 1.0;
  std::mutex mutex;
  size_t reported = 0, reports = 0;
  bool rootReported = false;  // an overflow or a folder that could not be watched
  Clock::time_point lastReport;
  auto monitor = KRVFinderSyncFolderMonitor::initWithQuietPeriod(
      kQuiet,
      [&](const foundation::FileURL& root, const foundation::URLSet& changed, bool) {
        std::lock_guard lock(mutex);
        ++reports;
        if (changed.count(root)) rootReported = true;
        reported += changed.size() - changed.count(root) - changed.count(root.appendingPathComponent(".armed"));
        lastReport = Clock::now();
      },
      0.1);
  monitor->setMonitoredRootURLs(rootURLs);
  // Running once a probe in the last root is reported.
  std::string probe = rootURLs.back().path() + "/.armed";
  for (int i = 0; i < 50 && reports == 0; ++i) {
    int fd = open(probe.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
    dispatch::runMainUntil([&] { return reports != 0; }, std::chrono::milliseconds(1500));
  }
  reports = 0;

  double processCPU = cpuSeconds(RUSAGE_SELF), writerCPU = cpuSeconds(RUSAGE_THREAD);
  auto start = Clock::now();
  for (const auto& file : files) {
    if (truncate(file.c_str(), 1) != 0) return 1;
  }
  auto written = Clock::now();
  dispatch::runMainUntil([&] { return reports >= static_cast<size_t>(roots); }, std::chrono::seconds(60));
  // The last report leaves one quiet period after the last event was noted.
  dispatch::runMainUntil([] { return false; }, std::chrono::milliseconds(static_cast<int>(kQuiet * 1500)));
  double ingest = seconds(lastReport - start) - kQuiet;
  // CPU of every thread but this one (the writer): the monitor's queue
  // reading, batching and noting the events.
  double monitorCPU = (cpuSeconds(RUSAGE_SELF) - processCPU) - (cpuSeconds(RUSAGE_THREAD) - writerCPU);
  std::printf("burst_changes: %zu\n", files.size());
  std::printf("burst_write_seconds: %.3f\n", seconds(written - start));
  std::printf("burst_reports: %zu\n", reports);
  std::printf("burst_changed_files_reported: %zu\n", reported);
  std::printf("burst_changed_files_lost: %zu\n", files.size() - std::min(reported, files.size()));
  std::printf("burst_root_reported_as_changed: %s\n", rootReported ? "yes" : "no");
  // Bounded by how fast this machine makes the changes: the monitor keeps up
  // when its lag behind the last write is about the stream's latency.
  std::printf("monitor_events_per_second_wall: %.0f\n", static_cast<double>(files.size()) / ingest);
  std::printf("monitor_lag_after_last_write_seconds: %.3f\n", seconds(lastReport - written) - kQuiet);
  std::printf("monitor_cpu_seconds: %.3f\n", monitorCPU);
  std::printf("monitor_events_per_cpu_second: %.0f\n", static_cast<double>(files.size()) / monitorCPU);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "setup") return setup(argv[2], argc > 3 ? std::atoi(argv[3]) : 5);
  if (argc >= 3 && std::string(argv[1]) == "burst") {
    return burst(argv[2], argc > 3 ? std::atoi(argv[3]) : 200, argc > 4 ? std::atoi(argv[4]) : 500);
  }
  std::fprintf(stderr, "usage: monitor_bench setup TREE [ROUNDS] | burst DIR [ROOTS] [FILES_PER_ROOT]\n");
  return 2;
}
