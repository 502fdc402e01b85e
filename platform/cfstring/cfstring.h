// Strings from outside bytes, standing in for the CoreFoundation string and
// URL calls a command-line tool makes: text is kept as UTF-8 bytes, and a
// conversion succeeds only for bytes that are valid UTF-8.
//
// Contract:
// - CFStringCreateWithBytes(bytes) is the text of bytes read as UTF-8, or
//   nothing when they are not valid UTF-8 (overlong forms, surrogates, code
//   points above U+10FFFF and NUL bytes count as invalid).
// - CFURLCopyFileSystemPath(url) is the URL's path as text, or nothing when
//   the path is empty or not valid UTF-8 (it then cannot be handed on as text).
// - Pure functions; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/fileurl.h"

namespace cfstring {

std::optional<std::string> CFStringCreateWithBytes(std::string_view bytes);

std::optional<std::string> CFURLCopyFileSystemPath(const foundation::FileURL& url);

}  // namespace cfstring
