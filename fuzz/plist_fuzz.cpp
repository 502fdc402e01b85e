// Property lists, XML and binary, through the one reader; whatever it
// accepts, the writer either refuses or writes XML the reader takes back.
#include <cstdint>
#include <cstdlib>

#include "platform/plist/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = plist::parse(plist::Data(data, data + size));
  if (!value) return 0;
  // Reading back is checked on documents up to 1 MB of XML, which keeps each
  // run well within the time limit under the sanitizers.
  auto xml = plist::toXML(*value);
  if (xml && xml->size() <= (1u << 20) && !plist::parse(plist::Data(xml->begin(), xml->end())))
    std::abort();  // we wrote what we cannot read
  return 0;
}
