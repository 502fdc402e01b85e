#include "platform/process/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A shell child that waits under the given arguments until it is killed.
class Child {
 public:
  explicit Child(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"sh", "-c", "sleep 30 >/dev/null 2>&1; :", "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    char self[PATH_MAX] = {};
    readlink("/proc/self/exe", self, sizeof self - 1);
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv("/bin/sh", argv.data());
      _exit(127);
    }
    // Wait until the child runs the shell with its arguments in place: exec
    // switches /proc/<pid>/exe before the new argument area is filled in.
    std::string expected;
    for (const auto& a : args) expected += a + '\0';
    for (int i = 0; i < 500; ++i) {
      char exe[PATH_MAX] = {};
      bool execed = readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), exe, sizeof exe - 1) > 0 &&
                    std::string(exe) != self;
      if (execed && commandLine() == expected) break;
      usleep(10000);
    }
  }
  ~Child() { reap(); }
  void reap() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  std::string commandLine() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/cmdline", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  pid_t pid_ = -1;
};

int sysctlRecord(pid_t pid, process::kinfo_proc* record, std::size_t* length) {
  int name[] = {process::CTL_KERN, process::KERN_PROC, process::KERN_PROC_PID, pid};
  *length = sizeof *record;
  return process::sysctl(name, 4, record, length, nullptr, 0);
}

std::string realPath(const char* path) {
  char* resolved = realpath(path, nullptr);
  std::string result = resolved;
  std::free(resolved);
  return result;
}

TEST(ProcessSysctl, RecordOfAChildNamesItAndThisProcessAsParent) {
  Child child;
  process::kinfo_proc record;
  std::size_t length = 0;
  ASSERT_EQ(sysctlRecord(child.pid(), &record, &length), 0);
  EXPECT_EQ(length, sizeof record);
  EXPECT_EQ(record.kp_proc.p_pid, child.pid());
  EXPECT_EQ(record.kp_eproc.e_ppid, getpid());
  EXPECT_STREQ(record.kp_proc.p_comm, "sh");
}

TEST(ProcessSysctl, ArgumentBlockOfAChildHasTheHostLayout) {
  Child child({"", "extra arg"});
  int name[] = {process::CTL_KERN, process::KERN_PROCARGS2, child.pid()};
  std::size_t size = 0;
  ASSERT_EQ(process::sysctl(name, 3, nullptr, &size, nullptr, 0), 0);
  std::string block(size + 32, '\x7f');
  std::size_t length = block.size();
  ASSERT_EQ(process::sysctl(name, 3, block.data(), &length, nullptr, 0), 0);
  ASSERT_EQ(length, size);
  block.resize(length);

  std::int32_t argc = 0;
  std::memcpy(&argc, block.data(), sizeof argc);
  EXPECT_EQ(argc, 6);
  std::string path = realPath("/bin/sh");
  EXPECT_EQ(block.substr(4, path.size() + 1), path + std::string(1, '\0'));
  // The strings start on a word boundary after NUL padding.
  auto strings = block.find_first_not_of('\0', 4 + path.size());
  EXPECT_EQ(strings % sizeof(void*), 0u);
  EXPECT_EQ(block.substr(strings), std::string("sh\0-c\0sleep 30 >/dev/null 2>&1; :\0sh\0\0extra arg\0", 48));
}

TEST(ProcessSysctl, ShortBufferGetsThePrefixAndItsLength) {
  Child child;
  int name[] = {process::CTL_KERN, process::KERN_PROCARGS2, child.pid()};
  char buffer[6] = {};
  std::size_t length = sizeof buffer;
  ASSERT_EQ(process::sysctl(name, 3, buffer, &length, nullptr, 0), 0);
  EXPECT_EQ(length, sizeof buffer);
  EXPECT_EQ(buffer[4], '/');
}

TEST(ProcessSysctl, GoneProcessHasAnEmptyRecordAndNoArguments) {
  Child child;
  pid_t pid = child.pid();
  child.reap();
  process::kinfo_proc record;
  std::size_t length = 0;
  ASSERT_EQ(sysctlRecord(pid, &record, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(record.kp_proc.p_pid, 0);

  int name[] = {process::CTL_KERN, process::KERN_PROCARGS2, pid};
  std::size_t size = 0;
  EXPECT_EQ(process::sysctl(name, 3, nullptr, &size, nullptr, 0), -1);
  EXPECT_FALSE(process::argumentBlock(pid));
}

TEST(ProcessSysctl, UnknownNamesAndNewValuesAreRefused) {
  int unknown[] = {process::CTL_KERN, 99, getpid()};
  std::size_t size = 0;
  EXPECT_EQ(process::sysctl(unknown, 3, nullptr, &size, nullptr, 0), -1);
  int args[] = {process::CTL_KERN, process::KERN_PROCARGS2, getpid()};
  int value = 1;
  EXPECT_EQ(process::sysctl(args, 3, nullptr, &size, &value, sizeof value), -1);
}

}  // namespace
