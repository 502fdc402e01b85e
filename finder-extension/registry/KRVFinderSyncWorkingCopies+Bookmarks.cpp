// Access to working copies through bookmarks, and asking the application for
// fresh bookmarks when no access can be had. Every member here runs inside
// reloadManifest(), one call at a time.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "KRVFinderSyncLog.h"
#include "KRVFinderSyncWorkingCopies.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/notifications/notifications.h"

namespace {
constexpr const char* kNeedBookmarksNotification = "com.korvaneapp.finderSync.needBookmarks";
constexpr const char* kRecoveryRequestFileName = "RecoveryRequest.plist";

// An identifier for a log line: control characters and bytes past ASCII as \xNN.
std::string shown(const std::string& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : id) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  }
  return out;
}
}  // namespace

std::optional<foundation::FileURL> KRVFinderSyncWorkingCopies::p_resolveScopedBookmark(const plist::Data& bookmark,
                                                                                       bool* stale) {
  std::string error;
  auto resolved = bookmarks::resolve(bookmark, bookmarks::kResolutionWithSecurityScope, &error);
  if (stale != nullptr) *stale = resolved && resolved->stale;
  if (!resolved) {
    KRVFinderSyncLog().error("Could not resolve own scoped bookmark: " + error);
    return std::nullopt;
  }
  // Never stopped: a root reached this way stays usable for the life of the process.
  bookmarks::startAccessingSecurityScopedResource(resolved->url);
  return resolved->url;
}

std::optional<foundation::FileURL> KRVFinderSyncWorkingCopies::p_resolveImplicitBookmark(const plist::Data& bookmark) {
  std::string error;
  auto resolved = bookmarks::resolve(bookmark, 0, &error);
  if (!resolved) {
    KRVFinderSyncLog().error("Could not resolve the app's bookmark: " + error);
    return std::nullopt;
  }
  return resolved->url;
}

std::optional<plist::Data> KRVFinderSyncWorkingCopies::p_mintOwnScopedBookmarkForURL(const foundation::FileURL& url) {
  std::string error;
  auto data = bookmarks::bookmarkData(url, bookmarks::kCreationWithSecurityScope, &error);
  if (!data) KRVFinderSyncLog().error("Could not create a scoped bookmark for " + url.path() + ": " + error);
  return data;
}

bool KRVFinderSyncWorkingCopies::p_probeAccessAtURL(const foundation::FileURL& url) {
  if (access(url.path().c_str(), R_OK | W_OK | X_OK) == 0) return true;
  int error = errno;
  KRVFinderSyncLog().error("No read-write access to working copy " + url.path() + ": " + std::strerror(error));
  return false;
}

bool KRVFinderSyncWorkingCopies::p_canStoreIdentifier(const std::string& id, const std::string& what) const {
  if (plist::canCarry(id)) return true;
  KRVFinderSyncLog().error("Left working copy " + shown(id) + " out of " + what +
                           ": its identifier holds a character a property list in XML cannot carry");
  return false;
}

void KRVFinderSyncWorkingCopies::p_requestRecoveryForWorkingCopies(
    const std::map<std::string, std::int64_t>& generations) {
  // An identifier the file cannot carry is left out (and counts as asked
  // for its generation, so it is not logged again on every reload); the
  // others are asked for as usual.
  std::map<std::string, std::int64_t> writable;
  for (const auto& [id, generation] : generations) {
    if (p_canStoreIdentifier(id, "the recovery request")) writable.insert_or_assign(id, generation);
  }
  if (writable.empty()) {
    std::lock_guard lock(i_stateLock);
    for (const auto& [id, generation] : generations) i_lastRequestedGenerations.insert_or_assign(id, generation);
    return;
  }
  KRVFinderSyncLog().notice("Asking the app for fresh bookmarks for " + std::to_string(writable.size()) +
                            " working copies");
  // The file is complete before the notification goes out, so the
  // application finds every new entry when it reacts. A request that could
  // not be written is not marked as asked, so the next reload asks again.
  auto directory = p_groupDirectoryURL();
  if (!directory) return;  // no container: there is no manifest either
  std::error_code ignored;
  std::filesystem::create_directories(directory->path(), ignored);
  std::string path = directory->appendingPathComponent(kRecoveryRequestFileName).path();
  // Earlier requests stay (those XML can carry: the file may be binary); a
  // file that is not a dictionary is replaced.
  plist::Dictionary request;
  if (auto existing = plist::readFile(path); existing && existing->asDictionary() != nullptr) {
    for (const auto& [id, generation] : *existing->asDictionary())
      if (p_canStoreIdentifier(id, "the recovery request")) request.insert_or_assign(id, generation);
  }
  for (const auto& [id, generation] : writable) request.insert_or_assign(id, generation);
  std::string error;
  if (plist::writeFileAtomically(path, plist::Value(std::move(request)), 0644, &error)) {
    std::lock_guard lock(i_stateLock);
    for (const auto& [id, generation] : generations) i_lastRequestedGenerations.insert_or_assign(id, generation);
  } else {
    KRVFinderSyncLog().error("Could not write the recovery request: " + error);
  }
  notifications::post(kNeedBookmarksNotification);
}
