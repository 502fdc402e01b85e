// whereapp: prints the full path of an installed application, found by its
// identifier (the desktop-file ID without ".desktop") or, for an argument
// holding ".app", by its name. The answer is the bare path on standard
// output; the exit status is 0 when it was found and written, 1 otherwise.
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cfstring/cfstring.h"
#include "platform/launchservices/launchservices.h"

namespace {

constexpr std::string_view kUsage =
    "whereapp: print full path to application\n\n"
    "usage: whereapp bundle_identifier\n"
    "       whereapp application_name.app\n";
static_assert(kUsage.size() == 113);

constexpr std::string_view kApplicationMarker = ".app";

// An argument holding ".app" anywhere names an application: its name is the
// argument without a final ".app". Anything else is an identifier.
std::optional<std::vector<foundation::FileURL>> lookUp(const std::string& argument) {
  if (argument.find(kApplicationMarker) == std::string::npos)
    return launchservices::LSCopyApplicationURLsForBundleIdentifier(argument);
  std::string name = argument;
  if (name.ends_with(kApplicationMarker)) name.resize(name.size() - kApplicationMarker.size());
  return launchservices::applicationURLsForName(name);
}

// One write in practice; a short write is continued so a caller never takes
// a truncated path for the answer.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    // The status is 1 whether or not the usage text reached standard error.
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kUsage.data(), kUsage.size());
    return 1;
  }
  std::optional<std::string> argument = cfstring::CFStringCreateWithBytes(argv[1]);
  if (!argument) return 1;
  std::optional<std::vector<foundation::FileURL>> urls = lookUp(*argument);
  if (!urls) return 1;
  std::optional<std::string> path = cfstring::CFURLCopyFileSystemPath(urls->front());
  if (!path) return 1;
  // A reader that went away shows as a failed write (status 1), not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  return writeAll(STDOUT_FILENO, *path) ? 0 : 1;
}
