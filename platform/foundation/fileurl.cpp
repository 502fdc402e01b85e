#include "fileurl.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace foundation {

namespace {

std::optional<std::string> homeOf(std::string_view user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return std::string(pw->pw_dir);
    return std::nullopt;
  }
  std::string name(user);
  if (const passwd* pw = getpwnam(name.c_str()); pw != nullptr && pw->pw_dir != nullptr) return std::string(pw->pw_dir);
  return std::nullopt;
}

std::string expandTilde(std::string_view path) {
  if (path.empty() || path[0] != '~') return std::string(path);
  size_t slash = path.find('/');
  std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
  auto home = homeOf(user);
  if (!home) return std::string(path);
  return *home + std::string(slash == std::string_view::npos ? std::string_view() : path.substr(slash));
}

}  // namespace

std::string standardizingPath(std::string_view input) {
  std::string path = expandTilde(input);
  if (path.empty()) return path;
  const bool absolute = path[0] == '/';
  std::vector<std::string_view> parts;
  std::string_view rest(path);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        continue;
      }
      if (absolute) continue;  // ".." at the root stays at the root
    }
    parts.push_back(part);
  }
  std::string out;
  for (auto part : parts) {
    if (!out.empty() || absolute) out += '/';
    out += part;
  }
  if (out.empty() && absolute) return "/";
  return out;
}

FileURL FileURL::fileURLWithPath(std::string_view path) {
  FileURL url;
  url.path_ = std::string(path);
  while (url.path_.size() > 1 && url.path_.back() == '/') url.path_.pop_back();
  return url;
}

std::string FileURL::lastPathComponent() const {
  if (path_ == "/") return "/";
  size_t slash = path_.rfind('/');
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

std::string FileURL::pathExtension() const {
  std::string last = lastPathComponent();
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
  return last.substr(dot + 1);
}

std::string FileURL::absoluteString() const {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path_) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

FileURL FileURL::appendingPathComponent(std::string_view component) const {
  if (path_.empty()) return fileURLWithPath(component);
  std::string joined = path_;
  if (joined.back() != '/') joined += '/';
  joined += component;
  return fileURLWithPath(joined);
}

std::optional<FileURL> FileURL::deletingLastPathComponent() const {
  if (path_.empty() || path_ == "/") return std::nullopt;
  size_t slash = path_.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  if (slash == 0) return fileURLWithPath("/");
  return fileURLWithPath(std::string_view(path_).substr(0, slash));
}

}  // namespace foundation
