// An extension whose principal answers from the names it is given, so that
// the bus host can be tested without the real registry:
// - a badge request for ".../NAME.BADGE" is answered "BADGE" (nothing
//   without an extension), on the main queue as the registry does; a request
//   for ".../thread" answers "main" or "calls", the queue the request came on;
//   one for ".../selection" answers how many items the controller reports as
//   selected; one for ".../silent" gets no answer at all;
// - observing a folder sets the badge "begin" or "end" on the item
//   ".observed" inside it (so that the folder's own badge stays the answer
//   to its request);
// - kinds 0 and 1 get a menu "Test" with "One" (action "report"), a separator
//   and "Two" (action "roots");
// - "report" sets "selected" on each selected item and "targeted" on the
//   targeted folder; "roots" makes the selection the watched folders.
// Start-up watches the folders in $TEST_EXTENSION_ROOTS (":"-separated) and
// registers two badge images, "modified" with an image and "nothing"
// without one; $TEST_EXTENSION_FAIL makes start-up fail.
#include <cstdlib>
#include <sstream>

#include "platform/dispatch/dispatch.h"
#include "platform/findersync/findersync.h"
#include "platform/graphics/graphics.h"

namespace {

class EchoPrincipal final : public findersync::FinderSync {
 public:
  EchoPrincipal() {
    auto controller = findersync::defaultController();
    foundation::URLSet roots;
    std::stringstream list(std::getenv("TEST_EXTENSION_ROOTS") != nullptr ? std::getenv("TEST_EXTENSION_ROOTS") : "");
    for (std::string root; std::getline(list, root, ':');) {
      if (!root.empty()) roots.insert(foundation::FileURL::fileURLWithPath(root));
    }
    controller->setDirectoryURLs(roots);
    auto image = std::make_shared<graphics::Image>(graphics::Size{16, 16});
    image->addRepresentation(graphics::BitmapImageRep::make(16, 16));
    image->addRepresentation(graphics::BitmapImageRep::make(32, 32));
    controller->setBadgeImage(image, "Modified", "modified");
    controller->setBadgeImage(nullptr, "Nothing", "nothing");
  }

  void beginObservingDirectoryAtURL(const foundation::FileURL& url) override {
    findersync::defaultController()->setBadgeIdentifier("begin", url.appendingPathComponent(".observed"));
  }
  void endObservingDirectoryAtURL(const foundation::FileURL& url) override {
    findersync::defaultController()->setBadgeIdentifier("end", url.appendingPathComponent(".observed"));
  }
  void requestBadgeIdentifierForURL(const foundation::FileURL& url) override {
    auto controller = findersync::defaultController();
    std::string badge = url.pathExtension();
    if (url.lastPathComponent() == "thread") badge = dispatch::mainQueue().isCurrent() ? "main" : "calls";
    if (url.lastPathComponent() == "selection") badge = std::to_string(controller->selectedItemURLs().size());
    if (url.lastPathComponent() == "silent") return;
    dispatch::mainQueue().async([controller, badge, url] { controller->setBadgeIdentifier(badge, url); });
  }
  std::unique_ptr<menus::Menu> menuForMenuKind(std::uint64_t kind) override {
    if (kind > 1) return nullptr;
    auto submenu = std::make_shared<menus::Menu>("");
    submenu->addItemWithTitle("One", "report", "");
    submenu->addItem(menus::MenuItem::separatorItem());
    submenu->addItemWithTitle("Two", "roots", "");
    auto menu = std::make_unique<menus::Menu>("");
    menu->addItemWithTitle("Test", "", "").submenu = submenu;
    return menu;
  }
  bool performMenuAction(const std::string& action) override {
    auto controller = findersync::defaultController();
    if (action == "report") {
      for (const auto& url : controller->selectedItemURLs()) controller->setBadgeIdentifier("selected", url);
      if (auto target = controller->targetedURL()) controller->setBadgeIdentifier("targeted", *target);
      return true;
    }
    if (action == "roots") {
      auto selected = controller->selectedItemURLs();
      controller->setDirectoryURLs(foundation::URLSet(selected.begin(), selected.end()));
      return true;
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  return findersync::NSExtensionMain(argc, argv, []() -> std::shared_ptr<findersync::FinderSync> {
    if (std::getenv("TEST_EXTENSION_FAIL") != nullptr) return nullptr;
    return std::make_shared<EchoPrincipal>();
  });
}
