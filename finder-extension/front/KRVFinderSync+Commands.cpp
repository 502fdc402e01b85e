// Handing a chosen command to the application: a command file in the shared
// container, then the command URL opened with the application.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "KRVFinderSync.h"
#include "platform/container/container.h"
#include "platform/findersync/findersync.h"
#include "platform/plist/plist.h"
#include "platform/uuid/uuid.h"
#include "platform/workspace/workspace.h"

namespace {

const std::string kApplicationBundleIdentifier = "com.korvaneapp.v3";
constexpr std::chrono::seconds kStaleCommandAge{3600};

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Sub-folders deeper than this are left in place by the sweep.
constexpr int kMaxSweepDepth = 32;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// An entry's own modification time; a symbolic link's, not its target's.
std::chrono::system_clock::time_point modificationDate(const struct stat& st) {
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

std::vector<std::string> entryNames(int directory) {
  std::vector<std::string> names;
  DIR* listing = fdopendir(dup(directory));
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  return names;
}

// Removes the entry itself (a link, never its target), a folder with what it
// holds; errors leave things in place.
void removeEntry(int directory, const std::string& name, const struct stat& st, int depth) {
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(directory, name.c_str(), 0);
    return;
  }
  if (depth >= kMaxSweepDepth) return;
  UniqueFd folder(openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return;
  for (const auto& inner : entryNames(folder.get())) {
    struct stat innerStat;
    if (fstatat(folder.get(), inner.c_str(), &innerStat, AT_SYMLINK_NOFOLLOW) == 0)
      removeEntry(folder.get(), inner, innerStat, depth + 1);
  }
  unlinkat(directory, name.c_str(), AT_REMOVEDIR);
}

void sweepStaleEntries(int directory) {
  const auto staleBefore = std::chrono::system_clock::now() - kStaleCommandAge;
  for (const auto& name : entryNames(directory)) {
    struct stat st;
    if (fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (modificationDate(st) < staleBefore) removeEntry(directory, name, st, 0);
  }
}

}  // namespace

std::optional<foundation::FileURL> KRVFinderSync::p_containingAppURL() {
  // The extension lies in <App>.app/Contents/PlugIns/<extension>; a copy of
  // the application that carries this extension wins over any other copy.
  std::optional<foundation::FileURL> url = workspace::mainBundleURL();
  for (int level = 0; level < 3 && url; ++level) url = url->deletingLastPathComponent();
  if (url && lowercased(url->pathExtension()) == "app") return url;
  return workspace::URLForApplicationWithBundleIdentifier(kApplicationBundleIdentifier);
}

void KRVFinderSync::p_sendCommand(const std::string& action) {
  std::vector<std::string> paths = p_selectedItemPaths();
  if (paths.empty()) return;
  // Failures are silent here; the host hands the reason to the bus caller.
  auto fail = [](const std::string& reason) {
    if (auto controller = findersync::defaultController()) controller->reportMenuActionFailure(reason);
  };
  auto applicationURL = p_containingAppURL();
  if (!applicationURL) return fail("the command was not sent: no Korvane application is installed");
  auto containerURL = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!containerURL) return fail("the command was not sent: the application group container is not available");

  const foundation::FileURL directory =
      containerURL->appendingPathComponent("FinderSync").appendingPathComponent("Commands");
  std::error_code ignored;
  std::filesystem::create_directories(containerURL->path(), ignored);
  // Below the container every step is a real folder, never a symbolic link,
  // so neither the sweep nor the write can reach anywhere else.
  UniqueFd folder(open(containerURL->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const char* name : {"FinderSync", "Commands"}) {
    if (!folder) break;
    mkdirat(folder.get(), name, 0777);
    folder = UniqueFd(openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!folder) {
    return fail("the command was not sent: " + directory.path() + " is not a folder: " + std::strerror(errno));
  }
  sweepStaleEntries(folder.get());

  const std::string identifier = uuid::UUIDString();
  plist::Array pathValues(paths.begin(), paths.end());
  const plist::Dictionary command = {
      {"action", action},
      {"paths", std::move(pathValues)},
      {"date", std::chrono::system_clock::now()},
  };
  std::string error;
  if (!plist::writeFileAtomically(folder.get(), identifier + ".plist", command, 0600, &error)) {
    return fail("the command was not sent: " + directory.path() + "/" + error);
  }

  // The file is complete under its final name before the application can
  // receive the URL that names it.
  const std::string url = "korvane://finder-sync-command?id=" + identifier;
  workspace::OpenConfiguration configuration;
  configuration.activates = action == "reveal";
  workspace::openURLs({url}, *applicationURL, configuration);
}

void KRVFinderSync::p_deleteStaleCommandFilesInDirectory(const foundation::FileURL& directory) {
  UniqueFd folder(open(directory.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder) sweepStaleEntries(folder.get());
}
