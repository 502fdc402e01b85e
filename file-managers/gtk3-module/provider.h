// The GTK 3 file managers' module (korvane-nemo, korvane-caja) that shows
// finder-extension's badges as emblems and offers the Korvane menu. One
// source, compiled once per file manager against that file manager's
// extension-api.h (file-managers/nemo, file-managers/caja), which names its
// types and functions in korvanegtk3::fm.
//
// Contract:
// - The file manager loads the module and calls everything here on its main
//   thread; the process-wide BadgeClient lives on that thread's main
//   context, so its callbacks arrive there too. Nothing here waits for the
//   bus.
// - badges.cpp answers update_file_info from the client's map at once and
//   asks the file manager to ask again (invalidation) when a badge changes.
// - menus.cpp builds the menus from the client's cached menus and hands a
//   chosen item to the client, which sends it asynchronously.
#pragma once

#include <memory>
#include <string>

#include "extension-api.h"  // the file manager's, from its own folder
#include "file-managers/core/badgeclient.h"

namespace korvanegtk3 {

// The client of this process; nullptr when there is no session bus.
filemanagers::BadgeClient* client();

// The local path of a file the file manager shows; "" for other locations
// (trash, network shares without a local mount, ...).
std::string localPath(fm::FileInfo* file);

// Makes the file manager ask again for files whose badge the client learned
// (the client also tells of files asked about before their folder was
// watched). The client outlives the listening: the module drops it only at
// shutdown.
void followBadgeChanges(filemanagers::BadgeClient& client);

// The file manager asks for a folder's background menu when it opens the
// folder, maybe before the client has the service's menus or folders: each
// provider object followed here is told (items-updated) when they change,
// and the file manager asks again.
void followProvider(GObject* provider);
void followMenuChanges(filemanagers::BadgeClient& client);

// The interface tables of the provider type.
void initInfoProvider(fm::InfoProviderInterface* iface);
void initMenuProvider(fm::MenuProviderInterface* iface);

}  // namespace korvanegtk3
