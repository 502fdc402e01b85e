// Badges: Nautilus asks for each file it shows (update_file_info) and is
// answered at once from the client's map, as an emblem "korvane-<badge>"
// (drawn from the icon "emblem-korvane-<badge>" that finder-extension
// installs). Answering "in progress" would hold up the whole folder, so the
// answer is always complete; when the client learns a badge later, the file
// is invalidated and Nautilus asks again.
#include <string>
#include <unordered_set>
#include <vector>

#include "file-managers/core/emblems.h"
#include "file-managers/nautilus/provider.h"

namespace korvanenautilus {

namespace {

void invalidate(const std::string& path) {
  GFile* location = g_file_new_for_path(path.c_str());
  // Only files Nautilus has loaded; others will be asked about when shown.
  NautilusFileInfo* file = nautilus_file_info_lookup(location);
  g_object_unref(location);
  if (!file) return;
  nautilus_file_info_invalidate_extension_info(file);
  g_object_unref(file);
}

NautilusOperationResult updateFileInfo(NautilusInfoProvider*, NautilusFileInfo* file, GClosure*,
                                       NautilusOperationHandle**) {
  filemanagers::BadgeClient* badges = client();
  if (!badges) return NAUTILUS_OPERATION_COMPLETE;
  const std::string path = localPath(file);
  if (path.empty()) return NAUTILUS_OPERATION_COMPLETE;
  // A file outside the service's folders is remembered by the client, which
  // asks for it (and so makes this module invalidate it) once a folder
  // holding it arrives.
  const std::optional<std::string> badge = badges->badgeForPath(path);
  if (badge && !badge->empty()) nautilus_file_info_add_emblem(file, filemanagers::emblemName(*badge).c_str());
  return NAUTILUS_OPERATION_COMPLETE;
}

// GTK looks for new icon-theme files at most every 5 s. The extension
// installs its emblem icons when it starts (the very first time, when this
// module's first call lets the bus start it), so rows drawn right after may
// find no icon yet. The files badged in the first seconds after the service
// appears are therefore asked for once more, when GTK has seen the icons.
// The delay is GTK's (its icon theme's rescan interval), not the bus's, so
// this stays in the module rather than in the client core.
constexpr guint kIconThemeRescanSeconds = 6;
bool collectingEarlyBadges = false;
std::unordered_set<std::string> earlyBadged;
filemanagers::BadgeClient::Subscription badgeChanges;

void askAgainForEarlyBadges() {
  if (collectingEarlyBadges) return;
  collectingEarlyBadges = true;
  g_timeout_add_seconds(kIconThemeRescanSeconds, [](gpointer) {
    collectingEarlyBadges = false;
    for (const auto& path : earlyBadged) invalidate(path);
    earlyBadged.clear();
    return gboolean(G_SOURCE_REMOVE);
  }, nullptr);
}

}  // namespace

void followBadgeChanges(filemanagers::BadgeClient& badges) {
  badgeChanges = badges.subscribeBadgesChanged([](const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
      invalidate(path);
      if (collectingEarlyBadges) earlyBadged.insert(path);
    }
  });
  badges.onServiceChanged([](bool running) {
    if (running) askAgainForEarlyBadges();
  });
}

void initInfoProvider(NautilusInfoProviderInterface* iface) { iface->update_file_info = updateFileInfo; }

}  // namespace korvanenautilus
