#include "received.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/plist/plist.h"

namespace appwork {

namespace {

// Command files are a few hundred bytes; anything far larger is not one.
constexpr std::size_t kLargestCommandFile = 1 << 20;

std::optional<plist::Data> readAll(int fd, std::string* error) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    return std::nullopt;
  }
  plist::Data bytes;
  std::uint8_t buffer[8192];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > kLargestCommandFile) {
      *error = "too large";
      return std::nullopt;
    }
  }
}

}  // namespace

std::optional<ReceivedCommand> takeCommandFile(const std::string& finderSync, const std::string& identifier,
                                               std::string* error) {
  const std::string name = identifier + ".plist";
  const std::string path = finderSync + "/Commands/" + name;
  const int folder = open((finderSync + "/Commands").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    *error = "cannot read the command file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read the command file " + path + ": " + std::strerror(errno);
    close(folder);
    return std::nullopt;
  }
  std::string readError;
  auto bytes = readAll(fd, &readError);
  close(fd);
  // Used up once read, so it cannot be replayed.
  if (bytes) unlinkat(folder, name.c_str(), 0);
  close(folder);
  if (!bytes) {
    *error = "cannot read the command file " + path + ": " + readError;
    return std::nullopt;
  }
  auto document = plist::parse(*bytes, &readError);
  if (!document) {
    *error = "cannot read the command file " + path + ": " + readError;
    return std::nullopt;
  }
  return commandFromDocument(*document, path, error);
}

void appendToReceivedLog(const std::string& finderSync, const std::string& text) {
  const std::string path = finderSync + "/ReceivedCommands.log";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "korvane-app: %s: %s\n", path.c_str(), std::strerror(errno));
    return;
  }
  if (write(fd, text.data(), text.size()) < 0) std::perror("korvane-app: ReceivedCommands.log");
  close(fd);
}

}  // namespace appwork
