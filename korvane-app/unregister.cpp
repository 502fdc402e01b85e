// korvane-app unregister PATH...: removes working copies from the manifest.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "commands.h"
#include "manifest.h"
#include "platform/foundation/fileurl.h"

int runUnregister(const CommandArguments& args) {
  if (args.empty()) {
    std::fprintf(stderr, "usage: korvane-app unregister PATH...\n");
    return 2;
  }
  auto directory = app::finderSyncDirectoryOrComplain();
  if (!directory) return 1;
  app::ManifestLock lock(*directory);
  auto manifest = app::readManifestOrComplain(*directory);
  if (!manifest) return 1;
  plist::Array entries = app::entriesOf(*manifest);
  auto registered = [&](const std::string& path) {
    return std::any_of(entries.begin(), entries.end(), [&](const plist::Value& entry) {
      const std::string* p = app::stringField(entry, "path");
      return p != nullptr && *p == path;
    });
  };
  // A folder that is gone is named by its standardised absolute path.
  std::set<std::string> paths;
  bool unknown = false;
  for (const auto& arg : args) {
    std::string absolute = arg.starts_with("/") ? arg : std::filesystem::current_path().string() + "/" + arg;
    std::string path = app::canonicalPath(arg).value_or(foundation::standardizingPath(absolute));
    if (!registered(path)) {
      std::fprintf(stderr, "korvane-app: %s is not registered\n", arg.c_str());
      unknown = true;
    }
    paths.insert(path);
  }
  if (unknown) return 1;

  std::erase_if(entries, [&](const plist::Value& entry) {
    const std::string* p = app::stringField(entry, "path");
    return p != nullptr && paths.contains(*p);
  });
  (*manifest)["entries"] = plist::Value(std::move(entries));
  (*manifest)["generation"] = plist::Value(app::generationOf(*manifest) + 1);
  if (!app::writeManifestAndAnnounce(*directory, *manifest)) return 1;
  for (const auto& path : paths) std::printf("unregistered\t%s\n", path.c_str());
  return 0;
}
