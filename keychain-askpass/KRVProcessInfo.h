// KRVProcessInfo describes one running process: its kernel record, its
// executable path and its argument list, read once through sysctl
// (KERN_PROC and KERN_PROCARGS2). The askpass tool reads its parent, the
// ssh that started it, to learn which host and user a password is for.
//
// Contract:
// - withProcessIdentifier() yields a description only when the record names
//   the process asked for and its argument block splits cleanly; otherwise
//   none. Each failure to read or split the block logs one NSLog line; a
//   process that does not exist logs nothing.
// - An argument that does not decode as text is left out of the list but
//   still counts toward argc; argumentsLeftOut() says how many were, so that
//   a caller can tell the list no longer lines up with the command line.
// - The executable path is absent when the block holds none (the system
//   hides the executable of a process that is not dumpable); the arguments
//   are read all the same.
// - The description is a snapshot; only the executable path can be changed.
// - Single-threaded; the sysctl used can be replaced (tests hand in one that
//   serves made-up blocks).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/process.h"

class KRVProcessInfo {
 public:
  using Sysctl =
      std::function<int(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
                        std::size_t newlen)>;

  // The process that getppid() names.
  static std::optional<KRVProcessInfo> parentProcessInfo();
  static std::optional<KRVProcessInfo> withProcessIdentifier(pid_t processIdentifier,
                                                             Sysctl sysctl = process::sysctl);

  std::int32_t processIdentifier() const { return kern_proc_info_.kp_proc.p_pid; }
  const std::vector<std::string>& arguments() const { return _arguments; }
  std::size_t argumentsLeftOut() const { return _argumentsLeftOut; }
  const std::optional<std::string>& executablePath() const { return _executablePath; }
  void setExecutablePath(std::optional<std::string> path) { _executablePath = std::move(path); }

 private:
  explicit KRVProcessInfo(Sysctl sysctl) : p_sysctl(std::move(sysctl)) {}
  bool _parseArgs();

  process::kinfo_proc kern_proc_info_{};
  std::vector<std::string> _arguments;
  std::size_t _argumentsLeftOut = 0;
  std::optional<std::string> _executablePath;
  Sysctl p_sysctl;
};
