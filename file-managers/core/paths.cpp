#include "file-managers/core/paths.h"

#include <vector>

namespace filemanagers {

std::optional<std::string> standardLocalPath(std::string_view path) {
  if (!path.starts_with('/')) return std::nullopt;
  std::vector<std::string_view> components;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  if (components.empty()) return "/";
  std::string result;
  for (const auto component : components) {
    result += '/';
    result += component;
  }
  return result;
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
