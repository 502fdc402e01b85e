// /proc/<pid>/stat text as the process record is read from it.
#include <cstdint>
#include <string>

#include "platform/process/process.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto record = process::recordFromStat(std::string(reinterpret_cast<const char*>(data), size), 4242);
  if (record && record->kp_proc.p_comm[sizeof record->kp_proc.p_comm - 1] != '\0') __builtin_trap();
  return 0;
}
