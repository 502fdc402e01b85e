// Menus as plain values, standing in for NSMenu and NSMenuItem, with the two
// services the principal needs to build them: the bundle's string table
// (localised titles) and the running system's version.
//
// Contract:
// - Menu and MenuItem are values: what the principal builds and the host
//   shows. A menu item names the principal's action by the action's member
//   name ("updateItems"); the host dispatches a chosen item to the principal
//   with that name. A separator has isSeparator set and no title or action.
// - localizedStringForKey(key) is the title that the extension's default
//   string table holds for key, or key itself when the table has none. No
//   translations ship on Linux, so the English key is what shows unless a
//   table is installed with setLocalizedStringTable().
// - isOperatingSystemAtLeastVersion(v) compares the installed SystemVersion's
//   version with v. On Linux the "system" is the menu style of the desktop:
//   the default SystemVersion reports 27.0.0, the first system whose context
//   menus group their items with separators, because every Linux file
//   manager draws menu separators. The environment variable
//   KRV_SYSTEM_VERSION ("26", "26.4", "27.0.1") replaces that default for a
//   process (for demonstrations of the older, separator-less menu); text
//   that is not one to three dot-separated numbers is ignored. Tests install
//   their own SystemVersion with setSystemVersion().
// - Every function may be called from any thread; installing a table or a
//   version while another thread reads them is safe.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
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

// --- localised titles (NSBundle localizedStringForKey:value:table:)

using StringTable = std::map<std::string, std::string>;

std::string localizedStringForKey(const std::string& key);
// Replaces the default string table; an empty table restores the keys.
void setLocalizedStringTable(StringTable table);

// --- the system-version test (NSProcessInfo)

struct OperatingSystemVersion {
  std::int64_t majorVersion = 0;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;
  auto operator<=>(const OperatingSystemVersion&) const = default;
};

class SystemVersion {
 public:
  virtual ~SystemVersion() = default;
  virtual OperatingSystemVersion operatingSystemVersion() const = 0;
};

// A fixed version, for tests and for the environment override.
class FixedSystemVersion final : public SystemVersion {
 public:
  explicit FixedSystemVersion(OperatingSystemVersion version) : version_(version) {}
  OperatingSystemVersion operatingSystemVersion() const override { return version_; }

 private:
  OperatingSystemVersion version_;
};

bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version);
// Installs the version the test above asks; nullptr restores the default.
void setSystemVersion(std::shared_ptr<const SystemVersion> version);

}  // namespace menus
