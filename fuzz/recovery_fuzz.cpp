// RecoveryRequest.plist: working-copy IDs and the generations asked for.
// Every accepted request is merged and written back, as the extension does.
#include <cstdint>

#include "platform/plist/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto request = plist::parse(plist::Data(data, data + size));
  if (!request || request->asDictionary() == nullptr) return 0;
  plist::Dictionary merged = *request->asDictionary();
  for (const auto& [id, generation] : *request->asDictionary()) {
    if (generation.asInteger() != nullptr) merged.insert_or_assign(id + "-next", *generation.asInteger() + 0);
  }
  (void)plist::toXML(plist::Value(std::move(merged)));
  return 0;
}
