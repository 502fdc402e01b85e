// Manifest.plist as the registry reads it: a dictionary with "generation"
// and "entries", each entry's "wcID" and the application's "bookmark".
#include <cstdint>

#include "platform/bookmarks/bookmarks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto manifest = plist::parse(plist::Data(data, data + size));
  if (!manifest) return 0;
  const plist::Dictionary* dict = manifest->asDictionary();
  if (const plist::Value* generation = plist::lookup(dict, "generation")) (void)generation->asInteger();
  const plist::Value* entries = plist::lookup(dict, "entries");
  if (entries == nullptr || entries->asArray() == nullptr) return 0;
  for (const auto& entry : *entries->asArray()) {
    const plist::Value* id = plist::lookup(entry.asDictionary(), "wcID");
    const plist::Value* bookmark = plist::lookup(entry.asDictionary(), "bookmark");
    if (id == nullptr || id->asString() == nullptr || bookmark == nullptr || bookmark->asData() == nullptr) continue;
    bookmarks::resolve(*bookmark->asData(), 0);
  }
  return 0;
}
