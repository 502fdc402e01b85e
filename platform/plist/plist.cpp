#include "plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace plist {

namespace {

// Seconds between the Unix epoch and the property-list epoch (2001-01-01).
constexpr std::int64_t kEpochOffset = 978307200;

struct NodeDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

std::optional<Value> fromNode(plist_t node, int depth) {
  // Deep nesting in outside input must not exhaust the stack.
  if (node == nullptr || depth > 256) return std::nullopt;
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
    case PLIST_STRING:
    case PLIST_KEY: {
      char* s = nullptr;
      if (plist_get_node_type(node) == PLIST_STRING) {
        plist_get_string_val(node, &s);
      } else {
        plist_get_key_val(node, &s);
      }
      std::string out = s != nullptr ? s : "";
      std::free(s);
      return Value(std::move(out));
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
        auto item = fromNode(plist_array_get_item(node, i), depth + 1);
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

}  // namespace

const Value* lookup(const Dictionary* dict, const std::string& key) {
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

std::optional<Value> parse(const Data& bytes, std::string* error) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) {
    setError(error, bytes.empty() ? "the file is empty" : "the file is too large");
    return std::nullopt;
  }
  const char* raw = reinterpret_cast<const char*>(bytes.data());
  auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (plist_is_binary(raw, length)) {
    plist_from_bin(raw, length, &root);
  } else {
    // libplist's XML reader wants text; a NUL inside it is not a property list.
    if (std::memchr(raw, '\0', length) != nullptr) {
      setError(error, "the data is not a property list");
      return std::nullopt;
    }
    std::string text(raw, length);
    plist_from_xml(text.c_str(), length, &root);
  }
  Node owned(root);
  auto value = fromNode(root, 0);
  if (!value) setError(error, "the data is not a property list");
  return value;
}

std::optional<Value> readFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    setError(error, "cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string why;
  auto value = parse(bytes, &why);
  if (!value) setError(error, path + ": " + why);
  return value;
}

std::string toXML(const Value& value) {
  Node node(toNode(value));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &xml, &length);
  std::string out(xml != nullptr ? xml : "", length);
  std::free(xml);
  return out;
}

bool writeFileAtomically(const std::string& path, const Value& value, mode_t mode, std::string* error) {
  std::string xml = toXML(value);
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    setError(error, "cannot create a temporary file beside " + path + ": " + std::strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < xml.size()) {
    ssize_t n = write(fd, xml.data() + done, xml.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno;
  ok = (close(fd) == 0) && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  if (ok) saved = errno;
  unlink(temp.c_str());
  setError(error, "cannot write " + path + ": " + std::strerror(saved));
  return false;
}

}  // namespace plist
