// KRVFinderSync: the extension's principal object, the one object the file
// manager talks to. It registers the badge images, serves badge requests
// from the working-copy registry, re-badges items after changes on disk,
// builds the context menu and hands chosen commands to the application.
//
// Threads: init() and the request, observe, menu and action members run on
// whatever thread the host calls them on; badge replies, root-set changes
// and change reports arrive on the main queue.
//
// The members are grouped by the file that implements them:
//   KRVFinderSync.cpp               start-up, badge requests, re-badging
//   KRVFinderSync+BadgeImages.cpp   the six badge images
//   KRVFinderSync+Menu.cpp          menu and the six actions
//   KRVFinderSync+Commands.cpp      command files and the command URL
// Members named p_ are private to the extension; they are public here only so
// that tests can reach them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/findersync/findersync.h"
#include "platform/foundation/fileurl.h"
#include "platform/menus/menus.h"

namespace graphics {
class Image;
struct Color;
class BitmapImageRep;
}  // namespace graphics

class KRVFinderSyncFolderMonitor;

class KRVFinderSync : public findersync::FinderSync, public std::enable_shared_from_this<KRVFinderSync> {
 public:
  // --- start-up and badges (KRVFinderSync.cpp)
  // The principal, fully started; nullptr when the base initialiser fails
  // (no Finder Sync controller installed in the process).
  static std::shared_ptr<KRVFinderSync> init();
  // An instance that has not started (no images, registry or monitor), for
  // tests of the members that need no start-up.
  KRVFinderSync() = default;
  ~KRVFinderSync() override;

  void beginObservingDirectoryAtURL(const foundation::FileURL& url) override;
  void endObservingDirectoryAtURL(const foundation::FileURL& url) override;
  void requestBadgeIdentifierForURL(const foundation::FileURL& url) override;
  void p_workingCopyDidChangeAtRootURL(const foundation::FileURL& rootURL, const foundation::URLSet& changedURLs,
                                       bool namesEverything);

  // --- badge images (KRVFinderSync+BadgeImages.cpp); they use no instance state
  static void p_registerBadgeImages();
  static std::shared_ptr<graphics::Image> p_badgeImageWithSymbolName(const std::string& symbolName,
                                                                     const graphics::Color& color);
  static std::shared_ptr<graphics::Image> p_fullBleedBadgeImageFromImage(const graphics::Image& image);
  static std::shared_ptr<graphics::Image> p_badgeDotWithColor(const graphics::Color& color);
  static std::shared_ptr<graphics::BitmapImageRep> p_bitmapRepWithSize(double size, std::int64_t scale);

  // --- menu and actions (KRVFinderSync+Menu.cpp)
  std::unique_ptr<menus::Menu> menuForMenuKind(std::uint64_t menuKind) override;
  // Dispatches a chosen item's action name to the action member.
  bool performMenuAction(const std::string& action) override;
  void showInKorvane();
  void updateItems();
  void commitItems();
  void addItems();
  void ignoreItems();
  void revertItems();
  std::vector<std::string> p_selectedItemPaths();

  // --- command handoff (KRVFinderSync+Commands.cpp)
  std::optional<foundation::FileURL> p_containingAppURL();
  void p_sendCommand(const std::string& action);
  void p_deleteStaleCommandFilesInDirectory(const foundation::FileURL& directory);

 private:
  std::shared_ptr<KRVFinderSyncFolderMonitor> i_folderMonitor;
};
