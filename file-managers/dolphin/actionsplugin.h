// korvane-actions: the "Korvane" submenu in Dolphin's context menu.
//
// Contract: Dolphin creates a new instance for each context menu, on its GUI
// thread, and calls actions() once as the menu opens. actions() builds the
// submenu from the shared client's cached menu (titles, actions and
// separators as the service sends them) and never waits on the bus: before
// the menu was fetched, or for items outside the service's folders, it adds
// nothing. Choosing an item sends ChooseMenuItem in the background with the
// items the menu was opened on and the folder that holds them.
#pragma once

#include <KAbstractFileItemActionPlugin>
#include <QVariantList>

class KorvaneActionsPlugin : public KAbstractFileItemActionPlugin {
  Q_OBJECT

 public:
  KorvaneActionsPlugin(QObject* parent, const QVariantList& args);

  QList<QAction*> actions(const KFileItemListProperties& items, QWidget* parentWidget) override;
};
