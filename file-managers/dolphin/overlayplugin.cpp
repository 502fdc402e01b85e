#include "file-managers/dolphin/overlayplugin.h"

#include "file-managers/core/emblems.h"
#include "file-managers/dolphin/dolphinclient.h"

KorvaneOverlayPlugin::KorvaneOverlayPlugin(QObject* parent)
    : KOverlayIconPlugin(parent), p_client(korvanedolphin::sharedClient()) {
  if (!p_client) return;
  // Dolphin answers overlaysChanged by calling getOverlays() again for the
  // item, so the names sent along are the ones it will get.
  p_badgeChanges = p_client->subscribeBadgesChanged([this](const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
      Q_EMIT overlaysChanged(QUrl::fromLocalFile(QString::fromStdString(path)), p_overlaysForPath(path));
  });
}

KorvaneOverlayPlugin::~KorvaneOverlayPlugin() = default;

QStringList KorvaneOverlayPlugin::getOverlays(const QUrl& item) {
  if (!p_client) return {};
  const auto path = korvanedolphin::localPath(item);
  if (!path) return {};
  return p_overlaysForPath(*path);
}

QStringList KorvaneOverlayPlugin::p_overlaysForPath(const std::string& path) {
  const auto badge = p_client->badgeForPath(path);
  if (!badge || badge->empty()) return {};
  return {QString::fromStdString(filemanagers::emblemIconName(*badge))};
}
