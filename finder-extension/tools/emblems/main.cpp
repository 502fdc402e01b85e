// badge-emblems THEME_FOLDER: draws the extension's six badge images, as it
// registers them, and writes each as an icon-theme emblem under the folder
// given (16x16/emblems/emblem-korvane-<badge>.png and the 32-pixel image
// under 16x16@2/emblems/). The build runs it so that the installed emblems
// are in place before a file manager first draws a row.
#include <cstdio>
#include <memory>

#include "finder-extension/front/KRVFinderSync.h"
#include "platform/emblems/emblems.h"
#include "platform/findersync/findersync.h"
#include "platform/graphics/graphics.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: badge-emblems THEME_FOLDER\n");
    return 2;
  }
  auto controller = std::make_shared<findersync::FakeController>();
  findersync::setDefaultController(controller);
  KRVFinderSync::p_registerBadgeImages();
  const auto calls = controller->badgeImageCalls();
  findersync::setDefaultController(nullptr);

  int status = calls.empty() ? 1 : 0;
  for (const auto& call : calls) {
    if (!call.image || !emblems::writeEmblem(*call.image, call.identifier, argv[1])) {
      std::fprintf(stderr, "badge-emblems: cannot write the emblem of \"%s\" under %s\n", call.identifier.c_str(),
                   argv[1]);
      status = 1;
    }
  }
  graphics::releaseCaches();
  return status;
}
