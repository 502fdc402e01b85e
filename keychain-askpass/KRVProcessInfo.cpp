#include "keychain-askpass/KRVProcessInfo.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/nslog/nslog.h"
#include "platform/text/text.h"

using nslog::NSLog;

namespace {

// The kernel may report one byte more than the probe promised while the
// process is changing its arguments; such a read is tried again.
constexpr int kArgumentReadPasses = 4;
// Head room beyond the probed size, as the kernel may write a little more.
constexpr std::size_t kArgumentSlack = 32;

}  // namespace

std::optional<KRVProcessInfo> KRVProcessInfo::parentProcessInfo() { return withProcessIdentifier(getppid()); }

std::optional<KRVProcessInfo> KRVProcessInfo::withProcessIdentifier(pid_t processIdentifier, Sysctl sysctl) {
  KRVProcessInfo info(std::move(sysctl));
  int name[] = {process::CTL_KERN, process::KERN_PROC, process::KERN_PROC_PID, processIdentifier};
  std::size_t length = sizeof info.kern_proc_info_;
  if (info.p_sysctl(name, 4, &info.kern_proc_info_, &length, nullptr, 0) != 0) return std::nullopt;
  // A pid with no process leaves the record zero-filled.
  if (info.kern_proc_info_.kp_proc.p_pid == 0 || info.kern_proc_info_.kp_proc.p_pid != processIdentifier)
    return std::nullopt;
  if (!info._parseArgs()) return std::nullopt;
  return info;
}

bool KRVProcessInfo::_parseArgs() {
  pid_t pid = kern_proc_info_.kp_proc.p_pid;
  int name[] = {process::CTL_KERN, process::KERN_PROCARGS2, pid};
  std::string buffer;
  std::size_t length = 0;
  for (int pass = 1;; ++pass) {
    std::size_t size = 0;
    if (p_sysctl(name, 3, nullptr, &size, nullptr, 0) != 0) {
      NSLog("sysctl (size) for pid " + std::to_string(pid));
      return false;
    }
    buffer.assign(size + kArgumentSlack, '\0');
    length = buffer.size();
    if (p_sysctl(name, 3, buffer.data(), &length, nullptr, 0) != 0) {
      NSLog("sysctl (data) for pid " + std::to_string(pid));
      return false;
    }
    if (length != size + 1) break;
    if (pass == kArgumentReadPasses) {
      NSLog("unexpected args_size");
      return false;
    }
  }
  if (length <= 3) {
    NSLog("tiny args_size");
    return false;
  }
  buffer.resize(std::min(length, buffer.size()));
  std::int32_t argc = 0;
  std::memcpy(&argc, buffer.data(), std::min(sizeof argc, buffer.size()));

  std::string_view block(buffer);
  auto pathEnd = block.find('\0', sizeof argc);
  if (pathEnd == std::string_view::npos) {
    NSLog("unterminated executable path");
    return false;
  }
  // An empty path is one the system would not show (see process::sysctl).
  if (pathEnd > sizeof argc)
    _executablePath = text::decodeDefaultCString(block.substr(sizeof argc, pathEnd - sizeof argc));

  auto position = block.find_first_not_of('\0', pathEnd);
  if (position == std::string_view::npos) {
    NSLog("no string area");
    return false;
  }
  std::vector<std::string> arguments;
  std::size_t leftOut = 0;
  for (std::int32_t taken = 0; taken < argc; ++taken) {
    if (position >= block.size()) {
      NSLog("did not recover all arguments");
      return false;
    }
    auto end = std::min(block.find('\0', position), block.size());
    if (auto argument = text::decodeDefaultCString(block.substr(position, end - position))) {
      arguments.push_back(std::move(*argument));
    } else {
      ++leftOut;
    }
    position = end + 1;
  }
  _arguments = std::move(arguments);
  _argumentsLeftOut = leftOut;
  return true;
}
