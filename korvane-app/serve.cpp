// korvane-app serve: answers the extension's requests for fresh bookmarks
// until SIGTERM or SIGINT. On each needBookmarks notification (and once at
// start, for requests left from before) it reads RecoveryRequest.plist,
// re-mints the bookmarks of the requested working copies it knows, raises
// the manifest's generation above every request it served, rewrites the
// manifest and posts the update.
#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "manifest.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/dispatch/dispatch.h"
#include "platform/notifications/notifications.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void serveRecoveryRequests(const std::string& directory) {
  app::ManifestLock lock(directory);
  std::string error;
  auto request = plist::readFile(directory + "/RecoveryRequest.plist");
  if (!request || request->asDictionary() == nullptr) return;
  auto manifest = app::readManifest(directory, &error);
  if (!manifest) {
    say("cannot read the manifest: " + error);
    return;
  }
  std::int64_t generation = app::generationOf(*manifest);
  std::int64_t highest = generation;
  plist::Array entries = app::entriesOf(*manifest);
  int served = 0;
  for (const auto& [id, value] : *request->asDictionary()) {
    // A request for an older generation was answered by a later manifest.
    if (value.asInteger() == nullptr || *value.asInteger() < generation) continue;
    auto entry = std::find_if(entries.begin(), entries.end(), [&](const plist::Value& e) {
      const std::string* entryID = app::stringField(e, "wcID");
      return entryID != nullptr && *entryID == id;
    });
    const std::string* path = entry != entries.end() ? app::stringField(*entry, "path") : nullptr;
    if (path == nullptr) {
      say("no registered working copy " + id);
      continue;
    }
    auto bookmark = bookmarks::bookmarkData(foundation::FileURL::fileURLWithPath(*path), 0, &error);
    if (!bookmark) {
      say("cannot refresh " + id + ": " + error);
      continue;
    }
    // The same bookmark again would only make the extension ask again.
    const plist::Value* current = plist::lookup(entry->asDictionary(), "bookmark");
    if (current != nullptr && *current == plist::Value(*bookmark)) {
      say("bookmark of " + id + " is current; nothing to refresh");
      continue;
    }
    *entry = plist::Value(plist::Dictionary{{"wcID", id}, {"bookmark", *bookmark}, {"path", *path}});
    highest = std::max(highest, *value.asInteger());
    ++served;
  }
  if (served == 0) return;
  (*manifest)["entries"] = plist::Value(std::move(entries));
  (*manifest)["generation"] = plist::Value(highest + 1);
  if (app::writeManifestAndAnnounce(directory, *manifest)) {
    say("refreshed " + std::to_string(served) + " bookmarks, generation " + std::to_string(highest + 1));
  }
}

gboolean quit(gpointer) {
  dispatch::quitMain();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int runServe(const CommandArguments& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: korvane-app serve\n");
    return 2;
  }
  std::string error;
  auto directory = app::finderSyncDirectoryOrComplain();
  if (!directory) return 1;
  auto observation =
      notifications::observe(app::kNeedBookmarks, [dir = *directory] { serveRecoveryRequests(dir); }, &error);
  if (!observation) {
    std::fprintf(stderr, "korvane-app: %s\n", error.c_str());
    return 1;
  }
  g_unix_signal_add(SIGTERM, quit, nullptr);
  g_unix_signal_add(SIGINT, quit, nullptr);
  serveRecoveryRequests(*directory);
  say("serving bookmark requests in " + *directory);
  dispatch::runMain();
  return 0;
}
