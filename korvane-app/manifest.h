// The application's side of the working-copy manifest: where it lives, how
// korvane-app reads and rewrites it, and the notifications around it.
//
// The manifest is "Manifest.plist" in the "FinderSync" folder of the shared
// container: {"generation": int, "entries": [{"wcID": string, "bookmark":
// data, "path": string}]}. "path" is korvane-app's own note of the root it
// registered (the extension ignores it); the bookmark carries no security
// scope. Read-modify-write cycles hold an exclusive lock on the file
// "Manifest.lock" beside it, so concurrent korvane-app processes do not lose
// each other's changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/plist/plist.h"

namespace app {

inline constexpr const char* kManifestUpdated = "com.korvaneapp.finderSync.manifestUpdated";
inline constexpr const char* kNeedBookmarks = "com.korvaneapp.finderSync.needBookmarks";

// The "FinderSync" folder, created when missing; nothing (with a reason)
// when there is no container.
std::optional<std::string> finderSyncDirectory(std::string* error);

// The same two, saying on standard error why there is nothing.
std::optional<std::string> finderSyncDirectoryOrComplain();
std::optional<plist::Dictionary> readManifestOrComplain(const std::string& directory);

// Holds the manifest lock while it lives.
class ManifestLock {
 public:
  explicit ManifestLock(const std::string& directory);
  ~ManifestLock();
  ManifestLock(const ManifestLock&) = delete;
  ManifestLock& operator=(const ManifestLock&) = delete;

 private:
  int fd_;
};

// The manifest's root dictionary: empty when the file does not exist;
// nothing (with a reason) when it exists but cannot be read as one.
std::optional<plist::Dictionary> readManifest(const std::string& directory, std::string* error);

std::int64_t generationOf(const plist::Dictionary& manifest);
// A copy of the entries array; empty when missing or of another type.
plist::Array entriesOf(const plist::Dictionary& manifest);
const std::string* stringField(const plist::Value& entry, const char* key);

// Writes the manifest atomically, then posts kManifestUpdated. Prints what
// failed to standard error and returns false when either step fails.
bool writeManifestAndAnnounce(const std::string& directory, const plist::Dictionary& manifest);

// The absolute path of path with symbolic links resolved, when it exists.
std::optional<std::string> canonicalPath(const std::string& path);

}  // namespace app
