// The extension's defaults file: its scoped bookmarks, resolved with scope.
#include <cstdint>

#include "platform/bookmarks/bookmarks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto store = plist::parse(plist::Data(data, data + size));
  if (!store) return 0;
  const plist::Value* scoped = plist::lookup(store->asDictionary(), "KRVFinderSyncScopedBookmarks");
  if (scoped == nullptr || scoped->asDictionary() == nullptr) return 0;
  for (const auto& [id, bookmark] : *scoped->asDictionary()) {
    if (bookmark.asData() != nullptr) bookmarks::resolve(*bookmark.asData(), bookmarks::kResolutionWithSecurityScope);
  }
  return 0;
}
