#include "menus.h"

namespace menus {

MenuItem MenuItem::separatorItem() {
  MenuItem item;
  item.isSeparator = true;
  return item;
}

MenuItem& Menu::addItemWithTitle(std::string title, std::string action, std::string keyEquivalent) {
  items_.push_back(MenuItem{std::move(title), std::move(action), std::move(keyEquivalent), nullptr, false});
  return items_.back();
}

void Menu::addItem(MenuItem item) { items_.push_back(std::move(item)); }

}  // namespace menus
