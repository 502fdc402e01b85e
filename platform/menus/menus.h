// Menus as plain values, standing in for NSMenu and NSMenuItem: what the
// principal builds and the host shows. A menu item names the principal's
// action by the action's member name; the host dispatches a chosen item to
// the principal with that name.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace menus {

class Menu;

struct MenuItem {
  std::string title;
  std::string action;  // "" for none
  std::string keyEquivalent;
  std::shared_ptr<Menu> submenu;
  bool isSeparator = false;

  static MenuItem separatorItem();
};

class Menu {
 public:
  explicit Menu(std::string title) : title_(std::move(title)) {}
  const std::string& title() const { return title_; }
  const std::vector<MenuItem>& items() const { return items_; }

  MenuItem& addItemWithTitle(std::string title, std::string action, std::string keyEquivalent);
  void addItem(MenuItem item);

 private:
  std::string title_;
  std::vector<MenuItem> items_;
};

}  // namespace menus
