// Feeds outside input to the registry: each input is written as the
// manifest and reloaded, used as the extension's defaults file, and resolved
// as a bookmark of either kind. Run:
//   build-fuzz/bin/manifest_fuzz -max_total_time=60 fuzz/registry/corpus
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/log/log.h"

namespace {

std::string base;
std::string manifestPath;
std::string defaultsPath;
std::shared_ptr<KRVFinderSyncWorkingCopies> registry;
oslog::CaptureSink* log;

void writeBytes(const std::string& path, const std::uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/krv-fuzz-XXXXXX";
  base = mkdtemp(pattern);
  setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
  // No bus: the fuzzer needs none, and reloads must not post to a real one.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  std::string group = base + "/data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
  std::filesystem::create_directories(group);
  std::filesystem::create_directories(base + "/config");
  std::filesystem::create_directories(base + "/wc");
  manifestPath = group + "/Manifest.plist";
  defaultsPath = base + "/config/com.korvaneapp.v3.finder-extension.plist";
  log = new oslog::CaptureSink();
  registry = KRVFinderSyncWorkingCopies::create();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  plist::Data bytes(data, data + size);
  bookmarks::resolve(bytes, 0);
  bookmarks::resolve(bytes, bookmarks::kResolutionWithSecurityScope);

  writeBytes(manifestPath, data, size);
  std::filesystem::remove(defaultsPath);
  registry->reloadManifest();
  // The same bytes as a corrupt or odd defaults file.
  writeBytes(defaultsPath, data, size);
  registry->reloadManifest();
  log->clear();
  return 0;
}
