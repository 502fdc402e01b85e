// korvane-nemo: the Nemo module that shows finder-extension's badges
// as emblems and offers the Korvane menu.
//
// Contract:
// - Nemo loads the module and calls everything here on its main thread;
//   the process-wide BadgeClient lives on that thread's main context, so its
//   callbacks arrive there too. Nothing here waits for the bus.
// - badges.cpp answers update_file_info from the client's map at once and
//   asks Nemo to ask again (invalidation) when a badge changes.
// - menus.cpp builds the menus from the client's cached menus and hands a
//   chosen item to the client, which sends it asynchronously.
#pragma once

#include <gio/gio.h>
extern "C" {
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>
}

#include <memory>
#include <string>

#include "file-managers/core/badgeclient.h"

namespace korvanenemo {

// The client of this process; nullptr when there is no session bus.
filemanagers::BadgeClient* client();

// The local path of a file Nemo shows; "" for other locations (trash,
// network shares without a local mount, ...).
std::string localPath(NemoFileInfo* file);

// Makes Nemo ask again for files whose badge the client learned (the
// client also tells of files asked about before their folder was watched).
// The client outlives the listening: the module drops it only at shutdown.
void followBadgeChanges(filemanagers::BadgeClient& client);

// Nemo asks for a folder's background menu when it opens the folder, maybe
// before the client has the service's menus or folders: each provider
// object followed here is told (items-updated) when they change, and Nemo
// asks again.
void followProvider(GObject* provider);
void followMenuChanges(filemanagers::BadgeClient& client);

// The interface tables of the provider type.
void initInfoProvider(NemoInfoProviderInterface* iface);
void initMenuProvider(NemoMenuProviderInterface* iface);

}  // namespace korvanenemo
