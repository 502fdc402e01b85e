// The one client of the finder-extension service in a Dolphin process.
//
// Dolphin loads the overlay plugin and the menu plugin from two files; both
// link this small library, so the process holds a single copy of it and both
// plugins share one BadgeClient (one set of bus subscriptions, one map, one
// menu cache), whichever of them Dolphin loads first.
//
// Contract: every function runs on Dolphin's GUI thread, whose GLib main
// context (Qt's event dispatcher on Linux) runs the client's bus calls and
// callbacks.
#pragma once

#include <QUrl>
#include <memory>
#include <optional>
#include <string>

#include "file-managers/core/badgeclient.h"

namespace korvanedolphin {

// The client, created on the first call; nullptr when there is no session
// bus (then every later call answers nullptr too).
std::shared_ptr<filemanagers::BadgeClient> sharedClient();

// The local path of an item as the service names it (the core's
// standardLocalPath), or nullopt for an item that is not a local file.
std::optional<std::string> localPath(const QUrl& url);

}  // namespace korvanedolphin
