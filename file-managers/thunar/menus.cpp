// The Korvane menu: one item "Korvane" whose submenu holds the service's
// commands, for the selected files (menu kind 0) and for the background of
// the folder shown (kind 1). Thunar cannot badge files, so for a single
// selected item the submenu opens with an insensitive line naming its
// status. Menus and badges come from the client's cache, never fetched
// here; a badge not known yet is asked for, and the next menu shows it.
// Thunar's extension menus have no separators, so those are left out.
// Which menu is offered, and what a chosen item is about, the client core
// decides (menurequest.h).
#include <optional>
#include <string>
#include <vector>

#include "file-managers/core/menurequest.h"
#include "file-managers/core/registration.h"
#include "file-managers/thunar/provider.h"

namespace korvanethunar {

namespace {

struct Choice {
  std::string action;
  filemanagers::MenuRequest request;
};

void choose(ThunarxMenuItem*, gpointer data) {
  const auto* choice = static_cast<const Choice*>(data);
  if (filemanagers::BadgeClient* badges = client())
    badges->chooseMenuItem(choice->action, choice->request.selected, choice->request.targeted);
}

std::string statusLine(const std::optional<std::string>& badge) {
  if (!badge) return "Status: checking\u2026";
  if (badge->empty()) return "Status: unchanged";
  return "Status: " + *badge;
}

void append(ThunarxMenu* menu, ThunarxMenuItem* item) {
  // The menu takes its own reference, so ours goes.
  thunarx_menu_append_item(menu, item);
  g_object_unref(item);
}

// The menu for this request, named uniquely by prefix; nullptr when there is
// no request or the service offers no menu yet.
GList* korvaneMenu(const char* prefix, const std::optional<filemanagers::MenuRequest>& request) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !request) return nullptr;
  const auto menu = badges->menu(request->kind);
  if (!menu || !menu->present) return nullptr;
  ThunarxMenu* submenu = thunarx_menu_new();
  if (request->selected.size() == 1) {
    const std::string name = std::string(prefix) + "::status";
    ThunarxMenuItem* status = thunarx_menu_item_new(
        name.c_str(), statusLine(badges->badgeForPath(request->selected.front())).c_str(), nullptr, nullptr);
    thunarx_menu_item_set_sensitive(status, FALSE);
    append(submenu, status);
  }
  for (const auto& [title, action] : menu->items) {
    if (action.empty()) continue;
    const std::string name = std::string(prefix) + "::" + action;
    ThunarxMenuItem* item = thunarx_menu_item_new(name.c_str(), title.c_str(), nullptr, nullptr);
    g_signal_connect_data(
        item, "activate", G_CALLBACK(choose), new Choice{action, *request},
        [](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
    append(submenu, item);
  }
  ThunarxMenuItem* top = thunarx_menu_item_new(prefix, menu->title.c_str(), nullptr, nullptr);
  thunarx_menu_item_set_menu(top, submenu);
  g_object_unref(submenu);
  return g_list_append(nullptr, top);
}

GList* fileItems(ThunarxMenuProvider*, GtkWidget*, GList* files) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !files) return nullptr;
  std::vector<std::string> selected;
  for (GList* it = files; it; it = it->next) {
    std::string path = localPath(THUNARX_FILE_INFO(it->data));
    if (path.empty()) return nullptr;
    selected.push_back(std::move(path));
  }
  return korvaneMenu("KorvaneThunar::Selection",
                     filemanagers::menuForItems(std::move(selected), badges->directoryURLs()));
}

// "Show Subversion Status" on the background of a folder inside a working
// copy the service does not watch: registers that working copy, and the
// service's folders (and so the badges and the Korvane menu) follow. Only
// offered while the service runs: until then its folders are not known.
GList* showStatusItem(const std::string& folder, const std::vector<std::string>& watched) {
  const auto root = filemanagers::unregisteredWorkingCopyRoot(folder, watched);
  if (!root) return nullptr;
  const char* name = "KorvaneThunar::ShowStatus";
  ThunarxMenuItem* item = thunarx_menu_item_new(name, filemanagers::kShowStatusTitle, nullptr, nullptr);
  g_signal_connect_data(
      item, "activate", G_CALLBACK(+[](ThunarxMenuItem*, gpointer data) {
        filemanagers::registerWorkingCopy(*static_cast<std::string*>(data));
      }),
      new std::string(*root), [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
      GConnectFlags(0));
  return g_list_append(nullptr, item);
}

GList* folderItems(ThunarxMenuProvider*, GtkWidget*, ThunarxFileInfo* folder) {
  filemanagers::BadgeClient* badges = client();
  if (!badges || !folder) return nullptr;
  std::string path = localPath(folder);
  if (path.empty()) return nullptr;
  GList* menu = korvaneMenu("KorvaneThunar::Folder", filemanagers::menuForFolder(path, badges->directoryURLs()));
  if (menu || !badges->serviceRunning()) return menu;
  return showStatusItem(path, badges->directoryURLs());
}

}  // namespace

void initMenuProvider(ThunarxMenuProviderIface* iface) {
  iface->get_file_menu_items = fileItems;
  iface->get_folder_menu_items = folderItems;
}

}  // namespace korvanethunar
