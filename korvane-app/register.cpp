// korvane-app register PATH...: adds each working-copy root to the manifest,
// or refreshes its bookmark when it is there already.
#include <glib.h>

#include <cstdio>
#include <vector>

#include "commands.h"
#include "manifest.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/svn/svn.h"

namespace {

// The canonical root path, or nothing after saying why path is refused.
std::optional<std::string> workingCopyRootPath(const std::string& path) {
  auto canonical = app::canonicalPath(path);
  if (!canonical) {
    std::fprintf(stderr, "korvane-app: %s: no such folder\n", path.c_str());
    return std::nullopt;
  }
  std::string error;
  auto root = svn::workingCopyRoot(*canonical, &error);
  if (!root) {
    std::fprintf(stderr, "korvane-app: %s is not a Subversion working copy: %s\n", path.c_str(), error.c_str());
    return std::nullopt;
  }
  if (*root != *canonical) {
    std::fprintf(stderr, "korvane-app: %s is not a working copy root; its root is %s\n", path.c_str(),
                 root->c_str());
    return std::nullopt;
  }
  return canonical;
}

}  // namespace

int runRegister(const CommandArguments& args) {
  if (args.empty()) {
    std::fprintf(stderr, "usage: korvane-app register PATH...\n");
    return 2;
  }
  // Every path is checked before anything is written.
  std::vector<std::string> roots;
  bool refused = false;
  for (const auto& arg : args) {
    auto root = workingCopyRootPath(arg);
    if (root) roots.push_back(*root);
    refused = refused || !root;
  }
  if (refused) return 2;

  std::string error;
  auto directory = app::finderSyncDirectoryOrComplain();
  if (!directory) return 1;
  app::ManifestLock lock(*directory);
  auto manifest = app::readManifestOrComplain(*directory);
  if (!manifest) return 1;
  plist::Array entries = app::entriesOf(*manifest);
  std::vector<std::string> report;
  for (const auto& root : roots) {
    auto bookmark = bookmarks::bookmarkData(foundation::FileURL::fileURLWithPath(root), 0, &error);
    if (!bookmark) {
      std::fprintf(stderr, "korvane-app: %s\n", error.c_str());
      return 1;
    }
    auto entryFor = [&](const std::string& wcID) {
      plist::Dictionary fields;
      fields.emplace("wcID", plist::Value(wcID));
      fields.emplace("bookmark", plist::Value(*bookmark));
      fields.emplace("path", plist::Value(root));
      return plist::Value(std::move(fields));
    };
    // The wcID stays with the root path for as long as the entry exists.
    std::string id;
    for (auto& entry : entries) {
      const std::string* path = app::stringField(entry, "path");
      const std::string* existing = app::stringField(entry, "wcID");
      if (path == nullptr || existing == nullptr || *path != root) continue;
      id = *existing;
      entry = entryFor(id);
    }
    if (id.empty()) {
      gchar* uuid = g_uuid_string_random();
      id = uuid;
      g_free(uuid);
      entries.push_back(entryFor(id));
    }
    report.push_back(id + "\t" + root);
  }
  (*manifest)["entries"] = plist::Value(std::move(entries));
  (*manifest)["generation"] = plist::Value(app::generationOf(*manifest) + 1);
  if (!app::writeManifestAndAnnounce(*directory, *manifest)) return 1;
  for (const auto& line : report) std::printf("registered\t%s\n", line.c_str());
  return 0;
}
