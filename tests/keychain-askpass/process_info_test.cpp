#include "keychain-askpass/KRVProcessInfo.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/nslog/nslog.h"

namespace {

using namespace std::string_literals;
constexpr pid_t kPid = 4242;

std::string block(std::int32_t argc, const std::string& rest) {
  std::string bytes(sizeof argc, '\0');
  std::memcpy(bytes.data(), &argc, sizeof argc);
  return bytes + rest;
}

// A kernel that knows one process and serves a made-up argument block.
struct FakeKernel {
  std::string args;
  bool processExists = true;
  int failProbe = 0;  // non-zero: the size probe returns it
  int failRead = 0;
  // Length reported by each read, in order; when used up, the block size.
  std::vector<std::size_t> readLengths;
  int probes = 0;

  KRVProcessInfo::Sysctl sysctl() {
    return [this](const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void*, std::size_t) {
      if (namelen == 4 && name[1] == process::KERN_PROC) {
        if (processExists && name[3] == kPid) {
          auto* record = static_cast<process::kinfo_proc*>(oldp);
          record->kp_proc.p_pid = kPid;
        } else {
          *oldlenp = 0;
        }
        return 0;
      }
      EXPECT_EQ(namelen, 3u);
      EXPECT_EQ(name[1], process::KERN_PROCARGS2);
      EXPECT_EQ(name[2], kPid);
      if (oldp == nullptr) {
        ++probes;
        *oldlenp = args.size();
        return failProbe;
      }
      if (failRead) return failRead;
      // The buffer has 32 bytes of head room beyond the probed size.
      EXPECT_EQ(*oldlenp, args.size() + 32);
      std::memcpy(oldp, args.data(), std::min(args.size(), *oldlenp));
      std::size_t reported = args.size();
      if (!readLengths.empty()) {
        reported = readLengths.front();
        readLengths.erase(readLengths.begin());
      }
      *oldlenp = reported;
      return 0;
    };
  }
};

struct Parse {
  std::optional<KRVProcessInfo> info;
  std::vector<std::string> log;
};

Parse parse(FakeKernel& kernel) {
  nslog::CaptureLines capture;
  Parse result;
  result.info = KRVProcessInfo::withProcessIdentifier(kPid, kernel.sysctl());
  result.log = capture.lines();
  return result;
}

using Lines = std::vector<std::string>;
using Args = std::vector<std::string>;

TEST(KRVProcessInfo, SshParentGivesItsSixArgumentsAndPath) {
  FakeKernel kernel{block(6, "/usr/bin/ssh\0\0\0\0ssh\0-q\0--\0svnuser@buildhost\0svnserve\0-t\0HOME=/x\0"s)};
  auto result = parse(kernel);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->processIdentifier(), kPid);
  EXPECT_EQ(result.info->executablePath(), "/usr/bin/ssh");
  EXPECT_EQ(result.info->arguments(), (Args{"ssh", "-q", "--", "svnuser@buildhost", "svnserve", "-t"}));
  EXPECT_EQ(result.info->argumentsLeftOut(), 0u);
  EXPECT_TRUE(result.log.empty());
}

TEST(KRVProcessInfo, ArgumentAreaEdges) {
  // argc 0 with a non-NUL byte after the path: no arguments, success.
  FakeKernel none{block(0, "/bin/x\0\0env\0"s)};
  auto result = parse(none);
  ASSERT_TRUE(result.info);
  EXPECT_TRUE(result.info->arguments().empty());

  // An empty argument between two NULs is kept.
  FakeKernel empty{block(3, "/bin/x\0a\0\0c\0"s)};
  result = parse(empty);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->arguments(), (Args{"a", "", "c"}));

  // The last wanted argument may run to the end of the data.
  FakeKernel unterminated{block(2, "/bin/x\0a\0bc"s)};
  result = parse(unterminated);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->arguments(), (Args{"a", "bc"}));

  // An argument that does not decode still counts toward argc.
  FakeKernel undecodable{block(3, "/bin/x\0a\0\xff\xfe\0c\0"s)};
  result = parse(undecodable);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->arguments(), (Args{"a", "c"}));
  EXPECT_EQ(result.info->argumentsLeftOut(), 1u);

  // No path (the system hid it): the path is absent, the arguments are read.
  FakeKernel hidden{block(2, "\0\0\0\0ssh\0svnserve\0"s)};
  result = parse(hidden);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->executablePath(), std::nullopt);
  EXPECT_EQ(result.info->arguments(), (Args{"ssh", "svnserve"}));
}

TEST(KRVProcessInfo, MalformedBlocksFailWithOneLine) {
  struct Case {
    std::string args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {block(0, "/bin/x\0\0\0\0"s), "no string area"},
      {block(2, "/bin/x\0\0\0\0"s), "no string area"},
      {block(3, "/bin/x\0a\0bc"s), "did not recover all arguments"},
      {block(3, "/bin/x\0a\0b\0"s), "did not recover all arguments"},
      {block(1, "/bin/x"s), "unterminated executable path"},
      {"\1\0\0"s, "tiny args_size"},
  };
  for (const auto& c : cases) {
    FakeKernel kernel{c.args};
    auto result = parse(kernel);
    EXPECT_FALSE(result.info) << c.line;
    EXPECT_EQ(result.log, Lines{c.line});
  }
}

TEST(KRVProcessInfo, SysctlFailuresAreLoggedWithThePid) {
  FakeKernel probe{block(1, "/bin/x\0a\0"s)};
  probe.failProbe = -1;
  auto result = parse(probe);
  EXPECT_FALSE(result.info);
  EXPECT_EQ(result.log, Lines{"sysctl (size) for pid 4242"});

  FakeKernel read{block(1, "/bin/x\0a\0"s)};
  read.failRead = -1;
  result = parse(read);
  EXPECT_FALSE(result.info);
  EXPECT_EQ(result.log, Lines{"sysctl (data) for pid 4242"});
}

TEST(KRVProcessInfo, OneByteMoreThanProbedIsReadAgainUpToFourTimes) {
  std::string args = block(1, "/bin/x\0a\0"s);
  FakeKernel always{args, true, 0, 0, {args.size() + 1, args.size() + 1, args.size() + 1, args.size() + 1}};
  auto result = parse(always);
  EXPECT_FALSE(result.info);
  EXPECT_EQ(result.log, Lines{"unexpected args_size"});
  EXPECT_EQ(always.probes, 4);

  FakeKernel thrice{args, true, 0, 0, {args.size() + 1, args.size() + 1, args.size() + 1}};
  result = parse(thrice);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(result.info->arguments(), Args{"a"});
  EXPECT_EQ(thrice.probes, 4);

  // Any other length is taken at once, even a larger one.
  FakeKernel larger{args, true, 0, 0, {args.size() + 2}};
  result = parse(larger);
  ASSERT_TRUE(result.info);
  EXPECT_EQ(larger.probes, 1);
}

TEST(KRVProcessInfo, MissingProcessFailsSilently) {
  FakeKernel kernel{block(1, "/bin/x\0a\0"s)};
  kernel.processExists = false;
  auto result = parse(kernel);
  EXPECT_FALSE(result.info);
  EXPECT_TRUE(result.log.empty());
  EXPECT_EQ(kernel.probes, 0);
}

TEST(KRVProcessInfo, RealChildProcessThroughProc) {
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", "sleep 30 >/dev/null 2>&1; :", "svnuser@buildhost", "svnserve",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::optional<KRVProcessInfo> info;
  for (int i = 0; i < 500 && !(info && info->arguments().size() == 5); ++i) {
    usleep(10000);
    info = KRVProcessInfo::withProcessIdentifier(child);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->processIdentifier(), child);
  EXPECT_EQ(info->arguments(), (Args{"sh", "-c", "sleep 30 >/dev/null 2>&1; :", "svnuser@buildhost", "svnserve"}));
  ASSERT_TRUE(info->executablePath());
  EXPECT_NE(info->executablePath()->find("sh"), std::string::npos);

  // Once reaped, the process is gone: no description and no log line.
  nslog::CaptureLines capture;
  EXPECT_FALSE(KRVProcessInfo::withProcessIdentifier(child));
  EXPECT_TRUE(capture.lines().empty());
}

TEST(KRVProcessInfo, ParentOfThisTestIsFound) {
  auto parent = KRVProcessInfo::parentProcessInfo();
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->processIdentifier(), getppid());
  EXPECT_FALSE(parent->arguments().empty());
}

}  // namespace
