#include "file-managers/core/paths.h"

#include "platform/foundation/fileurl.h"

namespace filemanagers {

std::optional<std::string> standardLocalPath(std::string_view path) {
  if (!path.starts_with('/')) return std::nullopt;
  return foundation::standardizingPath(path);
}

std::string parentFolder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool isInsideFolder(const std::string& path, const std::string& dir) {
  if (dir == "/") return path.starts_with("/");
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace filemanagers
