// Finder Sync: the file manager's side of the extension, served on the
// session bus.
//
// FinderSync (FIFinderSync) is the base of the extension's principal object:
// the host calls its members when the file manager shows folders, wants
// badges or menus, or the user chooses a menu item.
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
//
// The bus (bus name, object path and interface all "com.korvaneapp.v3.FinderSync",
// the object at /com/korvaneapp/v3/FinderSync):
//   BeginObservingDirectory(s path), EndObservingDirectory(s path),
//   RequestBadge(s path)                 -> the principal's members
//   RequestBadges(as paths)              RequestBadge for each path, in order, in
//                                        one call; nothing is asked when a path is refused
//   GetMenu(u kind) -> (b present, s title, a(ss) items)
//                                        the top item's title and its submenu's
//                                        (title, action) pairs; ("", "") is a separator
//   ChooseMenuItem(s action, as selected, s targeted)
//                                        runs performMenuAction(action) while the
//                                        controller reports that selection; an
//                                        unknown action fails with ...Error.UnknownAction,
//                                        one that reports a failure with ...Error.ActionFailed
//   signal BadgesChanged(a(ss) changes)  the (path, badge) pairs of the
//                                        setBadgeIdentifier() calls of one main-loop
//                                        turn, in order; badge "" clears. It is the
//                                        only badge signal: one message per turn, not
//                                        per item, keeps big folders cheap on the bus
//   property DirectoryURLs (as) and signal DirectoryURLsChanged(as paths)
//   property BadgeImages a(ssss)         (identifier, label, 16 px PNG, 32 px PNG)
// Paths are absolute; a relative or empty path is refused with InvalidArgs.
//
// Threads of the host (NSExtensionMain):
// - The principal is created on the main thread before the main loop runs.
// - Every bus method call and property read runs on one serial queue,
//   "com.korvaneapp.v3.FinderSync.calls", in the order the calls arrive:
//   these are the "platform threads" on which the principal's request,
//   observe, menu and action members run. The main queue stays free for
//   badge replies, root-set changes and change reports.
// - Signals may be emitted from any thread; the bus keeps each thread's order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/findersync/busnames.h"
#include "platform/foundation/fileurl.h"
#include "platform/menus/menus.h"

namespace graphics {
class Image;
}

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;

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
  // A chosen menu action that could not be carried out says why; the host
  // answers the ChooseMenuItem call with it as an error.
  virtual void reportMenuActionFailure(const std::string&) {}
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
  void reportMenuActionFailure(const std::string& reason) override;
  // The last failure reported, if any.
  std::optional<std::string> menuActionFailure() const;

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
  std::optional<std::string> failure_;
};

// A registered badge image as the BadgeImages property lists it; a PNG path
// is "" when the image could not be written.
struct BadgeImageEntry {
  std::string identifier;
  std::string label;
  std::string png16Path;
  std::string png32Path;
};

// The controller of the extension host: badges, folders and images go out as
// the bus signals and properties above. Badges set from any thread are
// gathered and sent as one BadgesChanged from the main context's next turn
// (a folder change first sends the badges set before it). setBadgeImage() installs the image's
// 16- and 32-pixel PNGs as the icon-theme emblem "emblem-korvane-<identifier>"
// under $XDG_DATA_HOME/icons/hicolor before it lists them in BadgeImages.
class BusController final : public Controller {
 public:
  explicit BusController(GDBusConnection* connection);
  ~BusController() override;
  BusController(const BusController&) = delete;
  BusController& operator=(const BusController&) = delete;

  void setDirectoryURLs(const foundation::URLSet& urls) override;
  foundation::URLSet directoryURLs() const override;
  void setBadgeIdentifier(const std::string& identifier, const foundation::FileURL& url) override;
  void setBadgeImage(std::shared_ptr<const graphics::Image> image, const std::string& label,
                     const std::string& identifier) override;
  std::vector<foundation::FileURL> selectedItemURLs() const override;
  std::optional<foundation::FileURL> targetedURL() const override;

  // In registration order; a later registration of an identifier replaces it.
  std::vector<BadgeImageEntry> badgeImages() const;
  // The selection a chosen menu action sees; the host sets it around the
  // action, which clears any failure reported before.
  void setSelection(std::vector<foundation::FileURL> selected, std::optional<foundation::FileURL> targeted);
  void reportMenuActionFailure(const std::string& reason) override;
  std::optional<std::string> menuActionFailure() const;

 private:
  void emit(const char* signal, GVariant* parameters) const;
  // Sends the gathered badges as one BadgesChanged; on the main context.
  void flushBadges();
  static int flushBadgesSource(void* controller);

  GDBusConnection* connection_;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> pendingBadges_;  // (path, badge)
  unsigned flushSource_ = 0;
  foundation::URLSet directoryURLs_;
  std::vector<BadgeImageEntry> images_;
  std::vector<foundation::FileURL> selected_;
  std::optional<foundation::FileURL> targeted_;
  std::optional<std::string> failure_;
};

// The extension process's entry point: connects to the session bus, installs
// a BusController, creates the one principal with makePrincipal (on the
// calling thread), serves it as described above under kBusName, and runs the
// main loop until the bus connection closes or SIGTERM or SIGINT arrives.
// Returns the exit status: 0 after a normal end; 1, with a message on
// standard error, when there is no session bus, another process owns the
// name, or makePrincipal gives nullptr.
// Options: "--install-service" writes the D-Bus service file that lets the
// bus start this executable on demand into $XDG_DATA_HOME/dbus-1/services
// and exits; "--help" prints the usage.
int NSExtensionMain(int argc, char** argv, const std::function<std::shared_ptr<FinderSync>()>& makePrincipal);

}  // namespace findersync
