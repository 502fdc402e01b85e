// korvane-caja: the Caja module that shows finder-extension's badges
// as emblems and offers the Korvane menu.
//
// Contract:
// - Caja loads the module and calls everything here on its main thread;
//   the process-wide BadgeClient lives on that thread's main context, so its
//   callbacks arrive there too. Nothing here waits for the bus.
// - badges.cpp answers update_file_info from the client's map at once and
//   asks Caja to ask again (invalidation) when a badge changes.
// - menus.cpp builds the menus from the client's cached menus and hands a
//   chosen item to the client, which sends it asynchronously.
#pragma once

#include <gio/gio.h>
extern "C" {
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>
}

#include <memory>
#include <string>

#include "file-managers/core/badgeclient.h"

namespace korvanecaja {

// The client of this process; nullptr when there is no session bus.
filemanagers::BadgeClient* client();

// The local path of a file Caja shows; "" for other locations (trash,
// network shares without a local mount, ...).
std::string localPath(CajaFileInfo* file);

// Makes Caja ask again for files whose badge the client learned (the
// client also tells of files asked about before their folder was watched).
// The client outlives the listening: the module drops it only at shutdown.
void followBadgeChanges(filemanagers::BadgeClient& client);

// Caja asks for a folder's background menu when it opens the folder, maybe
// before the client has the service's menus or folders: each provider
// object followed here is told (items-updated) when they change, and Caja
// asks again.
void followProvider(GObject* provider);
void followMenuChanges(filemanagers::BadgeClient& client);

// The interface tables of the provider type.
void initInfoProvider(CajaInfoProviderIface* iface);
void initMenuProvider(CajaMenuProviderIface* iface);

}  // namespace korvanecaja
