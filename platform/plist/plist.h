// Property lists: a value type and reading and writing through libplist.
//
// Contract:
// - parse() accepts XML and binary property lists; anything else gives
//   nothing and an error text. Outside input is bounded before any library
//   recurses into it or memory is spent on it, XML and binary alike: at
//   most 64 MB, 256 levels of nesting below the root, 200,000 values (keys
//   included) once shared references are expanded, and 64 MB of strings and
//   data, strings counted in UTF-8. UID values are left out of the
//   arrays and dictionaries holding them; a UID root is no document.
// - readFile() reads regular files only, without blocking on a pipe or
//   device; any failure to open or read gives nothing and an error text.
// - Output is always the XML form, and always reads back equal in any XML
//   property-list reader: a document with a string or key that XML cannot
//   carry (control characters, invalid UTF-8) is refused with an error text.
// - writeFileAtomically() writes the whole document to a temporary file in
//   the same folder, then renames it over the target, so a reader sees the
//   old complete file or the new complete file, never a partial one. Given a
//   folder descriptor, it follows no symbolic link at the file's name.
// - Values are plain data; safe to share between threads read-only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace plist {

class Value;
using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Date = std::chrono::system_clock::time_point;

class Value {
 public:
  Value() : v_(Dictionary{}) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : v_(i) {}
  Value(std::uint64_t i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(Data d) : v_(std::move(d)) {}
  Value(Date d) : v_(d) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Dictionary d) : v_(std::move(d)) {}

  // Each gives nullptr when the value is of another type.
  const bool* asBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const Data* asData() const { return std::get_if<Data>(&v_); }
  const Date* asDate() const { return std::get_if<Date>(&v_); }
  const Array* asArray() const { return std::get_if<Array>(&v_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&v_); }

  bool operator==(const Value&) const = default;

 private:
  std::variant<bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary> v_;
};

// The value under key in a dictionary, or nullptr when dict is null or has no such key.
const Value* lookup(const Dictionary* dict, const std::string& key);

std::optional<Value> parse(const Data& bytes, std::string* error = nullptr);
std::optional<Value> readFile(const std::string& path, std::string* error = nullptr);

// Whether a string or key in XML can carry text (see the contract above), so
// a caller can leave out what would make a whole document unwritable.
bool canCarry(const std::string& text);

std::optional<std::string> toXML(const Value& value, std::string* error = nullptr);

bool writeFileAtomically(const std::string& path, const Value& value, mode_t mode = 0644,
                         std::string* error = nullptr);
// name is a plain file name inside the open folder directory.
bool writeFileAtomically(int directory, const std::string& name, const Value& value, mode_t mode = 0644,
                         std::string* error = nullptr);

}  // namespace plist
