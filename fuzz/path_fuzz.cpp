// Path standardising, as every path from the bus and from files goes through it.
#include <cstdint>
#include <string>

#include "platform/foundation/fileurl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  std::string once = foundation::standardizingPath(path);
  // An absolute path standardises once and for all (a relative one may
  // become "~..." and expand on a second pass, as the original does).
  if (path.starts_with('/') && foundation::standardizingPath(once) != once) __builtin_trap();
  auto url = foundation::FileURL::fileURLWithPath(path);
  if (auto parent = url.deletingLastPathComponent()) (void)parent->appendingPathComponent(url.lastPathComponent());
  return 0;
}
