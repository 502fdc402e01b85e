// keychain-askpass: ssh's askpass program for svn+ssh tunnels. ssh passes
// the prompt as the first argument and reads the answer from standard
// output: "yes" to a host-key question, the stored password to a password
// prompt, nothing to anything else. Exit status 1 when a password is asked
// for that cannot be served.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "keychain-askpass/KRVAskpass.h"
#include "keychain-askpass/KRVProcessInfo.h"
#include "platform/keychain/keychain.h"

namespace {

bool writeAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    auto n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// No core file, and no other process of the user (a debugger, a reader of
// /proc/<pid>/mem) may look into this one, since it is about to hold a
// password. Done before anything else, so a failure here stops the tool
// before it reaches the keychain.
bool hardenProcess() {
  rlimit noCore{0, 0};
  return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && setrlimit(RLIMIT_CORE, &noCore) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!hardenProcess()) std::exit(1);
  // The parent is read first, whatever the prompt, so that a failure to
  // read it shows on standard error in every case.
  auto parent = KRVProcessInfo::parentProcessInfo();
  std::optional<std::vector<std::string>> parentArguments;
  std::size_t leftOut = 0;
  if (parent) {
    parentArguments = parent->arguments();
    leftOut = parent->argumentsLeftOut();
  }
  std::string prompt = argc >= 2 ? argv[1] : "";

  auto answer = KRVAnswerPrompt(prompt, parentArguments, leftOut);
  if (answer.status != 0) std::exit(answer.status);
  bool written = writeAll(STDOUT_FILENO, answer.output);
  close(STDOUT_FILENO);
  // std::exit runs no destructors of this frame: wipe the answer here.
  keychain::wipe(answer.output);
  std::exit(written ? 0 : 1);
}
