// Process records and argument blocks, read the way the kernel's sysctl
// hands them out, so that the code that splits an argument block is the
// same on every system.
//
// Contract:
// - sysctl() answers two names and nothing else:
//   {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}: fills a kinfo_proc with the
//     process's identifier, parent, state and command name. A process that
//     does not exist leaves the output untouched and reports length 0 with
//     result 0, as the kernel does.
//   {CTL_KERN, KERN_PROCARGS2, pid}: the argument block. With oldp == nullptr
//     the call only reports the block's size in *oldlenp; otherwise it copies
//     up to *oldlenp bytes and stores the number copied. A process that is
//     gone, or whose arguments cannot be read, fails (-1, errno set); one
//     whose executable cannot be read (not dumpable, or an execute-only
//     file) gives an empty executable path.
// - Argument block layout (offsets in bytes): 0: argc as int32 in the
//   machine's byte order; 4: executable path, NUL-terminated; NUL padding to
//   the next multiple of the word size; then the argc arguments, each
//   NUL-terminated, argument 0 first.
// - On Linux the record comes from /proc/<pid>/stat, the executable path
//   from /proc/<pid>/exe and the arguments from /proc/<pid>/cmdline.
// - Stateless; callable from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace process {

inline constexpr int CTL_KERN = 1;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_PID = 1;
inline constexpr int KERN_PROCARGS2 = 49;

// The parts of the kernel's process record that exist on every system.
struct extern_proc {
  pid_t p_pid = 0;
  char p_stat = 0;       // state letter as /proc shows it ('R', 'S', 'Z', ...)
  char p_comm[17] = {};  // command name, NUL-terminated, cut to 16 bytes
};
struct eproc {
  pid_t e_ppid = 0;
};
struct kinfo_proc {
  extern_proc kp_proc;
  eproc kp_eproc;
};

// Same signature and result convention as the BSD call: 0 on success,
// -1 with errno on failure.
int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
           std::size_t newlen);

// The record a /proc/<pid>/stat text gives for pid; none when the text is
// malformed or names another pid. For callers that hold the text already.
std::optional<kinfo_proc> recordFromStat(const std::string& stat, pid_t pid);

// The argument block of a pid as sysctl would return it; none when it
// cannot be read. For tests and for callers that want the bytes at once.
std::optional<std::string> argumentBlock(pid_t pid);

}  // namespace process
