#include "file-managers/dolphin/actionsplugin.h"

#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QMenu>
#include <string>
#include <vector>

#include "file-managers/core/menurequest.h"
#include "file-managers/core/registration.h"
#include "file-managers/dolphin/dolphinclient.h"

K_PLUGIN_CLASS_WITH_JSON(KorvaneActionsPlugin, "korvane-actions.json")

namespace {

// "Show Subversion Status" for one folder inside a working copy the
// service does not watch: registers that working copy, and the service's
// folders (and so the badges and the Korvane menu) follow. Only offered
// while the service runs: until then its folders are not known.
QList<QAction*> showStatusAction(const std::vector<std::string>& selected, bool folders, QWidget* parentWidget) {
  auto client = korvanedolphin::sharedClient();
  if (!client || !client->serviceRunning() || selected.size() != 1 || !folders) return {};
  const auto root = filemanagers::unregisteredWorkingCopyRoot(selected.front(), client->directoryURLs());
  if (!root) return {};
  auto* action = new QAction(QString::fromUtf8(filemanagers::kShowStatusTitle), parentWidget);
  QObject::connect(action, &QAction::triggered, action, [root = *root] { filemanagers::registerWorkingCopy(root); });
  return {action};
}

}  // namespace

KorvaneActionsPlugin::KorvaneActionsPlugin(QObject* parent, const QVariantList&)
    : KAbstractFileItemActionPlugin(parent) {}

QList<QAction*> KorvaneActionsPlugin::actions(const KFileItemListProperties& items, QWidget* parentWidget) {
  auto client = korvanedolphin::sharedClient();
  if (!client) return {};
  // Dolphin opens the folder's own menu with the folder as the one item and
  // the selection's menu with the selected items, and tells the plugin no
  // more: either way these are the paths the command is for.
  std::vector<std::string> selected;
  for (const KFileItem& item : items.items()) {
    auto path = korvanedolphin::localPath(item.mostLocalUrl());
    if (!path) return {};
    selected.push_back(std::move(*path));
  }
  const auto request = filemanagers::menuForItems(selected, client->directoryURLs());
  if (!request) return showStatusAction(selected, items.isDirectory(), parentWidget);
  const auto menu = client->menu(request->kind);
  if (!menu || !menu->present) return {};

  auto* submenu = new QMenu(QString::fromStdString(menu->title), parentWidget);
  // The submenu lives as long as this plugin object, which Dolphin keeps
  // until the context menu is gone.
  connect(this, &QObject::destroyed, submenu, &QObject::deleteLater);
  for (const auto& [title, action] : menu->items) {
    if (title.empty() && action.empty()) {
      submenu->addSeparator();
      continue;
    }
    QAction* entry = submenu->addAction(QString::fromStdString(title));
    connect(entry, &QAction::triggered, entry, [client, action = action, request = *request] {
      client->chooseMenuItem(action, request.selected, request.targeted);
    });
  }
  return {submenu->menuAction()};
}

#include "actionsplugin.moc"
