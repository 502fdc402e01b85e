// Update: a progress window listing each item with svn's letter as svn
// reports it, a Cancel button, and the summary at the end.
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>

#include "windows.h"

namespace windows {

namespace {

struct UpdateState {
  GtkWidget* window = nullptr;  // null once closed
  GtkWidget* list = nullptr;
  GtkWidget* status = nullptr;
  GtkWidget* button = nullptr;
  std::atomic<bool> cancelled{false};
  bool finished = false;
  // Items reported by the worker, shown in batches: one row at a time
  // would keep the main thread busy on a large update.
  std::mutex mutex;
  std::vector<svnclient::Progress> pending;
  bool flushScheduled = false;
};

constexpr guint kBatchMilliseconds = 100;

void showPending(const std::shared_ptr<UpdateState>& state) {
  std::vector<svnclient::Progress> items;
  {
    std::lock_guard lock(state->mutex);
    items.swap(state->pending);
    state->flushScheduled = false;
  }
  if (!state->window) return;
  for (const auto& item : items) {
    const std::string text = item.letter + "    " + item.path;
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_list_box_append(GTK_LIST_BOX(state->list), label);
  }
}

// Worker thread.
void addItem(const std::shared_ptr<UpdateState>& state, const svnclient::Progress& progress) {
  std::lock_guard lock(state->mutex);
  state->pending.push_back(progress);
  if (state->flushScheduled) return;
  state->flushScheduled = true;
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, kBatchMilliseconds,
      [](gpointer data) -> gboolean {
        showPending(*static_cast<std::shared_ptr<UpdateState>*>(data));
        return G_SOURCE_REMOVE;
      },
      new std::shared_ptr<UpdateState>(state),
      [](gpointer data) { delete static_cast<std::shared_ptr<UpdateState>*>(data); });
}

void finish(const std::shared_ptr<UpdateState>& state, const svnclient::UpdateOutcome& outcome) {
  showPending(state);
  state->finished = true;
  if (!state->window) return;
  std::string text;
  if (outcome.ok) {
    text = svnclient::updateSummary(outcome);
  } else if (outcome.cancelled) {
    text = "The update was cancelled. The working copy is usable; update again to finish.";
  } else {
    text = outcome.error;
  }
  gtk_label_set_text(GTK_LABEL(state->status), text.c_str());
  gtk_button_set_label(GTK_BUTTON(state->button), "Close");
  gtk_widget_set_sensitive(state->button, TRUE);
  gtk_window_set_default_widget(GTK_WINDOW(state->window), state->button);
}

}  // namespace

void showUpdate(const std::vector<std::string>& paths, const std::string& activationToken) {
  auto state = std::make_shared<UpdateState>();
  const std::string name = std::filesystem::path(paths.front()).filename().string();
  state->window = newWindow("Update " + name, 640, 400);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  state->status = gtk_label_new("Updating…");
  gtk_label_set_xalign(GTK_LABEL(state->status), 0);
  gtk_label_set_wrap(GTK_LABEL(state->status), TRUE);
  state->list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(state->list), GTK_SELECTION_NONE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(state->list), GTK_ACCESSIBLE_PROPERTY_LABEL, "Updated items", -1);
  gtk_box_append(GTK_BOX(box), scrolledList(state->list));
  gtk_box_append(GTK_BOX(box), state->status);
  GtkWidget* row = buttonRow();
  state->button = gtk_button_new_with_label("Cancel");
  gtk_box_append(GTK_BOX(row), state->button);
  gtk_box_append(GTK_BOX(box), row);
  gtk_window_set_child(GTK_WINDOW(state->window), box);

  auto* held = new std::shared_ptr<UpdateState>(state);
  g_signal_connect_data(
      state->button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
        auto& s = *static_cast<std::shared_ptr<UpdateState>*>(data);
        if (s->finished) {
          gtk_window_destroy(GTK_WINDOW(s->window));
          return;
        }
        s->cancelled = true;
        gtk_label_set_text(GTK_LABEL(s->status), "Cancelling…");
        gtk_widget_set_sensitive(s->button, FALSE);
      }),
      held, [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<UpdateState>*>(data); },
      GConnectFlags(0));
  // Closing the window stops the update, as Cancel does.
  g_signal_connect_data(
      state->window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        auto& s = *static_cast<std::shared_ptr<UpdateState>*>(data);
        s->cancelled = true;
        s->window = nullptr;
      }),
      new std::shared_ptr<UpdateState>(state),
      [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<UpdateState>*>(data); }, GConnectFlags(0));
  present(state->window, activationToken);

  runForWorkingCopy(
      paths.front(),
      [state] { gtk_label_set_text(GTK_LABEL(state->status), "Waiting for another command on this working copy…"); },
      [state, paths, base = sessionFor(state->window)] {
        svnclient::Session session = base;
        onMainThread([state] {
          if (state->window) gtk_label_set_text(GTK_LABEL(state->status), "Updating…");
        });
        session.progress = [state](const svnclient::Progress& progress) { addItem(state, progress); };
        session.cancelled = [state] { return state->cancelled.load(); };
        const auto outcome = svnclient::update(paths, session);
        onMainThread([state, outcome] { finish(state, outcome); });
      });
}

}  // namespace windows
