// The argument block of the parent process (KERN_PROCARGS2 layout: argc, the
// executable path, then the argument strings) as the askpass tool parses it.
#include <cstdint>
#include <cstring>
#include <string>

#include "keychain-askpass/KRVProcessInfo.h"

namespace {
constexpr pid_t kPid = 4242;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string block(reinterpret_cast<const char*>(data), size);
  auto sysctl = [&](const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void*,
                    std::size_t) -> int {
    if (namelen == 4) {  // the process record
      process::kinfo_proc record;
      record.kp_proc.p_pid = kPid;
      if (oldp != nullptr) std::memcpy(oldp, &record, std::min(*oldlenp, sizeof record));
      *oldlenp = sizeof record;
      return 0;
    }
    (void)name;
    if (oldp != nullptr) std::memcpy(oldp, block.data(), std::min(*oldlenp, block.size()));
    *oldlenp = oldp != nullptr ? std::min(*oldlenp, block.size()) : block.size();
    return 0;
  };
  (void)KRVProcessInfo::withProcessIdentifier(kPid, sysctl);
  return 0;
}
