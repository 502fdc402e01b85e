#include "platform/text/text.h"

#include <glib.h>

namespace text {

std::optional<std::string> decodeUTF8(std::string_view bytes) {
  if (!g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)) return std::nullopt;
  return std::string(bytes);
}

std::optional<std::string> decodeDefaultCString(std::string_view bytes) { return decodeUTF8(bytes); }

}  // namespace text
