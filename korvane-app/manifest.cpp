#include "manifest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/container/container.h"
#include "platform/notifications/notifications.h"

namespace app {

std::optional<std::string> finderSyncDirectory(std::string* error) {
  auto group = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!group) {
    *error = "no shared container (set XDG_DATA_HOME or HOME to an absolute path)";
    return std::nullopt;
  }
  std::string directory = group->appendingPathComponent("FinderSync").path();
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    *error = "cannot create " + directory + ": " + ec.message();
    return std::nullopt;
  }
  return directory;
}

ManifestLock::ManifestLock(const std::string& directory)
    : fd_(open((directory + "/Manifest.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  // Without a lock file the update still runs, only unguarded.
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

ManifestLock::~ManifestLock() {
  if (fd_ >= 0) close(fd_);
}

std::optional<plist::Dictionary> readManifest(const std::string& directory, std::string* error) {
  std::string path = directory + "/Manifest.plist";
  if (!std::filesystem::exists(path)) return plist::Dictionary{};
  auto value = plist::readFile(path, error);
  if (!value) return std::nullopt;
  if (value->asDictionary() == nullptr) {
    *error = path + ": the root is not a dictionary";
    return std::nullopt;
  }
  return *value->asDictionary();
}

std::int64_t generationOf(const plist::Dictionary& manifest) {
  const plist::Value* generation = plist::lookup(&manifest, "generation");
  return generation != nullptr && generation->asInteger() != nullptr ? *generation->asInteger() : 0;
}

plist::Array entriesOf(const plist::Dictionary& manifest) {
  const plist::Value* entries = plist::lookup(&manifest, "entries");
  return entries != nullptr && entries->asArray() != nullptr ? *entries->asArray() : plist::Array{};
}

const std::string* stringField(const plist::Value& entry, const char* key) {
  const plist::Value* value = plist::lookup(entry.asDictionary(), key);
  return value != nullptr ? value->asString() : nullptr;
}

bool writeManifestAndAnnounce(const std::string& directory, const plist::Dictionary& manifest) {
  std::string error;
  if (!plist::writeFileAtomically(directory + "/Manifest.plist", plist::Value(manifest), 0600, &error)) {
    std::fprintf(stderr, "korvane-app: %s\n", error.c_str());
    return false;
  }
  if (!notifications::post(kManifestUpdated, &error)) {
    std::fprintf(stderr, "korvane-app: the manifest was written but the update could not be announced: %s\n",
                 error.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> canonicalPath(const std::string& path) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(path, ec);
  if (ec) return std::nullopt;
  return canonical.string();
}

std::optional<std::string> finderSyncDirectoryOrComplain() {
  std::string error;
  auto directory = finderSyncDirectory(&error);
  if (!directory) std::fprintf(stderr, "korvane-app: %s\n", error.c_str());
  return directory;
}

std::optional<plist::Dictionary> readManifestOrComplain(const std::string& directory) {
  std::string error;
  auto manifest = readManifest(directory, &error);
  if (!manifest)
    std::fprintf(stderr, "korvane-app: cannot read the manifest (%s); remove it to start over\n", error.c_str());
  return manifest;
}

}  // namespace app
