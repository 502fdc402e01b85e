// Badges: the file manager asks for each file it shows (update_file_info)
// and is answered at once from the client's map, as an emblem
// "korvane-<badge>" (drawn from the icon "emblem-korvane-<badge>" that
// finder-extension installs). Answering "in progress" would hold up the
// whole folder, so the answer is always complete; when the client learns a
// badge later, the file is invalidated and the file manager asks again.
#include <string>
#include <vector>

#include "file-managers/core/emblems.h"
#include "file-managers/gtk3-module/provider.h"

namespace korvanegtk3 {

namespace {

void invalidate(const std::string& path) {
  GFile* location = g_file_new_for_path(path.c_str());
  // Only files the file manager has loaded; others will be asked about
  // when shown.
  fm::FileInfo* file = fm::lookup(location);
  g_object_unref(location);
  if (!file) return;
  fm::invalidateExtensionInfo(file);
  g_object_unref(file);
}

fm::OperationResult updateFileInfo(fm::InfoProvider*, fm::FileInfo* file, GClosure*, fm::OperationHandle**) {
  filemanagers::BadgeClient* badges = client();
  if (!badges) return fm::kOperationComplete;
  const std::string path = localPath(file);
  if (path.empty()) return fm::kOperationComplete;
  // A file outside the service's folders is remembered by the client, which
  // asks for it (and so makes this module invalidate it) once a folder
  // holding it arrives.
  const std::optional<std::string> badge = badges->badgeForPath(path);
  if (badge && !badge->empty()) fm::addEmblem(file, filemanagers::emblemName(*badge).c_str());
  return fm::kOperationComplete;
}

filemanagers::BadgeClient::Subscription badgeChanges;

}  // namespace

void followBadgeChanges(filemanagers::BadgeClient& badges) {
  badgeChanges = badges.subscribeBadgesChanged([](const std::vector<std::string>& paths) {
    for (const auto& path : paths) invalidate(path);
  });
  // The extension copies its emblem icons into the user's icon folder when
  // it starts (run from a build tree; the very first time, when this
  // module's first call lets the bus start it). GTK looks for new icon
  // files only every few seconds, and the file manager keeps the icons it
  // drew without an emblem: a rescan now tells both of the new icons.
  badges.onServiceChanged([](bool running) {
    if (running) gtk_icon_theme_rescan_if_needed(gtk_icon_theme_get_default());
  });
}

void initInfoProvider(fm::InfoProviderInterface* iface) { iface->update_file_info = updateFileInfo; }

}  // namespace korvanegtk3
