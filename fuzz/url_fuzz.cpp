// korvane:// command URLs as korvane-app open-url takes them.
#include <cstdint>
#include <string>

#include "korvane-app/command_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  auto identifier = commandIdentifier(std::string(reinterpret_cast<const char*>(data), size), &error);
  if (identifier && identifier->size() != 36) __builtin_trap();  // only a UUID may name a command file
  return 0;
}
