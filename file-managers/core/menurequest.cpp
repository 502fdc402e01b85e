#include "file-managers/core/menurequest.h"

#include <algorithm>

#include "file-managers/core/paths.h"

namespace filemanagers {

namespace {

bool watchedPath(const std::string& path, const std::vector<std::string>& watched) {
  return std::any_of(watched.begin(), watched.end(), [&](const std::string& dir) { return isInsideFolder(path, dir); });
}

}  // namespace

std::optional<MenuRequest> menuForItems(std::vector<std::string> items, const std::vector<std::string>& watched) {
  if (items.empty()) return std::nullopt;
  for (const auto& item : items) {
    if (!watchedPath(item, watched)) return std::nullopt;
  }
  // Items of expanded subfolders (a list view's tree) may sit in different
  // folders: the one shown is the deepest folder holding them all.
  std::string targeted = parentFolder(items.front());
  for (const auto& item : items) {
    while (!isInsideFolder(parentFolder(item), targeted)) targeted = parentFolder(targeted);
  }
  return MenuRequest{MenuRequest::kSelectedItems, std::move(items), std::move(targeted)};
}

std::optional<MenuRequest> menuForFolder(std::string folder, const std::vector<std::string>& watched) {
  if (!watchedPath(folder, watched)) return std::nullopt;
  return MenuRequest{MenuRequest::kFolderShown, {}, std::move(folder)};
}

}  // namespace filemanagers
