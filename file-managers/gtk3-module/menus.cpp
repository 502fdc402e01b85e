// The Korvane menu: one item "Korvane" whose submenu holds the service's
// commands, for the selected files (menu kind 0) and for the background of
// the folder shown (kind 1). The file manager asks on every selection
// change, so the menus come from the client's cache and are never fetched
// here. These are GTK 3 menus: where the file manager's extension menus
// have a separator item (Nemo's; fm::newSeparator), the service's
// separators are kept. Which menu is offered, and what a chosen item is
// about, the client core decides (menurequest.h).
#include <string>
#include <vector>

#include "file-managers/core/menurequest.h"
#include "file-managers/core/registration.h"
#include "file-managers/gtk3-module/provider.h"

namespace korvanegtk3 {

namespace {

struct Choice {
  std::string action;
  filemanagers::MenuRequest request;
};

void choose(fm::MenuItem*, gpointer data) {
  const auto* choice = static_cast<const Choice*>(data);
  if (filemanagers::BadgeClient* badges = client())
    badges->chooseMenuItem(choice->action, choice->request.selected, choice->request.targeted);
}

// A menu item's name, unique in the file manager's menus: "KorvaneNemo::Selection", ...
std::string itemName(const std::string& suffix) { return std::string(fm::kItemPrefix) + "::" + suffix; }

// The menu for this request, its items' names starting with prefix; nullptr
// when there is no request or the service offers no menu yet.
GList* korvaneMenu(const std::string& prefix, const std::optional<filemanagers::MenuRequest>& request) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !request) return nullptr;
  const auto menu = badges->menu(request->kind);
  if (!menu || !menu->present) return nullptr;
  fm::Menu* submenu = fm::newMenu();
  int separators = 0;
  // The menu and the items take their own references, so ours go.
  for (const auto& [title, action] : menu->items) {
    if (action.empty()) {
      const std::string name = prefix + "::separator" + std::to_string(separators++);
      if (fm::MenuItem* separator = fm::newSeparator(name.c_str())) {
        fm::appendItem(submenu, separator);
        g_object_unref(separator);
      }
      continue;
    }
    const std::string name = prefix + "::" + action;
    fm::MenuItem* item = fm::newMenuItem(name.c_str(), title.c_str());
    g_signal_connect_data(
        item, "activate", G_CALLBACK(choose), new Choice{action, *request},
        [](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
    fm::appendItem(submenu, item);
    g_object_unref(item);
  }
  fm::MenuItem* top = fm::newMenuItem(prefix.c_str(), menu->title.c_str());
  fm::setSubmenu(top, submenu);
  g_object_unref(submenu);
  return g_list_append(nullptr, top);
}

GList* fileItems(fm::MenuProvider*, GtkWidget*, GList* files) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !files) return nullptr;
  std::vector<std::string> selected;
  for (GList* it = files; it; it = it->next) {
    std::string path = localPath(fm::fileInfo(it->data));
    if (path.empty()) return nullptr;
    selected.push_back(std::move(path));
  }
  return korvaneMenu(itemName("Selection"), filemanagers::menuForItems(std::move(selected), badges->directoryURLs()));
}

// "Show Subversion Status" on the background of a folder inside a working
// copy the service does not watch: registers that working copy, and the
// service's folders (and so the badges and the Korvane menu) follow. Only
// offered while the service runs: until then its folders are not known.
GList* showStatusItem(const std::string& folder, const std::vector<std::string>& watched) {
  const auto root = filemanagers::unregisteredWorkingCopyRoot(folder, watched);
  if (!root) return nullptr;
  fm::MenuItem* item = fm::newMenuItem(itemName("ShowStatus").c_str(), filemanagers::kShowStatusTitle);
  g_signal_connect_data(
      item, "activate", G_CALLBACK(+[](fm::MenuItem*, gpointer data) {
        filemanagers::registerWorkingCopy(*static_cast<std::string*>(data));
      }),
      new std::string(*root), [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
      GConnectFlags(0));
  return g_list_append(nullptr, item);
}

GList* backgroundItems(fm::MenuProvider*, GtkWidget*, fm::FileInfo* folder) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !folder) return nullptr;
  std::string path = localPath(folder);
  if (path.empty()) return nullptr;
  GList* menu = korvaneMenu(itemName("Folder"), filemanagers::menuForFolder(path, badges->directoryURLs()));
  if (menu || !badges->serviceRunning()) return menu;
  return showStatusItem(path, badges->directoryURLs());
}

std::vector<GObject*> providers;

void menusChanged() {
  for (GObject* provider : providers) fm::emitItemsUpdated(provider);
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

void initMenuProvider(fm::MenuProviderInterface* iface) {
  iface->get_file_items = fileItems;
  iface->get_background_items = backgroundItems;
}

}  // namespace korvanegtk3
