// A command file as korvane-app open-url reads and reports it.
#include <cstdint>

#include "korvane-app/command_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto document = plist::parse(plist::Data(data, data + size));
  if (!document) return 0;
  std::string error;
  auto command = commandFromDocument(*document, "/fuzz/command.plist", &error);
  if (!command) return 0;
  for (const auto& path : command->paths) {
    if (reportedPath(path).find('\n') != std::string::npos) __builtin_trap();  // a report line split in two
  }
  return 0;
}
