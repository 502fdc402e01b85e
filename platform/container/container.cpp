#include "container.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace container {

namespace {

std::optional<std::string> dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') return std::string(xdg);
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/share";
  return std::nullopt;
}

}  // namespace

std::optional<foundation::FileURL> containerURLForSecurityApplicationGroupIdentifier(const std::string& group) {
  if (group.empty() || group == "." || group == ".." || group.find('/') != std::string::npos) return std::nullopt;
  auto base = dataHome();
  if (!base) return std::nullopt;
  std::string parent = *base + "/group-containers";
  std::string path = parent + "/" + group;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (!std::filesystem::is_directory(path, ec)) return std::nullopt;
  return foundation::FileURL::fileURLWithPath(path);
}

}  // namespace container
