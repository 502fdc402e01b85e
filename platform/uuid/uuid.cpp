#include "platform/uuid/uuid.h"

#include <uuid/uuid.h>

#include <cctype>

namespace uuid {

std::string UUIDString() {
  uuid_t value;
  uuid_generate_random(value);
  char text[37];
  uuid_unparse_upper(value, text);
  return text;
}

bool isUUIDString(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen != (text[i] == '-')) return false;
    if (!hyphen && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace uuid
