// Turning bytes into text the way Foundation's string decoding does.
//
// Contract:
// - decodeUTF8() returns the bytes as text when they are valid UTF-8 (NUL
//   bytes inside are allowed), none otherwise. The text holds the same bytes.
// - decodeDefaultCString() decodes with the system's default C-string
//   encoding; on this system that is UTF-8.
// - Pure functions; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace text {

std::optional<std::string> decodeUTF8(std::string_view bytes);
std::optional<std::string> decodeDefaultCString(std::string_view bytes);

}  // namespace text
