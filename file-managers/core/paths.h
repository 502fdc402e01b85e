// How the file managers name files to the client core: absolute local paths
// in the service's standard form, and the folder relations the badge map and
// the menu rules are built on.
//
// Contract: pure functions on strings, callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace filemanagers {

// The path as the service names it: absolute, no empty or "." components,
// ".." folded against the component before it (and dropped at the root), no
// trailing "/". nullopt when path is not absolute (a file manager hands such
// a path for locations that are not local files).
std::optional<std::string> standardLocalPath(std::string_view path);

// The folder holding path ("/" for the root and its children).
std::string parentFolder(const std::string& path);

// True when path is dir or lies below it.
bool isInsideFolder(const std::string& path, const std::string& dir);

}  // namespace filemanagers
