// The binary property-list reader behind plist::parse (internal to platform/plist).
//
// Contract: reads "bplist00" documents from memory without trusting them: the
// object graph is walked with a depth bound, cycles are refused, and the
// expansion of shared references counts against the node and byte budgets
// before anything is built. UID and null objects are ignorable values: an
// array or dictionary leaves them out. Strings may hold U+0000. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "plist.h"

namespace plist::detail {

inline constexpr int kMaxDepth = 256;
inline constexpr std::size_t kMaxNodes = 200'000;
inline constexpr std::size_t kMaxBytes = 64u << 20;

std::optional<Value> parseBinary(const std::uint8_t* bytes, std::size_t length, std::string* error);

}  // namespace plist::detail
