// Finder Sync: the file manager's side of the extension.
//
// FinderSync (FIFinderSync) is the base of the extension's principal object:
// the host calls its members when the file manager shows folders, wants
// badges or menus, or the user chooses a menu item. The host may call them on
// any thread.
//
// Controller (FIFinderSyncController) is what the principal asks of the file
// manager. Contract:
// - defaultController() is the one controller of the process. The extension
//   host installs the session-bus controller before it creates the principal;
//   tests install a FakeController. Until one is installed there is none.
// - setBadgeIdentifier() with "" removes an item's badge.
// - setDirectoryURLs() replaces the set of folders the file manager asks about.
// - selectedItemURLs() and targetedURL() describe the selection of the menu
//   action that is running; outside an action they are empty.
// - Every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/foundation/fileurl.h"
#include "platform/menus/menus.h"

namespace graphics {
class Image;
}

namespace findersync {

class FinderSync {
 public:
  virtual ~FinderSync() = default;
  virtual void beginObservingDirectoryAtURL(const foundation::FileURL&) {}
  virtual void endObservingDirectoryAtURL(const foundation::FileURL&) {}
  virtual void requestBadgeIdentifierForURL(const foundation::FileURL&) {}
  // The menu for a menu kind, or nullptr for none.
  virtual std::unique_ptr<menus::Menu> menuForMenuKind(std::uint64_t) { return nullptr; }
  // Runs the action member a chosen menu item names; false when there is none.
  virtual bool performMenuAction(const std::string&) { return false; }
};

class Controller {
 public:
  virtual ~Controller() = default;
  virtual void setDirectoryURLs(const foundation::URLSet& urls) = 0;
  virtual foundation::URLSet directoryURLs() const = 0;
  virtual void setBadgeIdentifier(const std::string& identifier, const foundation::FileURL& url) = 0;
  virtual void setBadgeImage(std::shared_ptr<const graphics::Image> image, const std::string& label,
                             const std::string& identifier) = 0;
  virtual std::vector<foundation::FileURL> selectedItemURLs() const = 0;
  virtual std::optional<foundation::FileURL> targetedURL() const = 0;
};

// The installed controller, or nullptr when none is installed.
std::shared_ptr<Controller> defaultController();
void setDefaultController(std::shared_ptr<Controller> controller);

// Records every call, for tests; the selection is whatever the test sets.
class FakeController final : public Controller {
 public:
  struct BadgeImageCall {
    std::shared_ptr<const graphics::Image> image;
    std::string label;
    std::string identifier;
  };

  void setDirectoryURLs(const foundation::URLSet& urls) override;
  foundation::URLSet directoryURLs() const override;
  void setBadgeIdentifier(const std::string& identifier, const foundation::FileURL& url) override;
  void setBadgeImage(std::shared_ptr<const graphics::Image> image, const std::string& label,
                     const std::string& identifier) override;
  std::vector<foundation::FileURL> selectedItemURLs() const override;
  std::optional<foundation::FileURL> targetedURL() const override;

  void setSelection(std::vector<foundation::FileURL> selected, std::optional<foundation::FileURL> targeted);

  // Every setDirectoryURLs call, in order.
  std::vector<foundation::URLSet> directoryURLCalls() const;
  // Every setBadgeIdentifier call as (identifier, path), in order.
  std::vector<std::pair<std::string, std::string>> badgeCalls() const;
  std::vector<BadgeImageCall> badgeImageCalls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<foundation::URLSet> directoryCalls_;
  std::vector<std::pair<std::string, std::string>> badgeCalls_;
  std::vector<BadgeImageCall> imageCalls_;
  std::vector<foundation::FileURL> selected_;
  std::optional<foundation::FileURL> targeted_;
};

}  // namespace findersync
