// File URLs and path standardising, standing in for NSURL file URLs and
// -[NSString stringByStandardizingPath].
//
// A FileURL is a value: a path string, compared and ordered by that string.
// Like NSURL's `path`, the path has no trailing "/" except for the root "/";
// it is otherwise kept as given (not standardised). Thread-safe as any value.
#pragma once

#include <compare>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace foundation {

// Tilde expanded ("~" and "~user"), empty and "." components removed, ".."
// folded against the component before it (and dropped at the root of an
// absolute path), no trailing "/". The empty string stays empty.
std::string standardizingPath(std::string_view path);

class FileURL {
 public:
  FileURL() = default;
  static FileURL fileURLWithPath(std::string_view path);

  const std::string& path() const { return path_; }
  std::string standardizedPath() const { return standardizingPath(path_); }
  std::string lastPathComponent() const;
  // The extension of the last component without its ".", or "".
  std::string pathExtension() const;
  // file:// URL text, with the path percent-encoded where a URL needs it.
  std::string absoluteString() const;

  FileURL appendingPathComponent(std::string_view component) const;
  // Nothing when the path has no component left to remove ("/" or "").
  std::optional<FileURL> deletingLastPathComponent() const;

  auto operator<=>(const FileURL&) const = default;
  bool operator==(const FileURL&) const = default;

 private:
  std::string path_;
};

using URLSet = std::set<FileURL>;

}  // namespace foundation

template <>
struct std::hash<foundation::FileURL> {
  size_t operator()(const foundation::FileURL& url) const noexcept { return std::hash<std::string>()(url.path()); }
};
