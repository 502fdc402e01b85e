// Revert…: lists every item svn would revert and asks, Cancel being the
// default; then reverts exactly those and reports.
#include <memory>

#include "korvane-app/work/settings.h"
#include "windows.h"

namespace windows {

namespace {

struct RevertState {
  GtkWidget* window = nullptr;  // null once closed
  GtkWidget* list = nullptr;
  GtkWidget* question = nullptr;
  GtkWidget* cancel = nullptr;
  GtkWidget* revert = nullptr;
  std::vector<std::string> paths;
  std::vector<svnclient::Change> changes;
};

using Held = std::shared_ptr<RevertState>;

void onClicked(GtkWidget* button, const Held& state, void (*handler)(const Held&)) {
  struct Click {
    Held state;
    void (*handler)(const Held&);
  };
  g_signal_connect_data(
      button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
        auto* click = static_cast<Click*>(data);
        click->handler(click->state);
      }),
      new Click{state, handler}, [](gpointer data, GClosure*) { delete static_cast<Click*>(data); }, GConnectFlags(0));
}

std::string items(std::size_t count) { return std::to_string(count) + (count == 1 ? " item" : " items"); }

// Only Close is left.
void settle(const Held& state, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(state->question), text.c_str());
  gtk_widget_set_visible(state->revert, FALSE);
  gtk_button_set_label(GTK_BUTTON(state->cancel), "Close");
  gtk_widget_set_sensitive(state->cancel, TRUE);
  gtk_window_set_default_widget(GTK_WINDOW(state->window), state->cancel);
}

void showCandidates(const Held& state, const std::optional<std::vector<svnclient::Change>>& changes,
                    const std::string& error) {
  if (!state->window) return;
  if (!changes) return settle(state, error);
  state->changes = *changes;
  for (const auto& change : *changes) {
    const std::string text = std::string(1, change.letter) + "    " + change.path;
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_list_box_append(GTK_LIST_BOX(state->list), label);
  }
  if (changes->empty()) return settle(state, "Nothing to revert: these items have no local changes.");
  gtk_label_set_text(GTK_LABEL(state->question),
                     ("Revert " + items(changes->size()) +
                      "? Their local changes will be lost. Unversioned files are kept.")
                         .c_str());
  gtk_widget_set_sensitive(state->revert, TRUE);
}

void revertConfirmed(const Held& state) {
  gtk_widget_set_sensitive(state->revert, FALSE);
  gtk_widget_set_sensitive(state->cancel, FALSE);
  gtk_label_set_text(GTK_LABEL(state->question), "Reverting…");
  runForWorkingCopy(state->paths.front(), nullptr, [state, session = sessionFor(state->window)] {
    const auto outcome = svnclient::revert(state->paths, state->changes, appwork::badgeFor, session);
    onMainThread([state, outcome] {
      if (!state->window) return;
      settle(state, outcome.ok ? "Reverted " + items(state->changes.size()) + "." : outcome.error);
    });
  });
}

void cancelOrClose(const Held& state) { gtk_window_destroy(GTK_WINDOW(state->window)); }

}  // namespace

void showRevert(const std::vector<std::string>& paths, const std::string& activationToken) {
  auto state = std::make_shared<RevertState>();
  state->paths = paths;
  state->window = newWindow("Revert", 640, 400);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  state->question = gtk_label_new("Finding what would be reverted…");
  gtk_label_set_wrap(GTK_LABEL(state->question), TRUE);
  gtk_label_set_xalign(GTK_LABEL(state->question), 0);
  state->list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(state->list), GTK_SELECTION_NONE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(state->list), GTK_ACCESSIBLE_PROPERTY_LABEL, "Items to revert", -1);
  gtk_box_append(GTK_BOX(box), state->question);
  gtk_box_append(GTK_BOX(box), scrolledList(state->list));
  GtkWidget* row = buttonRow();
  state->cancel = gtk_button_new_with_label("Cancel");
  state->revert = gtk_button_new_with_label("Revert");
  gtk_widget_set_sensitive(state->revert, FALSE);
  gtk_box_append(GTK_BOX(row), state->cancel);
  gtk_box_append(GTK_BOX(row), state->revert);
  gtk_box_append(GTK_BOX(box), row);
  gtk_window_set_child(GTK_WINDOW(state->window), box);
  // Enter cancels: reverting loses work, so it is never the default.
  gtk_window_set_default_widget(GTK_WINDOW(state->window), state->cancel);
  onClicked(state->cancel, state, cancelOrClose);
  onClicked(state->revert, state, revertConfirmed);
  g_signal_connect_data(
      state->window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        (*static_cast<Held*>(data))->window = nullptr;
      }),
      new Held(state), [](gpointer data, GClosure*) { delete static_cast<Held*>(data); }, GConnectFlags(0));
  present(state->window, activationToken);
  gtk_widget_grab_focus(state->cancel);

  runForWorkingCopy(
      paths.front(),
      [state] { gtk_label_set_text(GTK_LABEL(state->question), "Waiting for another command on this working copy…"); },
      [state, paths, session = sessionFor(state->window)] {
        std::string error;
        auto changes = svnclient::revertCandidates(paths, appwork::badgeFor, session, &error);
        onMainThread([state, changes, error] { showCandidates(state, changes, error); });
      });
}

}  // namespace windows
