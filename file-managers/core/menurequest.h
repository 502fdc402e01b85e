// Which Korvane menu a file manager offers and what a chosen item is about.
//
// The submenu appears only when every item it would act on lies inside one
// of the service's folders. For selected items it is menu kind 0, about
// those items, targeting the folder that holds them all (the folder shown);
// for the background of a folder it is kind 1, about no item, targeting that
// folder. The request goes to BadgeClient::menu(kind) to build the menu and,
// with the chosen action, to BadgeClient::chooseMenuItem.
//
// Contract: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace filemanagers {

struct MenuRequest {
  static constexpr std::uint32_t kSelectedItems = 0;
  static constexpr std::uint32_t kFolderShown = 1;

  std::uint32_t kind = kSelectedItems;
  std::vector<std::string> selected;
  std::string targeted;

  bool operator==(const MenuRequest&) const = default;
};

// items: standard local paths (see paths.h); watched: the service's folders
// (BadgeClient::directoryURLs). nullopt when no menu is offered.
std::optional<MenuRequest> menuForItems(std::vector<std::string> items, const std::vector<std::string>& watched);
std::optional<MenuRequest> menuForFolder(std::string folder, const std::vector<std::string>& watched);

}  // namespace filemanagers
