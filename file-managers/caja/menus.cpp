// The Korvane menu: one item "Korvane" whose submenu holds the service's
// commands, for the selected files (menu kind 0) and for the background of
// the folder shown (kind 1). Caja asks on every selection change, so the
// menus come from the client's cache and are never fetched here. Caja's
// extension menus have no separator item (only Nemo's have), so those are
// left out. Which menu is offered,
// and what a chosen item is about, the client core decides (menurequest.h).
#include <string>
#include <vector>

#include "file-managers/caja/provider.h"
#include "file-managers/core/menurequest.h"
#include "file-managers/core/registration.h"

namespace korvanecaja {

namespace {

struct Choice {
  std::string action;
  filemanagers::MenuRequest request;
};

void choose(CajaMenuItem*, gpointer data) {
  const auto* choice = static_cast<const Choice*>(data);
  if (filemanagers::BadgeClient* badges = client())
    badges->chooseMenuItem(choice->action, choice->request.selected, choice->request.targeted);
}

// The menu for this request, named uniquely by prefix; nullptr when there is
// no request or the service offers no menu yet.
GList* korvaneMenu(const char* prefix, const std::optional<filemanagers::MenuRequest>& request) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !request) return nullptr;
  const auto menu = badges->menu(request->kind);
  if (!menu || !menu->present) return nullptr;
  CajaMenu* submenu = caja_menu_new();
  for (const auto& [title, action] : menu->items) {
    if (action.empty()) continue;
    const std::string name = std::string(prefix) + "::" + action;
    CajaMenuItem* item = caja_menu_item_new(name.c_str(), title.c_str(), "", nullptr);
    g_signal_connect_data(
        item, "activate", G_CALLBACK(choose), new Choice{action, *request},
        [](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
    // The menu and the item take their own references, so ours go. The
    // tooltip must not be NULL: the library refuses such an item.
    caja_menu_append_item(submenu, item);
    g_object_unref(item);
  }
  CajaMenuItem* top = caja_menu_item_new(prefix, menu->title.c_str(), "", nullptr);
  caja_menu_item_set_submenu(top, submenu);
  g_object_unref(submenu);
  return g_list_append(nullptr, top);
}

GList* fileItems(CajaMenuProvider*, GtkWidget*, GList* files) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !files) return nullptr;
  std::vector<std::string> selected;
  for (GList* it = files; it; it = it->next) {
    std::string path = localPath(CAJA_FILE_INFO(it->data));
    if (path.empty()) return nullptr;
    selected.push_back(std::move(path));
  }
  return korvaneMenu("KorvaneCaja::Selection",
                     filemanagers::menuForItems(std::move(selected), badges->directoryURLs()));
}

// "Show Subversion Status" on the background of a folder inside a working
// copy the service does not watch: registers that working copy, and the
// service's folders (and so the badges and the Korvane menu) follow. Only
// offered while the service runs: until then its folders are not known.
GList* showStatusItem(const std::string& folder, const std::vector<std::string>& watched) {
  const auto root = filemanagers::unregisteredWorkingCopyRoot(folder, watched);
  if (!root) return nullptr;
  const char* name = "KorvaneCaja::ShowStatus";
  CajaMenuItem* item = caja_menu_item_new(name, filemanagers::kShowStatusTitle, "", nullptr);
  g_signal_connect_data(
      item, "activate", G_CALLBACK(+[](CajaMenuItem*, gpointer data) {
        filemanagers::registerWorkingCopy(*static_cast<std::string*>(data));
      }),
      new std::string(*root), [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
      GConnectFlags(0));
  return g_list_append(nullptr, item);
}

GList* backgroundItems(CajaMenuProvider*, GtkWidget*, CajaFileInfo* folder) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !folder) return nullptr;
  std::string path = localPath(folder);
  if (path.empty()) return nullptr;
  GList* menu = korvaneMenu("KorvaneCaja::Folder", filemanagers::menuForFolder(path, badges->directoryURLs()));
  if (menu || !badges->serviceRunning()) return menu;
  return showStatusItem(path, badges->directoryURLs());
}

std::vector<GObject*> providers;

void menusChanged() {
  for (GObject* provider : providers) caja_menu_provider_emit_items_updated_signal(CAJA_MENU_PROVIDER(provider));
}

}  // namespace

void followProvider(GObject* provider) {
  providers.push_back(provider);
  g_object_weak_ref(
      provider, [](gpointer, GObject* gone) { std::erase(providers, gone); }, nullptr);
}

void followMenuChanges(filemanagers::BadgeClient& badges) {
  badges.onMenusChanged(menusChanged);
  badges.onDirectoryURLsChanged([](const std::vector<std::string>&) { menusChanged(); });
}

void initMenuProvider(CajaMenuProviderIface* iface) {
  iface->get_file_items = fileItems;
  iface->get_background_items = backgroundItems;
}

}  // namespace korvanecaja
