// The Korvane menu: one item "Korvane" whose submenu holds the service's
// commands, for the selected files (menu kind 0) and for the background of
// the folder shown (kind 1). Nautilus asks on every selection change, so the
// menus come from the client's cache and are never fetched here. Nautilus
// menus have no separators, so those are left out. Which menu is offered,
// and what a chosen item is about, the client core decides (menurequest.h).
#include <string>
#include <vector>

#include "file-managers/core/menurequest.h"
#include "file-managers/core/registration.h"
#include "file-managers/nautilus/provider.h"

namespace korvanenautilus {

namespace {

struct Choice {
  std::string action;
  filemanagers::MenuRequest request;
};

void choose(NautilusMenuItem*, gpointer data) {
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
  NautilusMenu* submenu = nautilus_menu_new();
  for (const auto& [title, action] : menu->items) {
    if (action.empty()) continue;
    const std::string name = std::string(prefix) + "::" + action;
    NautilusMenuItem* item = nautilus_menu_item_new(name.c_str(), title.c_str(), nullptr, nullptr);
    g_signal_connect_data(
        item, "activate", G_CALLBACK(choose), new Choice{action, *request},
        [](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
    // The menu and the item take their own references (whatever the
    // annotations say), so ours go.
    nautilus_menu_append_item(submenu, item);
    g_object_unref(item);
  }
  NautilusMenuItem* top = nautilus_menu_item_new(prefix, menu->title.c_str(), nullptr, nullptr);
  nautilus_menu_item_set_submenu(top, submenu);
  g_object_unref(submenu);
  return g_list_append(nullptr, top);
}

GList* fileItems(NautilusMenuProvider*, GList* files) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !files) return nullptr;
  std::vector<std::string> selected;
  for (GList* it = files; it; it = it->next) {
    std::string path = localPath(NAUTILUS_FILE_INFO(it->data));
    if (path.empty()) return nullptr;
    selected.push_back(std::move(path));
  }
  return korvaneMenu("KorvaneNautilus::Selection",
                     filemanagers::menuForItems(std::move(selected), badges->directoryURLs()));
}

// "Show Subversion Status" on the background of a folder inside a working
// copy the service does not watch: registers that working copy, and the
// service's folders (and so the badges and the Korvane menu) follow. Only
// offered while the service runs: until then its folders are not known.
GList* showStatusItem(const std::string& folder, const std::vector<std::string>& watched) {
  const auto root = filemanagers::unregisteredWorkingCopyRoot(folder, watched);
  if (!root) return nullptr;
  const char* name = "KorvaneNautilus::ShowStatus";
  NautilusMenuItem* item = nautilus_menu_item_new(name, filemanagers::kShowStatusTitle, nullptr, nullptr);
  g_signal_connect_data(
      item, "activate", G_CALLBACK(+[](NautilusMenuItem*, gpointer data) {
        filemanagers::registerWorkingCopy(*static_cast<std::string*>(data));
      }),
      new std::string(*root), [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
      GConnectFlags(0));
  return g_list_append(nullptr, item);
}

GList* backgroundItems(NautilusMenuProvider*, NautilusFileInfo* folder) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !folder) return nullptr;
  std::string path = localPath(folder);
  if (path.empty()) return nullptr;
  GList* menu = korvaneMenu("KorvaneNautilus::Folder", filemanagers::menuForFolder(path, badges->directoryURLs()));
  if (menu || !badges->serviceRunning()) return menu;
  return showStatusItem(path, badges->directoryURLs());
}

}  // namespace

void initMenuProvider(NautilusMenuProviderInterface* iface) {
  iface->get_file_items = fileItems;
  iface->get_background_items = backgroundItems;
}

}  // namespace korvanenautilus
