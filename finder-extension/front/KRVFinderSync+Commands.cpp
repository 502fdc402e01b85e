// Handing a chosen command to the application: a command file in the shared
// container, then the command URL opened with the application.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "KRVFinderSync.h"
#include "platform/container/container.h"
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

// An entry's own modification time; a symbolic link's, not its target's.
std::optional<std::chrono::system_clock::time_point> contentModificationDate(const std::filesystem::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
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
  auto applicationURL = p_containingAppURL();
  if (!applicationURL) return;
  auto containerURL = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!containerURL) return;

  const foundation::FileURL directory =
      containerURL->appendingPathComponent("FinderSync").appendingPathComponent("Commands");
  std::error_code ignored;
  std::filesystem::create_directories(directory.path(), ignored);
  p_deleteStaleCommandFilesInDirectory(directory);

  const std::string identifier = uuid::UUIDString();
  plist::Array pathValues(paths.begin(), paths.end());
  const plist::Dictionary command = {
      {"action", action},
      {"paths", std::move(pathValues)},
      {"date", std::chrono::system_clock::now()},
  };
  const std::string file = directory.appendingPathComponent(identifier + ".plist").path();
  if (!plist::writeFileAtomically(file, command, 0600)) return;

  // The file is complete under its final name before the application can
  // receive the URL that names it.
  const std::string url = "korvane://finder-sync-command?id=" + identifier;
  workspace::OpenConfiguration configuration;
  configuration.activates = action == "reveal";
  workspace::openURLs({url}, *applicationURL, configuration);
}

void KRVFinderSync::p_deleteStaleCommandFilesInDirectory(const foundation::FileURL& directory) {
  std::error_code ec;
  std::filesystem::directory_iterator entries(directory.path(), ec);
  if (ec) return;
  const auto staleBefore = std::chrono::system_clock::now() - kStaleCommandAge;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
    const std::filesystem::path path = entries->path();
    auto modified = contentModificationDate(path);
    if (modified && *modified < staleBefore) {
      // remove_all removes a symbolic link itself, never what it points to.
      std::error_code removeError;
      std::filesystem::remove_all(path, removeError);
    }
  }
}
