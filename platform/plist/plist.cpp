#include "plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <random>

#include "binary.h"
#include "xml.h"

namespace plist {

namespace {

// Seconds between the Unix epoch and the property-list epoch (2001-01-01).
constexpr std::int64_t kEpochOffset = 978307200;

struct NodeDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// A UID (keyed-archiver reference) means nothing to our readers: fromNode
// gives an empty Value for it, and containers leave it out.
bool isIgnorable(plist_t node) { return plist_get_node_type(node) == PLIST_UID; }

std::optional<Value> fromNode(plist_t node, int depth) {
  // measureXML() keeps libplist's trees within this depth.
  if (node == nullptr || depth > detail::kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      // By pointer and length: a string holding U+0000 trips an assertion in
      // libplist's copying getter.
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      return Value(s != nullptr ? std::string(s, length) : std::string());
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data out(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
      std::free(bytes);
      return Value(std::move(out));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      auto since = std::chrono::seconds(kEpochOffset + sec) + std::chrono::microseconds(usec);
      return Value(Date(std::chrono::duration_cast<Date::duration>(since)));
    }
    case PLIST_ARRAY: {
      Array out;
      uint32_t n = plist_array_get_size(node);
      out.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        plist_t child = plist_array_get_item(node, i);
        if (child != nullptr && isIgnorable(child)) continue;
        auto item = fromNode(child, depth + 1);
        if (!item) return std::nullopt;
        out.push_back(std::move(*item));
      }
      return Value(std::move(out));
    }
    case PLIST_DICT: {
      Dictionary out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (key == nullptr) break;
        std::string k = key;
        std::free(key);
        if (item != nullptr && isIgnorable(item)) continue;
        auto v = fromNode(item, depth + 1);
        if (!v) {
          std::free(it);
          return std::nullopt;
        }
        out.insert_or_assign(std::move(k), std::move(*v));
      }
      std::free(it);
      return Value(std::move(out));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const Value& value) {
  if (auto b = value.asBool()) return plist_new_bool(*b ? 1 : 0);
  if (auto i = value.asInteger()) return plist_new_uint(static_cast<uint64_t>(*i));
  if (auto d = value.asReal()) return plist_new_real(*d);
  if (auto s = value.asString()) return plist_new_string(s->c_str());
  if (auto data = value.asData())
    return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
  if (auto date = value.asDate()) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(date->time_since_epoch()).count() -
              kEpochOffset * 1000000;
    auto sec = us / 1000000;
    auto rem = us % 1000000;
    if (rem < 0) {
      rem += 1000000;
      sec -= 1;
    }
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(rem));
  }
  if (auto array = value.asArray()) {
    plist_t node = plist_new_array();
    for (const auto& item : *array) plist_array_append_item(node, toNode(item));
    return node;
  }
  plist_t node = plist_new_dict();
  for (const auto& [key, item] : *value.asDictionary()) plist_dict_set_item(node, key.c_str(), toNode(item));
  return node;
}

void setError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// Files larger than this are refused unread.
constexpr std::size_t kMaxFileSize = detail::kMaxBytes;

// Whether XML 1.0 can carry the text, and so whether an XML reader gives it
// back: valid UTF-8 without control characters other than tab, line feed and
// carriage return, and without U+FFFE or U+FFFF.
bool isXMLText(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned c = *p;
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || end - p <= extra) return false;
    std::uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    if ((code < 0x20 && code != '\t' && code != '\n' && code != '\r') || code == 0xFFFE || code == 0xFFFF)
      return false;
    p += extra + 1;
  }
  return true;
}

bool isWritable(const Value& value, std::string* error) {
  auto refuse = [&](const std::string& text) {
    setError(error, "the string \"" + text.substr(0, 64) +
                        "\" holds a character that a property list in XML cannot carry");
    return false;
  };
  if (auto s = value.asString()) return isXMLText(*s) || refuse(*s);
  if (auto array = value.asArray()) {
    for (const auto& item : *array)
      if (!isWritable(item, error)) return false;
  }
  if (auto dict = value.asDictionary()) {
    for (const auto& [key, item] : *dict) {
      if (!isXMLText(key)) return refuse(key);
      if (!isWritable(item, error)) return false;
    }
  }
  return true;
}

}  // namespace

bool canCarry(const std::string& text) { return isXMLText(text); }

const Value* lookup(const Dictionary* dict, const std::string& key) {
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

std::optional<Value> parse(const Data& bytes, std::string* error) {
  if (bytes.empty() || bytes.size() > kMaxFileSize) {
    setError(error, bytes.empty() ? "the file is empty" : "the file is too large");
    return std::nullopt;
  }
  const char* raw = reinterpret_cast<const char*>(bytes.data());
  auto length = static_cast<uint32_t>(bytes.size());
  if (plist_is_binary(raw, length)) return detail::parseBinary(bytes.data(), bytes.size(), error);
  // libplist's XML reader wants text; a NUL inside it is not a property list.
  if (std::memchr(raw, '\0', length) != nullptr) {
    setError(error, "the data is not a property list");
    return std::nullopt;
  }
  return detail::parseXML(std::string(raw, length), error);
}

std::optional<Value> readFile(const std::string& path, std::string* error) {
  // Non-blocking, so a named pipe at the path cannot hold the reader; only
  // regular files are read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    setError(error, "cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  auto refuse = [&](const std::string& why) {
    close(fd);
    setError(error, path + ": " + why);
    return std::nullopt;
  };
  struct stat st;
  if (fstat(fd, &st) != 0) return refuse(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) return refuse("the file is too large");
  Data bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(std::strerror(errno));
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileSize) return refuse("the file is too large");
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  close(fd);
  std::string why;
  auto value = parse(bytes, &why);
  if (!value) setError(error, path + ": " + why);
  return value;
}

std::optional<std::string> toXML(const Value& value, std::string* error) {
  if (!isWritable(value, error)) return std::nullopt;
  Node node(toNode(value));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &xml, &length);
  std::string out;
  out.reserve(length);
  // libplist writes a carriage return raw, and XML readers turn raw ones into
  // line feeds; as a character reference it survives.
  for (uint32_t i = 0; i < length; ++i) {
    if (xml[i] == '\r') out += "&#13;";
    else out += xml[i];
  }
  std::free(xml);
  return out;
}

bool writeFileAtomically(int directory, const std::string& name, const Value& value, mode_t mode,
                         std::string* error) {
  std::string why;
  auto xml = toXML(value, &why);
  if (!xml) {
    setError(error, "cannot write " + name + ": " + why);
    return false;
  }
  // A fresh temporary name beside the target, created exclusively and never
  // through a symbolic link.
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = name + ".";
    for (int i = 0; i < 8; ++i) temp += kLetters[random() % (sizeof kLetters - 1)];
    fd = openat(directory, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    setError(error, "cannot create a temporary file beside " + name + ": " + std::strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < xml->size()) {
    ssize_t n = write(fd, xml->data() + done, xml->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno != 0 ? errno : ENOSPC;
  ok = (close(fd) == 0) && ok;
  if (ok && renameat(directory, temp.c_str(), directory, name.c_str()) == 0) return true;
  if (ok) saved = errno;
  unlinkat(directory, temp.c_str(), 0);
  setError(error, "cannot write " + name + ": " + std::strerror(saved));
  return false;
}

bool writeFileAtomically(const std::string& path, const Value& value, mode_t mode, std::string* error) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    setError(error, "cannot write " + path + ": " + std::strerror(errno));
    return false;
  }
  std::string why;
  const bool ok = writeFileAtomically(directory, name, value, mode, &why);
  close(directory);
  // Errors name the whole path.
  if (!ok) setError(error, "cannot write " + path + ": " + why.substr(why.find(": ") + 2));
  return ok;
}

namespace detail {

namespace {

// The shape of a libplist tree, for tests to hold against measureXML().
void addShape(plist_t node, int level, Shape* shape) {
  shape->depth = std::max(shape->depth, level);
  ++shape->values;
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
      addShape(plist_array_get_item(node, i), level + 1, shape);
  } else if (plist_get_node_type(node) == PLIST_DICT) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    for (;;) {
      char* key = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, it, &key, &item);
      if (key == nullptr) break;
      std::free(key);
      ++shape->values;
      ++shape->entries;
      addShape(item, level + 1, shape);
    }
    std::free(it);
  }
}

}  // namespace

std::optional<Value> parseXML(const std::string& text, std::string* error, Shape* built) {
  const Shape shape = measureXML(text, kMaxDepth, kMaxNodes);
  if (shape.depth > kMaxDepth) {
    setError(error, "the property list is nested too deeply");
    return std::nullopt;
  }
  if (shape.values > kMaxNodes) {
    setError(error, "the property list expands beyond the size this reader accepts");
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_xml(text.c_str(), static_cast<uint32_t>(text.size()), &root);
  Node owned(root);
  if (root != nullptr && built != nullptr) {
    *built = Shape{};
    addShape(root, 0, built);
  }
  std::optional<Value> value;
  if (root != nullptr && !isIgnorable(root)) value = fromNode(root, 0);
  if (!value) setError(error, "the data is not a property list");
  return value;
}

}  // namespace detail

}  // namespace plist
