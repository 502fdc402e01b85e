// The Korvane menu: one item "Korvane" whose submenu holds the service's
// commands, for the selected files (menu kind 0) and for the background of
// the folder shown (kind 1). Nautilus asks on every selection change, so the
// menus come from the client's cache and are never fetched here. Nautilus
// menus have no separators, so those are left out.
#include <string>
#include <vector>

#include "file-managers/nautilus/provider.h"

namespace korvanenautilus {

namespace {

constexpr std::uint32_t kSelectionMenu = 0;
constexpr std::uint32_t kFolderMenu = 1;

struct Choice {
  std::string action;
  std::vector<std::string> selected;
  std::string targeted;
};

std::string parentFolder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

void choose(NautilusMenuItem*, gpointer data) {
  const auto* choice = static_cast<const Choice*>(data);
  if (filemanagers::BadgeClient* badges = client())
    badges->chooseMenuItem(choice->action, choice->selected, choice->targeted);
}

// The menu of one kind for these paths, named uniquely by prefix; nullptr
// when the service offers none yet.
GList* korvaneMenu(std::uint32_t kind, const char* prefix, const std::vector<std::string>& selected,
                   const std::string& targeted) {
  filemanagers::BadgeClient* badges = client();
  if (!badges) return nullptr;
  const auto menu = badges->menu(kind);
  if (!menu || !menu->present) return nullptr;
  NautilusMenu* submenu = nautilus_menu_new();
  for (const auto& [title, action] : menu->items) {
    if (action.empty()) continue;
    const std::string name = std::string(prefix) + "::" + action;
    NautilusMenuItem* item = nautilus_menu_item_new(name.c_str(), title.c_str(), nullptr, nullptr);
    g_signal_connect_data(
        item, "activate", G_CALLBACK(choose), new Choice{action, selected, targeted},
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
    // The menu is for items of the watched folders only.
    if (path.empty() || !badges->isInsideWatchedFolder(path)) return nullptr;
    selected.push_back(std::move(path));
  }
  const std::string folder = parentFolder(selected.front());
  return korvaneMenu(kSelectionMenu, "KorvaneNautilus::Selection", selected, folder);
}

GList* backgroundItems(NautilusMenuProvider*, NautilusFileInfo* folder) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !folder) return nullptr;
  const std::string path = localPath(folder);
  if (path.empty() || !badges->isInsideWatchedFolder(path)) return nullptr;
  return korvaneMenu(kFolderMenu, "KorvaneNautilus::Folder", {}, path);
}

}  // namespace

void initMenuProvider(NautilusMenuProviderInterface* iface) {
  iface->get_file_items = fileItems;
  iface->get_background_items = backgroundItems;
}

}  // namespace korvanenautilus
