#include "platform/cfstring/cfstring.h"

#include <glib.h>

namespace cfstring {

std::optional<std::string> CFStringCreateWithBytes(std::string_view bytes) {
  // With an explicit length GLib rejects NUL bytes as well as malformed UTF-8.
  if (!g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::nullopt;
  return std::string(bytes);
}

std::optional<std::string> CFURLCopyFileSystemPath(const foundation::FileURL& url) {
  if (url.path().empty()) return std::nullopt;
  return CFStringCreateWithBytes(url.path());
}

}  // namespace cfstring
