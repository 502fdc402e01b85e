// korvane-overlay: Dolphin's overlay plugin. It shows each item's badge as
// the overlay icon "emblem-korvane-<badge>" (the service installs those
// emblems into the icon theme).
//
// Contract: Dolphin creates one instance per process (the plugin's root
// object) on its GUI thread and calls getOverlays() there for every item it
// draws. getOverlays() answers at once from the shared client's map and
// never waits: an item the client does not know yet gets no overlay now and
// is asked for in the background; when its badge arrives (or any known
// badge changes), overlaysChanged() tells Dolphin to ask again.
#pragma once

#include <KOverlayIconPlugin>
#include <memory>

#include "file-managers/core/badgeclient.h"

class KorvaneOverlayPlugin : public KOverlayIconPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "com.korvaneapp.v3.dolphin.overlay" FILE "korvane-overlay.json")

 public:
  explicit KorvaneOverlayPlugin(QObject* parent = nullptr);
  ~KorvaneOverlayPlugin() override;

  QStringList getOverlays(const QUrl& item) override;

 private:
  QStringList p_overlaysForPath(const std::string& path);

  std::shared_ptr<filemanagers::BadgeClient> p_client;
  // Declared after the client: it ends before the client may.
  filemanagers::BadgeClient::Subscription p_badgeChanges;
};
