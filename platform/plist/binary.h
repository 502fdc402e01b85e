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
#if defined(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION) && !defined(KRV_PLIST_FULL_BUDGET)
// Fuzz builds spend a smaller budget, so that inputs which expand up to it
// stay cheap to run under the sanitizers; the checks are the same code.
// KRV_PLIST_FULL_BUDGET builds a reader with the full budget for one target.
inline constexpr std::size_t kMaxNodes = 4'096;
inline constexpr std::size_t kMaxBytes = 1u << 20;
#else
inline constexpr std::size_t kMaxNodes = 200'000;
inline constexpr std::size_t kMaxBytes = 64u << 20;
#endif

std::optional<Value> parseBinary(const std::uint8_t* bytes, std::size_t length, std::string* error);

}  // namespace plist::detail
