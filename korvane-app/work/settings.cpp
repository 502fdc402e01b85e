#include "settings.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

#include "finder-extension/registry/KRVBadgeComputation.h"
#include "platform/container/container.h"

namespace appwork {

std::optional<std::string> finderSyncFolder(std::string* error) {
  auto containerURL = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!containerURL) {
    *error = "no application-group container (set HOME or XDG_DATA_HOME)";
    return std::nullopt;
  }
  return containerURL->appendingPathComponent("FinderSync").path();
}

svnclient::Session baseSession() {
  svnclient::Session session;
  std::string error;
  if (auto folder = finderSyncFolder(&error)) {
    std::error_code ec;
    const std::string config = *folder + "/SubversionConfig";
    if (std::filesystem::is_directory(config, ec)) session.configDir = config;
  }
  return session;
}

std::string askpassProgram() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) {
    std::string path(buffer, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + "keychain-askpass";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return KRV_LIBEXEC_DIR "/keychain-askpass";
}

std::string badgeFor(const svn_client_status_t& status) { return KRVBadgeForStatus(status).value_or(""); }

}  // namespace appwork

namespace appwork {

std::string workingCopyKey(const std::string& path) {
  std::error_code ec;
  for (std::filesystem::path folder(path); !folder.empty(); folder = folder.parent_path()) {
    if (std::filesystem::is_directory(folder / ".svn", ec)) return folder.string();
    if (folder == folder.parent_path()) break;
  }
  return path;
}

}  // namespace appwork
