// korvane-thunar: the Thunar module that offers the Korvane menu, headed
// by the selected item's status. Thunar gives a module menus only (its
// emblems come from per-user metadata), so there are no badges.
//
// Contract:
// - Thunar loads the module and calls everything here on its main thread;
//   the process-wide BadgeClient lives on that thread's main context, so its
//   callbacks arrive there too. Nothing here waits for the bus.
// - menus.cpp builds the menus from the client's cached menus and badge map
//   and hands a chosen item to the client, which sends it asynchronously.
#pragma once

#include <gio/gio.h>
extern "C" {
#include <thunarx/thunarx.h>
}

#include <string>

#include "file-managers/core/badgeclient.h"

namespace korvanethunar {

// The client of this process; nullptr when there is no session bus.
filemanagers::BadgeClient* client();

// The local path of a file Thunar shows; "" for other locations (trash,
// network shares without a local mount, ...).
std::string localPath(ThunarxFileInfo* file);

// The interface table of the provider type.
void initMenuProvider(ThunarxMenuProviderIface* iface);

}  // namespace korvanethunar
