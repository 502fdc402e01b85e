// fileevents_probe ROOT [SECONDS]: starts a stream over ROOT, prints the
// paths of the first batch one per line, and exits 0 (1 when nothing came
// within SECONDS, 10 by default).
// The tests run it where the number of watches is limited.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/fileevents/fileevents.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  int seconds = argc == 3 ? std::atoi(argv[2]) : 10;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> first;
  bool done = false;
  auto queue = dispatch::makeSerialQueue("fileevents.probe");
  auto stream = fileevents::EventStream::create({argv[1]}, 0.05, [&](const std::vector<std::string>& paths) {
    std::lock_guard lock(mutex);
    if (done) return;
    first = paths;
    done = true;
    arrived.notify_one();
  });
  if (!stream || !stream->start(queue)) return 3;
  std::unique_lock lock(mutex);
  if (!arrived.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) return 1;
  for (const auto& path : first) std::printf("%s\n", path.c_str());
  return 0;
}
