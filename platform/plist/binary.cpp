// Own reader for binary property lists: libplist's asserts on U+0000 in
// strings, expands shared references without bound and recurses without a
// depth limit, so outside files are never handed to it in this form.
#include "binary.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace plist::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
constexpr double kEpochOffset = 978307200;  // 1970-01-01 to 2001-01-01 in seconds
constexpr double kLatestDate = 8e9;         // seconds either side of 2001 a Date can hold

void appendUTF8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The size in UTF-8 of a one-byte (Latin-1) or UTF-16 string as read below.
std::size_t utf8Size(const std::uint8_t* bytes, std::size_t length, bool utf16) {
  std::size_t size = 0;
  if (!utf16) {
    for (std::size_t i = 0; i < length; ++i) size += bytes[i] < 0x80 ? 1 : 2;
    return size;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned c = (bytes[2 * i] << 8) | bytes[2 * i + 1];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
      const unsigned low = (bytes[2 * i + 2] << 8) | bytes[2 * i + 3];
      if (low >= 0xDC00 && low < 0xE000) {
        size += 4;
        ++i;
        continue;
      }
    }
    size += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;  // a lone surrogate becomes U+FFFD, 3 bytes
  }
  return size;
}

class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t length) : b_(bytes), n_(length) {}

  std::optional<Value> read() {
    if (n_ < kHeaderSize + kTrailerSize || std::memcmp(b_, "bplist00", kHeaderSize) != 0) return fail();
    const std::size_t trailer = n_ - kTrailerSize;
    offsetSize_ = b_[trailer + 6];
    refSize_ = b_[trailer + 7];
    const std::uint64_t count = be(trailer + 8, 8), top = be(trailer + 16, 8), table = be(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return fail();
    if (count == 0 || top >= count || table < kHeaderSize || table > trailer ||
        count > (trailer - table) / offsetSize_)
      return fail();
    table_ = static_cast<std::size_t>(table);
    count_ = static_cast<std::size_t>(count);
    // The expanded size is known before anything is built. The trailer's
    // object count may be huge while few objects are reached: bookkeeping
    // grows only with the objects reached.
    const Measure* whole = measure(top, 0);
    if (whole == nullptr) return fail();
    if (whole->nodes > kMaxNodes || whole->bytes > kMaxBytes) return fail(kTooLarge);
    std::optional<Value> root;
    if (!object(top, 0, &root) || !root) return fail();
    return root;
  }

  const std::string& error() const { return error_; }

 private:
  std::optional<Value> fail(std::string why = "the data is not a property list") {
    if (error_.empty()) error_ = std::move(why);
    return std::nullopt;
  }

  static constexpr const char* kTooLarge = "the property list expands beyond the size this reader accepts";

  std::uint64_t be(std::size_t at, unsigned size) const {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v = (v << 8) | b_[at + i];
    return v;
  }

  // The object's count of elements, bytes or characters, and where its content starts.
  bool lengthAt(std::size_t at, std::size_t* length, std::size_t* start) const {
    const unsigned nibble = b_[at] & 0x0F;
    if (nibble != 0x0F) {
      *length = nibble;
      *start = at + 1;
      return true;
    }
    if (at + 2 > table_ || (b_[at + 1] & 0xF0) != 0x10) return false;
    const unsigned size = 1u << (b_[at + 1] & 0x0F);
    if (size > 8 || at + 2 + size > table_) return false;
    const std::uint64_t v = be(at + 2, size);
    if (v > table_) return false;
    *length = static_cast<std::size_t>(v);
    *start = at + 2 + size;
    return true;
  }

  bool fits(std::size_t start, std::size_t count, std::size_t unit) const {
    return start <= table_ && count <= (table_ - start) / unit;
  }

  struct Measure {
    int state = 0;  // 0 not yet seen, 1 on the current path, 2 measured
    int height = 0;
    std::size_t nodes = 0, bytes = 0;
  };

  const Measure* tooLarge() {
    fail(kTooLarge);
    return nullptr;
  }

  static std::size_t saturatingAdd(std::size_t a, std::size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

  // The object's expanded node count, byte count and height, each shared
  // object measured once; nullptr for a malformed, cyclic or too deep graph.
  const Measure* measure(std::uint64_t ref, int depth) {
    auto tooDeep = [&]() -> const Measure* {
      fail("the property list is nested too deeply");
      return nullptr;
    };
    if (ref >= count_) return nullptr;
    if (depth > kMaxDepth) return tooDeep();
    const auto index = static_cast<std::size_t>(ref);
    // Each object reached is one value at least, so past the budget of
    // values no more need be seen.
    if (measured_.size() >= kMaxNodes && !measured_.contains(index)) return tooLarge();
    Measure& m = measured_[index];
    if (m.state == 1) return nullptr;
    if (m.state == 2) return depth + m.height > kMaxDepth ? tooDeep() : &m;
    const std::uint64_t offset = be(table_ + index * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= table_) return nullptr;
    const auto at = static_cast<std::size_t>(offset);
    const unsigned kind = b_[at] >> 4;
    std::size_t length = 0, start = 0;
    m.nodes = 1;
    if (kind == 0x4 || kind == 0x5 || kind == 0x6) {
      if (!lengthAt(at, &length, &start) || !fits(start, length, kind == 0x6 ? 2 : 1)) return nullptr;
      // Strings count at their size in UTF-8, which is what is built.
      m.bytes = kind == 0x4 ? length : utf8Size(b_ + start, length, kind == 0x6);
    } else if (kind == 0xA || kind == 0xC || kind == 0xD) {
      const unsigned per = kind == 0xD ? 2 : 1;
      if (!lengthAt(at, &length, &start) || !fits(start, length, refSize_ * per)) return nullptr;
      m.state = 1;
      for (std::size_t i = 0; i < length * per; ++i) {
        const Measure* child = measure(be(start + i * refSize_, refSize_), depth + 1);
        if (child == nullptr) return nullptr;
        m.nodes = saturatingAdd(m.nodes, child->nodes);
        m.bytes = saturatingAdd(m.bytes, child->bytes);
        m.height = std::max(m.height, child->height + 1);
        if (m.nodes > kMaxNodes) return tooLarge();
      }
    }
    m.state = 2;
    return &m;
  }

  bool spend(std::size_t bytes) {
    if (++nodes_ > kMaxNodes || bytes > kMaxBytes - spent_) {
      fail(kTooLarge);
      return false;
    }
    spent_ += bytes;
    return true;
  }

  // Reads object ref into *out; true with *out empty for an ignorable value.
  bool object(std::uint64_t ref, int depth, std::optional<Value>* out) {
    if (ref >= count_) return false;
    if (depth > kMaxDepth) {
      fail("the property list is nested too deeply");
      return false;
    }
    const std::uint64_t offset = be(table_ + static_cast<std::size_t>(ref) * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= table_) return false;
    const auto at = static_cast<std::size_t>(offset);
    const auto index = static_cast<std::size_t>(ref);
    if (onPath_.contains(index)) return false;  // a container holding itself
    const std::uint8_t marker = b_[at];
    std::size_t length = 0, start = 0;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) {
          *out = Value(marker == 0x09);
          return spend(0);
        }
        return marker == 0x00 && spend(0);
      case 0x1: {
        const unsigned size = 1u << (marker & 0x0F);
        if (size > 16 || !fits(at + 1, size, 1)) return false;
        // 16-byte integers carry the value in their low eight bytes.
        const std::uint64_t v = be(at + 1 + (size == 16 ? 8 : 0), size == 16 ? 8 : size);
        *out = Value(v);
        return spend(0);
      }
      case 0x2: {
        const unsigned size = 1u << (marker & 0x0F);
        if ((size != 4 && size != 8) || !fits(at + 1, size, 1)) return false;
        const std::uint64_t bits = be(at + 1, size);
        double d;
        if (size == 4) {
          float f;
          const auto narrow = static_cast<std::uint32_t>(bits);
          std::memcpy(&f, &narrow, 4);
          d = f;
        } else {
          std::memcpy(&d, &bits, 8);
        }
        *out = Value(d);
        return spend(0);
      }
      case 0x3: {
        if (marker != 0x33 || !fits(at + 1, 8, 1)) return false;
        const std::uint64_t bits = be(at + 1, 8);
        double seconds;
        std::memcpy(&seconds, &bits, 8);
        if (!std::isfinite(seconds) || std::fabs(seconds) > kLatestDate) return false;
        const auto us = std::llround((seconds + kEpochOffset) * 1e6);
        *out = Value(Date(std::chrono::duration_cast<Date::duration>(std::chrono::microseconds(us))));
        return spend(0);
      }
      case 0x4:
        if (!lengthAt(at, &length, &start) || !fits(start, length, 1) || !spend(length)) return false;
        *out = Value(Data(b_ + start, b_ + start + length));
        return true;
      case 0x5: {
        if (!lengthAt(at, &length, &start) || !fits(start, length, 1) ||
            !spend(utf8Size(b_ + start, length, false)))
          return false;
        std::string s;
        for (std::size_t i = 0; i < length; ++i) appendUTF8(s, b_[start + i]);  // bytes above 0x7F as Latin-1
        *out = Value(std::move(s));
        return true;
      }
      case 0x6: {
        if (!lengthAt(at, &length, &start) || !fits(start, length, 2) || !spend(utf8Size(b_ + start, length, true)))
          return false;
        std::string s;
        for (std::size_t i = 0; i < length; ++i) {
          std::uint32_t c = static_cast<std::uint32_t>(be(start + 2 * i, 2));
          if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
            const auto low = static_cast<std::uint32_t>(be(start + 2 * i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) {
              c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
              ++i;
            }
          }
          if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // a lone surrogate
          appendUTF8(s, c);
        }
        *out = Value(std::move(s));
        return true;
      }
      case 0x8:
        return fits(at + 1, (marker & 0x0F) + 1u, 1) && spend(0);
      case 0xA:
      case 0xC:
        return container(at, index, depth, false, out);
      case 0xD:
        return container(at, index, depth, true, out);
      default:
        return false;
    }
  }

  bool container(std::size_t at, std::size_t index, int depth, bool isDictionary, std::optional<Value>* out) {
    std::size_t length = 0, start = 0;
    if (!lengthAt(at, &length, &start) || !fits(start, length, refSize_ * (isDictionary ? 2u : 1u)) || !spend(0))
      return false;
    onPath_.insert(index);
    Array items;
    Dictionary dict;
    bool ok = true;
    for (std::size_t i = 0; ok && i < length; ++i) {
      std::optional<Value> item;
      const std::size_t valueRef = start + (isDictionary ? length + i : i) * refSize_;
      ok = object(be(valueRef, refSize_), depth + 1, &item);
      if (!ok || !item) continue;
      if (!isDictionary) {
        items.push_back(std::move(*item));
        continue;
      }
      std::optional<Value> key;
      ok = object(be(start + i * refSize_, refSize_), depth + 1, &key) && key && key->asString() != nullptr;
      if (ok) dict.insert_or_assign(*key->asString(), std::move(*item));
    }
    onPath_.erase(index);
    if (!ok) return false;
    *out = isDictionary ? Value(std::move(dict)) : Value(std::move(items));
    return true;
  }

  const std::uint8_t* b_;
  std::size_t n_;
  unsigned offsetSize_ = 0, refSize_ = 0;
  std::size_t table_ = 0, count_ = 0;
  std::size_t nodes_ = 0, spent_ = 0;
  std::unordered_set<std::size_t> onPath_;
  std::unordered_map<std::size_t, Measure> measured_;
  std::string error_;
};

}  // namespace

std::optional<Value> parseBinary(const std::uint8_t* bytes, std::size_t length, std::string* error) {
  Reader reader(bytes, length);
  auto value = reader.read();
  if (!value && error != nullptr) *error = reader.error();
  return value;
}

}  // namespace plist::detail
