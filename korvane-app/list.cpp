// korvane-app list: the registered working copies, one a line:
// wcID, path, and whether the bookmark resolves, separated by tabs.
#include <cstdio>

#include "commands.h"
#include "manifest.h"
#include "platform/bookmarks/bookmarks.h"

int runList(const CommandArguments& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: korvane-app list\n");
    return 2;
  }
  std::string error;
  auto directory = app::finderSyncDirectoryOrComplain();
  if (!directory) return 1;
  auto manifest = app::readManifestOrComplain(*directory);
  if (!manifest) return 1;
  for (const auto& entry : app::entriesOf(*manifest)) {
    const std::string* id = app::stringField(entry, "wcID");
    const std::string* path = app::stringField(entry, "path");
    const plist::Value* bookmark = plist::lookup(entry.asDictionary(), "bookmark");
    std::string state = "no bookmark";
    if (bookmark != nullptr && bookmark->asData() != nullptr) {
      auto resolved = bookmarks::resolve(*bookmark->asData(), 0, &error);
      state = !resolved ? "does not resolve: " + error : resolved->stale ? "resolves (stale)" : "resolves";
    }
    std::printf("%s\t%s\t%s\n", id != nullptr ? id->c_str() : "-", path != nullptr ? path->c_str() : "-",
                state.c_str());
  }
  return 0;
}
