#include "platform/process/process.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace process {
namespace {

std::string procPath(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

std::optional<kinfo_proc> readRecord(pid_t pid) {
  auto stat = readWhole(procPath(pid, "stat"));
  if (!stat) return std::nullopt;
  return recordFromStat(*stat, pid);
}

int fail(int error) {
  errno = error;
  return -1;
}

int processRecord(pid_t pid, void* oldp, std::size_t* oldlenp) {
  if (oldlenp == nullptr) return fail(EINVAL);
  if (oldp == nullptr) {
    *oldlenp = sizeof(kinfo_proc);
    return 0;
  }
  if (*oldlenp < sizeof(kinfo_proc)) return fail(ENOMEM);
  auto record = readRecord(pid);
  if (!record) {
    *oldlenp = 0;
    return 0;
  }
  std::memcpy(oldp, &*record, sizeof(kinfo_proc));
  *oldlenp = sizeof(kinfo_proc);
  return 0;
}

int processArguments(pid_t pid, void* oldp, std::size_t* oldlenp) {
  if (oldlenp == nullptr) return fail(EINVAL);
  auto block = argumentBlock(pid);
  if (!block) return fail(EINVAL);
  if (oldp == nullptr) {
    *oldlenp = block->size();
    return 0;
  }
  auto n = std::min(*oldlenp, block->size());
  std::memcpy(oldp, block->data(), n);
  *oldlenp = n;
  return 0;
}

}  // namespace

// /proc/<pid>/stat: "pid (comm) state ppid ...". The command name may hold
// spaces and parentheses, so it ends at the last ')'.
std::optional<kinfo_proc> recordFromStat(const std::string& text, pid_t pid) {
  const std::string* stat = &text;  // kept as a pointer so the parsing reads as before
  auto open = stat->find('(');
  auto close = stat->rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  kinfo_proc record;
  std::istringstream head(stat->substr(0, open));
  std::istringstream tail(stat->substr(close + 1));
  long id = 0;
  long parent = 0;
  char state = 0;
  if (!(head >> id) || !(tail >> state >> parent) || id != pid) return std::nullopt;
  record.kp_proc.p_pid = static_cast<pid_t>(id);
  record.kp_proc.p_stat = state;
  auto comm = stat->substr(open + 1, close - open - 1);
  std::memcpy(record.kp_proc.p_comm, comm.data(), std::min(comm.size(), sizeof record.kp_proc.p_comm - 1));
  record.kp_eproc.e_ppid = static_cast<pid_t>(parent);
  return record;
}

std::optional<std::string> argumentBlock(pid_t pid) {
  if (!readRecord(pid)) return std::nullopt;
  // A process that is not dumpable, or runs a file its reader may not read,
  // hides its executable from other processes of the user; its arguments
  // stay readable, so the path is left empty rather than failing.
  char exe[PATH_MAX];
  auto exeLength = readlink(procPath(pid, "exe").c_str(), exe, sizeof exe);
  if (exeLength < 0) exeLength = 0;
  auto cmdline = readWhole(procPath(pid, "cmdline"));
  if (!cmdline) return std::nullopt;

  // Each argument ends with a NUL; a process that rewrote its arguments may
  // leave the last one unterminated, which still counts.
  auto argc = static_cast<std::int32_t>(std::count(cmdline->begin(), cmdline->end(), '\0'));
  if (!cmdline->empty() && cmdline->back() != '\0') {
    ++argc;
    cmdline->push_back('\0');
  }
  std::string block(sizeof argc, '\0');
  std::memcpy(block.data(), &argc, sizeof argc);
  block.append(exe, static_cast<std::size_t>(exeLength));
  block.push_back('\0');
  block.append((sizeof(void*) - block.size() % sizeof(void*)) % sizeof(void*), '\0');
  block += *cmdline;
  return block;
}

int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t) {
  if (name == nullptr || newp != nullptr) return fail(EINVAL);
  if (namelen == 4 && name[0] == CTL_KERN && name[1] == KERN_PROC && name[2] == KERN_PROC_PID)
    return processRecord(static_cast<pid_t>(name[3]), oldp, oldlenp);
  if (namelen == 3 && name[0] == CTL_KERN && name[1] == KERN_PROCARGS2)
    return processArguments(static_cast<pid_t>(name[2]), oldp, oldlenp);
  return fail(ENOTSUP);
}

}  // namespace process
