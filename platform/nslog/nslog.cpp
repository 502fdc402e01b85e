#include "platform/nslog/nslog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace nslog {
namespace {

std::mutex captureMutex;
std::vector<std::string>* capture = nullptr;

std::string prefix() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto seconds = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char line[160];
  std::snprintf(line, sizeof line, "%s.%03lld %s[%d:%ld] ", stamp, static_cast<long long>(millis),
                program_invocation_short_name, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
  return line;
}

}  // namespace

void NSLog(const std::string& message) {
  std::string oneLine = message;
  std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
  {
    std::lock_guard lock(captureMutex);
    if (capture != nullptr) {
      capture->push_back(oneLine);
      return;
    }
  }
  auto line = prefix() + oneLine + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

CaptureLines::CaptureLines() {
  std::lock_guard lock(captureMutex);
  capture = new std::vector<std::string>();
}

CaptureLines::~CaptureLines() {
  std::lock_guard lock(captureMutex);
  delete capture;
  capture = nullptr;
}

std::vector<std::string> CaptureLines::lines() const {
  std::lock_guard lock(captureMutex);
  return *capture;
}

}  // namespace nslog
