// krv-askpass-parent PARENT_ARGS... -- CHILD CHILD_ARGS...
//
// Stands in for the ssh that starts an askpass program: it runs itself
// again with PARENT_ARGS as its whole argument list (so /proc shows, say,
// "ssh -q -- svnuser@buildhost svnserve -t"), then starts CHILD as its own
// child with the standard streams inherited, and exits with its status.
// With KRV_PARENT_STUB_NOT_DUMPABLE set it makes itself non-dumpable first,
// as hardened ssh builds do, which hides its executable from its child.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kChildVariable[] = "KRV_PARENT_STUB_CHILD";
constexpr char kNotDumpableVariable[] = "KRV_PARENT_STUB_NOT_DUMPABLE";
constexpr char kSeparator = '\x1f';

int runChild(const std::string& joined) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (auto end = joined.find(kSeparator); ; end = joined.find(kSeparator, start)) {
    parts.push_back(joined.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::vector<char*> argv;
  for (auto& part : parts) argv.push_back(part.data());
  argv.push_back(nullptr);
  unsetenv(kChildVariable);
  if (std::getenv(kNotDumpableVariable) != nullptr && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return 127;
  unsetenv(kNotDumpableVariable);
  pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* child = std::getenv(kChildVariable)) return runChild(child);
  // The last "--" separates the child, so parent arguments may hold "--".
  int split = argc - 1;
  while (split > 0 && std::strcmp(argv[split], "--") != 0) --split;
  if (split <= 1 || split + 1 >= argc) {
    std::fprintf(stderr, "usage: krv-askpass-parent PARENT_ARGS... -- CHILD [ARGS...]\n");
    return 2;
  }
  std::string joined;
  for (int i = split + 1; i < argc; ++i) {
    if (i > split + 1) joined += kSeparator;
    joined += argv[i];
  }
  setenv(kChildVariable, joined.c_str(), 1);
  std::vector<char*> parentArgs(argv + 1, argv + split);
  parentArgs.push_back(nullptr);
  execv("/proc/self/exe", parentArgs.data());
  std::perror("krv-askpass-parent: exec");
  return 127;
}
