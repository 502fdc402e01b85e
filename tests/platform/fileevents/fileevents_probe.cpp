// fileevents_probe ROOT [SECONDS [READY [UNTIL]]]: starts a stream over ROOT
// (batching window 0.5 s), creates the file READY once watching, prints the
// paths of the first batch and of any that follow it within 1.5 s, one per
// line, and exits 0 (1 when nothing came within SECONDS, 10 by default).
// With UNTIL it waits for that path instead, printing everything seen, and
// exits 1 when it did not come within SECONDS.
// On standard error it says whether ROOT was watched whole once started and
// again at the end ("watched whole: yes" or "no").
// The tests run it where the number of watches is limited.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/fileevents/fileevents.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) return 2;
  int seconds = argc >= 3 ? std::atoi(argv[2]) : 10;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> seen;
  size_t batches = 0;
  auto queue = dispatch::makeSerialQueue("fileevents.probe");
  auto stream = fileevents::EventStream::create({argv[1]}, 0.5, [&](const std::vector<std::string>& paths) {
    std::lock_guard lock(mutex);
    seen.insert(seen.end(), paths.begin(), paths.end());
    ++batches;
    arrived.notify_one();
  });
  if (!stream || !stream->start(queue)) return 3;
  auto sayWhole = [&] { std::fprintf(stderr, "watched whole: %s\n", stream->wholeWatchEpoch(argv[1]) ? "yes" : "no"); };
  sayWhole();
  if (argc >= 4) std::fclose(std::fopen(argv[3], "w"));
  std::unique_lock lock(mutex);
  if (argc == 5) {
    std::string until = argv[4];
    bool came = arrived.wait_for(lock, std::chrono::seconds(seconds),
                                 [&] { return std::find(seen.begin(), seen.end(), until) != seen.end(); });
    for (const auto& path : seen) std::printf("%s\n", path.c_str());
    sayWhole();
    return came ? 0 : 1;
  }
  if (!arrived.wait_for(lock, std::chrono::seconds(seconds), [&] { return batches != 0; })) return 1;
  for (size_t known = batches;; known = batches) {
    if (!arrived.wait_for(lock, std::chrono::milliseconds(1500), [&] { return batches != known; })) break;
  }
  for (const auto& path : seen) std::printf("%s\n", path.c_str());
  return 0;
}
