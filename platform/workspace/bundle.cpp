#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/workspace/workspace.h"

namespace workspace {

namespace {

std::mutex bundleMutex;
std::optional<foundation::FileURL> replacedBundleURL;  // guarded by bundleMutex

foundation::FileURL executableFolderURL() {
  std::error_code ec;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return foundation::FileURL::fileURLWithPath(executable.parent_path().string());
}

}  // namespace

foundation::FileURL mainBundleURL() {
  {
    std::lock_guard lock(bundleMutex);
    if (replacedBundleURL) return *replacedBundleURL;
  }
  static const foundation::FileURL executableFolder = executableFolderURL();
  return executableFolder;
}

void setMainBundleURL(std::optional<foundation::FileURL> url) {
  std::lock_guard lock(bundleMutex);
  replacedBundleURL = std::move(url);
}

}  // namespace workspace
