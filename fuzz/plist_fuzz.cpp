// Property lists, XML and binary, through the one reader. For XML, the tree
// libplist built must have the shape the pre-scan measured (nesting, values,
// dictionary entries), since the scan is what keeps libplist within bounds.
// Whatever the reader accepts, the writer either refuses or writes XML the
// reader takes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/plist/binary.h"
#include "platform/plist/plist.h"
#include "platform/plist/xml.h"

namespace {

// The XML reader's path as plist::parse takes it, with the built tree's
// shape held against the scan's.
std::optional<plist::Value> parseXML(const std::string& text) {
  using namespace plist::detail;
  const Shape scanned = measureXML(text, kMaxDepth, kMaxNodes);
  Shape built;
  auto value = parseXML(text, nullptr, &built);
  if (built.values == 0) return value;  // refused, or libplist built nothing
  // Where a dictionary repeated a key, libplist kept the last value: the
  // tree then has fewer entries, and may have fewer values and levels.
  const bool same = built.entries == scanned.entries
                        ? built == scanned
                        : built.entries < scanned.entries && built.values < scanned.values &&
                              built.depth <= scanned.depth;
  if (!same) std::abort();  // the scan and libplist disagree
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* raw = reinterpret_cast<const char*>(data);
  const bool text = size >= 1 && size <= plist::detail::kMaxBytes && std::memchr(raw, '\0', size) == nullptr &&
                    (size < 8 || std::memcmp(raw, "bplist00", 8) != 0);
  auto value = text ? parseXML(std::string(raw, size)) : plist::parse(plist::Data(data, data + size));
  if (!value) return 0;
  // Reading back is checked on documents up to 1 MB of XML, which keeps each
  // run well within the time limit under the sanitizers.
  auto xml = plist::toXML(*value);
  if (xml && xml->size() <= (1u << 20) && !plist::parse(plist::Data(xml->begin(), xml->end())))
    std::abort();  // we wrote what we cannot read
  return 0;
}
