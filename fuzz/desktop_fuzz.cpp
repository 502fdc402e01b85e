// Desktop entries as whereapp reads them: the shown application's Name.
#include <cstdint>
#include <string_view>

#include "platform/launchservices/launchservices.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)launchservices::shownApplicationNameInEntry(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
