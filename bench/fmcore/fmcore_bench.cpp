// Measures, on a folder of a registered working copy: the time from the
// client core's first badge request until it holds the badge of every entry,
// each run with a freshly started finder-extension (nothing cached), against
// `svn status` of the same folder in the same run; and the CPU time the
// service and the bus daemon spent per 10,000 badges (from /proc/<pid>/stat).
// Prints `name: value` lines.
#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "file-managers/core/badgeclient.h"
#include "platform/dispatch/dispatch.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

pid_t spawn(std::vector<std::string> args, bool quiet) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

bool finished(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// User plus system CPU seconds of a process.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t busDaemonPid() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return -1;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
      g_variant_new("(s)", "org.freedesktop.DBus"), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      nullptr);
  g_object_unref(bus);
  if (reply == nullptr) return -1;
  guint32 pid = 0;
  g_variant_get(reply, "(u)", &pid);
  g_variant_unref(reply);
  return static_cast<pid_t>(pid);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FINDER-EXTENSION FOLDER RUNS\n", argv[0]);
    return 2;
  }
  const std::string extension = argv[1];
  const std::string folder = std::filesystem::canonical(argv[2]).string();
  const int runs = std::max(1, std::atoi(argv[3]));
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string()[0] != '.') paths.push_back(entry.path().string());
  }
  const pid_t daemon = busDaemonPid();
  if (paths.empty() || daemon <= 0) {
    std::fprintf(stderr, "fmcore_bench: no entries in %s or no bus daemon\n", folder.c_str());
    return 1;
  }
  finished(spawn({"svn", "status", folder}, true));  // warms the page cache for both sides

  std::vector<double> ours, theirs, serviceCpu, daemonCpu, firsts, signals;
  for (int run = 0; run < runs; ++run) {
    pid_t service = spawn({extension}, false);
    std::string error;
    auto client = filemanagers::BadgeClient::create({60s}, &error);
    if (service <= 0 || !client ||
        // Asked before the service took its name, the core hears it come.
        !dispatch::runMainUntil([&] { return client->serviceRunning(); }, 30s) ||
        !client->isInsideWatchedFolder(folder)) {
      std::fprintf(stderr, "fmcore_bench: the service did not start or does not watch %s: %s%s\n", folder.c_str(),
                   error.c_str(), client ? client->lastError().c_str() : "");
      if (service > 0) kill(service, SIGTERM);
      return 1;
    }
    // A file manager meets a service that has long finished starting: wait
    // until its start-up work is over (no CPU used for 300 ms), and past the
    // registry's 2 s status-cache lifetime so that nothing is cached.
    auto started = Clock::now();
    for (double before = -1, now = cpuSeconds(service); now != before || Clock::now() - started < 2500ms;) {
      dispatch::runMainUntil([] { return false; }, 300ms);
      before = now;
      now = cpuSeconds(service);
    }
    std::unordered_set<std::string> waiting(paths.begin(), paths.end());
    std::optional<Clock::time_point> firstAnswer;
    std::size_t batches = 0;
    client->onBadgesChanged([&](const std::vector<std::string>& changed) {
      if (!firstAnswer) firstAnswer = Clock::now();
      ++batches;
      for (const auto& path : changed) waiting.erase(path);
    });
    double service0 = cpuSeconds(service), daemon0 = cpuSeconds(daemon);
    auto start = Clock::now();
    for (const auto& path : paths) {
      if (client->badgeForPath(path)) waiting.erase(path);
    }
    bool all = dispatch::runMainUntil([&] { return waiting.empty(); }, 120s);
    ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (firstAnswer) firsts.push_back(std::chrono::duration<double>(*firstAnswer - start).count());
    signals.push_back(static_cast<double>(batches));
    serviceCpu.push_back(cpuSeconds(service) - service0);
    daemonCpu.push_back(cpuSeconds(daemon) - daemon0);
    client.reset();
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    if (!all) {
      std::fprintf(stderr, "fmcore_bench: %zu of %zu badges never came\n", waiting.size(), paths.size());
      return 1;
    }
    start = Clock::now();
    if (!finished(spawn({"svn", "status", folder}, true))) {
      std::fprintf(stderr, "fmcore_bench: svn status %s failed\n", folder.c_str());
      return 1;
    }
    theirs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  const double per10000 = 10000.0 / static_cast<double>(paths.size());
  std::printf("fmcore_items: %zu\n", paths.size());
  std::printf("fmcore_all_badges_ms: %.1f\n", median(ours) * 1000);
  std::printf("fmcore_first_badges_ms: %.1f\n", firsts.empty() ? 0.0 : median(firsts) * 1000);
  std::printf("fmcore_badge_signals: %.0f\n", median(signals));
  std::printf("fmcore_svn_status_ms: %.1f\n", median(theirs) * 1000);
  std::printf("fmcore_badges_to_svn_status_ratio: %.2f\n", median(ours) / median(theirs));
  std::printf("fmcore_service_cpu_ms_per_10000_badges: %.0f\n", median(serviceCpu) * 1000 * per10000);
  std::printf("fmcore_bus_daemon_cpu_ms_per_10000_badges: %.0f\n", median(daemonCpu) * 1000 * per10000);
  return 0;
}
