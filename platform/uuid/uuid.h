// Random identifiers, standing in for NSUUID.
//
// Contract:
// - UUIDString() is a new random (version 4) UUID in its canonical
//   36-character form, upper-case hexadecimal digits and hyphens
//   (8-4-4-4-12), from libuuid's random source.
// - isUUIDString(text) says whether text has exactly that form; lower-case
//   digits count too, anything else (spaces, braces, "/", "..") does not.
// - Both are callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace uuid {

std::string UUIDString();
bool isUUIDString(std::string_view text);

}  // namespace uuid
