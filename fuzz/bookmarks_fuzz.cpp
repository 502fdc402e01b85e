// Bookmark data as the application hands it over, resolved both ways.
#include <cstdint>

#include "platform/bookmarks/bookmarks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plist::Data bytes(data, data + size);
  bookmarks::resolve(bytes, 0);
  bookmarks::resolve(bytes, bookmarks::kResolutionWithSecurityScope);
  return 0;
}
