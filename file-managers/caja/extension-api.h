// Caja's extension API under the names of the shared GTK 3 module
// (file-managers/gtk3-module): korvane-caja is that module's source compiled
// with this header. Nemo and Caja have the same GObject interfaces under
// their own prefixes; what differs between them is here, and only here.
// Everything is called on Caja's main thread, as the module is.
#pragma once

#include <gio/gio.h>
extern "C" {
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>
}

// The module's entry points Caja looks up: caja_module_initialize, ...
#define KRV_GTK3_MODULE_ENTRY(name) caja_module_##name

namespace korvanegtk3::fm {

// Starts the names of the menu items, which must be unique in Caja's menus.
inline constexpr char kItemPrefix[] = "KorvaneCaja";

using FileInfo = CajaFileInfo;
using InfoProvider = CajaInfoProvider;
using InfoProviderInterface = CajaInfoProviderIface;
using MenuProvider = CajaMenuProvider;
using MenuProviderInterface = CajaMenuProviderIface;
using Menu = CajaMenu;
using MenuItem = CajaMenuItem;
using OperationResult = CajaOperationResult;
using OperationHandle = CajaOperationHandle;
inline constexpr OperationResult kOperationComplete = CAJA_OPERATION_COMPLETE;

inline GType infoProviderType() { return CAJA_TYPE_INFO_PROVIDER; }
inline GType menuProviderType() { return CAJA_TYPE_MENU_PROVIDER; }

inline FileInfo* fileInfo(gpointer object) { return CAJA_FILE_INFO(object); }
inline GFile* location(FileInfo* file) { return caja_file_info_get_location(file); }
inline FileInfo* lookup(GFile* location) { return caja_file_info_lookup(location); }
inline void invalidateExtensionInfo(FileInfo* file) { caja_file_info_invalidate_extension_info(file); }
inline void addEmblem(FileInfo* file, const char* emblem) { caja_file_info_add_emblem(file, emblem); }

inline Menu* newMenu() { return caja_menu_new(); }
// The tooltip must not be NULL: the library refuses such an item.
inline MenuItem* newMenuItem(const char* name, const char* label) {
  return caja_menu_item_new(name, label, "", nullptr);
}
// Caja's extension menus have no separator item: the service's separators
// are left out.
inline MenuItem* newSeparator(const char*) { return nullptr; }
inline void appendItem(Menu* menu, MenuItem* item) { caja_menu_append_item(menu, item); }
inline void setSubmenu(MenuItem* item, Menu* submenu) { caja_menu_item_set_submenu(item, submenu); }
inline void emitItemsUpdated(GObject* provider) {
  caja_menu_provider_emit_items_updated_signal(CAJA_MENU_PROVIDER(provider));
}

}  // namespace korvanegtk3::fm
