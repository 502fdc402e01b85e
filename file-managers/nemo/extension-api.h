// Nemo's extension API under the names of the shared GTK 3 module
// (file-managers/gtk3-module): korvane-nemo is that module's source compiled
// with this header. Nemo and Caja have the same GObject interfaces under
// their own prefixes; what differs between them is here, and only here.
// Everything is called on Nemo's main thread, as the module is.
#pragma once

#include <gio/gio.h>
extern "C" {
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>
}

// The module's entry points Nemo looks up: nemo_module_initialize, ...
#define KRV_GTK3_MODULE_ENTRY(name) nemo_module_##name

namespace korvanegtk3::fm {

// Starts the names of the menu items, which must be unique in Nemo's menus.
inline constexpr char kItemPrefix[] = "KorvaneNemo";

using FileInfo = NemoFileInfo;
using InfoProvider = NemoInfoProvider;
using InfoProviderInterface = NemoInfoProviderInterface;
using MenuProvider = NemoMenuProvider;
using MenuProviderInterface = NemoMenuProviderInterface;
using Menu = NemoMenu;
using MenuItem = NemoMenuItem;
using OperationResult = NemoOperationResult;
using OperationHandle = NemoOperationHandle;
inline constexpr OperationResult kOperationComplete = NEMO_OPERATION_COMPLETE;

inline GType infoProviderType() { return NEMO_TYPE_INFO_PROVIDER; }
inline GType menuProviderType() { return NEMO_TYPE_MENU_PROVIDER; }

inline FileInfo* fileInfo(gpointer object) { return NEMO_FILE_INFO(object); }
inline GFile* location(FileInfo* file) { return nemo_file_info_get_location(file); }
inline FileInfo* lookup(GFile* location) { return nemo_file_info_lookup(location); }
inline void invalidateExtensionInfo(FileInfo* file) { nemo_file_info_invalidate_extension_info(file); }
inline void addEmblem(FileInfo* file, const char* emblem) { nemo_file_info_add_emblem(file, emblem); }

inline Menu* newMenu() { return nemo_menu_new(); }
// The tooltip must not be NULL: the library refuses such an item.
inline MenuItem* newMenuItem(const char* name, const char* label) {
  return nemo_menu_item_new(name, label, "", nullptr);
}
inline MenuItem* newSeparator(const char* name) { return nemo_menu_item_new_separator(name); }
inline void appendItem(Menu* menu, MenuItem* item) { nemo_menu_append_item(menu, item); }
inline void setSubmenu(MenuItem* item, Menu* submenu) { nemo_menu_item_set_submenu(item, submenu); }
inline void emitItemsUpdated(GObject* provider) {
  nemo_menu_provider_emit_items_updated_signal(NEMO_MENU_PROVIDER(provider));
}

}  // namespace korvanegtk3::fm
