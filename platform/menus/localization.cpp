#include <mutex>

#include "menus.h"

namespace menus {

namespace {
std::mutex tableMutex;
StringTable installedTable;  // guarded by tableMutex
}  // namespace

std::string localizedStringForKey(const std::string& key) {
  std::lock_guard lock(tableMutex);
  auto found = installedTable.find(key);
  if (found == installedTable.end()) return key;
  return found->second;
}

void setLocalizedStringTable(StringTable table) {
  std::lock_guard lock(tableMutex);
  installedTable = std::move(table);
}

}  // namespace menus
