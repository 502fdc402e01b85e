// The XML property-list reader behind plist::parse (internal to platform/plist).
//
// Contract: libplist 2.2 reads XML property lists without a bound on nesting
// or on the number of values, and frees what it built by recursion, so a
// deep or huge document crashes or balloons the process. measureXML() walks
// the text with the same tokenising rules as libplist's reader (only '"'
// quotes, inside start and end tags, processing instructions and the
// doctype; comments and CDATA as it skips them; reading stops where
// libplist's does) and gives the shape of the tree libplist would build, so
// parseXML() hands libplist only documents whose tree stays within the
// bounds. Any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "plist.h"

namespace plist::detail {

// The shape of a libplist tree. depth: the deepest node's level, the root
// being level 0. values: nodes, dictionary keys included. entries: key and
// value pairs set into dictionaries; where a dictionary repeats a key
// libplist keeps the last value, so its tree then holds fewer entries,
// values and possibly levels than were read.
struct Shape {
  int depth = 0;
  std::size_t values = 0;
  std::size_t entries = 0;
  bool operator==(const Shape&) const = default;
};

// The shape of what libplist builds from text (counted up to where it stops,
// on success or on error). Stops counting once depth passes maxDepth or
// values pass maxValues.
Shape measureXML(std::string_view text, int maxDepth, std::size_t maxValues);

// Reads an XML property list (text without NUL) within the bounds of
// binary.h. When built is given and libplist built a tree, *built is that
// tree's shape, so a test can hold it against measureXML().
std::optional<Value> parseXML(const std::string& text, std::string* error, Shape* built = nullptr);

}  // namespace plist::detail
