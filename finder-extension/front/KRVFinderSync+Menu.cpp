// The context menu, its six actions and the selection they act on.
#include <map>

#include "KRVFinderSync.h"
#include "platform/findersync/findersync.h"
#include "platform/menus/menus.h"

namespace {

// Menu kinds as the file manager numbers them: 0 the selected items, 1 the
// folder a window shows; 2 (sidebar) and 3 (toolbar) get no menu.
constexpr std::uint64_t kMaxMenuKindWithMenu = 1;

// Item actions name the member they run; the host hands the name back when
// the user chooses the item.
using Action = void (KRVFinderSync::*)();
const std::map<std::string, Action>& actionsByName() {
  static const std::map<std::string, Action> actions = {
      {"showInKorvane", &KRVFinderSync::showInKorvane}, {"updateItems", &KRVFinderSync::updateItems},
      {"commitItems", &KRVFinderSync::commitItems},     {"addItems", &KRVFinderSync::addItems},
      {"ignoreItems", &KRVFinderSync::ignoreItems},     {"revertItems", &KRVFinderSync::revertItems},
  };
  return actions;
}

void addCommand(menus::Menu& menu, const std::string& titleKey, const std::string& action) {
  menu.addItemWithTitle(menus::localizedStringForKey(titleKey), action, "");
}

}  // namespace

std::unique_ptr<menus::Menu> KRVFinderSync::menuForMenuKind(std::uint64_t menuKind) {
  if (menuKind > kMaxMenuKindWithMenu) return nullptr;
  const bool grouped = menus::isOperatingSystemAtLeastVersion({27, 0, 0});

  auto commands = std::make_shared<menus::Menu>("");
  addCommand(*commands, "Show in Korvane", "showInKorvane");
  if (grouped) commands->addItem(menus::MenuItem::separatorItem());
  addCommand(*commands, "Update", "updateItems");
  addCommand(*commands, "Commit Changes\u2026", "commitItems");
  if (grouped) commands->addItem(menus::MenuItem::separatorItem());
  addCommand(*commands, "Add", "addItems");
  addCommand(*commands, "Ignore", "ignoreItems");
  addCommand(*commands, "Revert\u2026", "revertItems");

  auto menu = std::make_unique<menus::Menu>("");
  menus::MenuItem top{menus::localizedStringForKey("Korvane"), "", "", std::move(commands), false};
  menu->addItem(std::move(top));
  return menu;
}

bool KRVFinderSync::performMenuAction(const std::string& action) {
  const auto& actions = actionsByName();
  auto found = actions.find(action);
  if (found == actions.end()) return false;
  (this->*(found->second))();
  return true;
}

void KRVFinderSync::showInKorvane() { p_sendCommand("reveal"); }
void KRVFinderSync::updateItems() { p_sendCommand("update"); }
void KRVFinderSync::commitItems() { p_sendCommand("commit"); }
void KRVFinderSync::addItems() { p_sendCommand("add"); }
void KRVFinderSync::ignoreItems() { p_sendCommand("ignore"); }
void KRVFinderSync::revertItems() { p_sendCommand("revert"); }

std::vector<std::string> KRVFinderSync::p_selectedItemPaths() {
  std::vector<std::string> paths;
  auto controller = findersync::defaultController();
  if (!controller) return paths;

  std::vector<foundation::FileURL> urls = controller->selectedItemURLs();
  if (urls.empty()) {
    if (auto targeted = controller->targetedURL()) urls.push_back(*targeted);
  }
  for (const auto& url : urls) {
    std::string path = url.standardizedPath();
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}
