#include <charconv>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include "menus.h"

namespace menus {

namespace {

// "27", "26.4" or "27.0.1"; nothing for any other text.
std::optional<OperatingSystemVersion> parseVersion(std::string_view text) {
  std::int64_t parts[3] = {0, 0, 0};
  int count = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (count < 3) {
    auto [next, ec] = std::from_chars(p, end, parts[count]);
    if (ec != std::errc() || parts[count] < 0) return std::nullopt;
    ++count;
    p = next;
    if (p == end) return OperatingSystemVersion{parts[0], parts[1], parts[2]};
    if (*p != '.') return std::nullopt;
    ++p;
  }
  return std::nullopt;
}

std::shared_ptr<const SystemVersion> defaultSystemVersion() {
  OperatingSystemVersion version{27, 0, 0};
  if (const char* text = std::getenv("KRV_SYSTEM_VERSION"); text != nullptr) {
    if (auto parsed = parseVersion(text)) version = *parsed;
  }
  return std::make_shared<FixedSystemVersion>(version);
}

std::mutex versionMutex;
std::shared_ptr<const SystemVersion> installedVersion;  // guarded by versionMutex

std::shared_ptr<const SystemVersion> currentSystemVersion() {
  std::lock_guard lock(versionMutex);
  if (!installedVersion) installedVersion = defaultSystemVersion();
  return installedVersion;
}

}  // namespace

bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) {
  return currentSystemVersion()->operatingSystemVersion() >= version;
}

void setSystemVersion(std::shared_ptr<const SystemVersion> version) {
  std::lock_guard lock(versionMutex);
  installedVersion = std::move(version);
}

}  // namespace menus
