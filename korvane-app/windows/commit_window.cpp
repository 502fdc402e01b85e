// Commit…: every change below the chosen items with a check box, the diff
// of the selected one, a message (or one of the recent ones), and the
// commit of exactly the checked items. A failure leaves everything as the
// user left it, and the message is recorded before the commit runs.
#include <memory>

#include "korvane-app/work/messages.h"
#include "korvane-app/work/settings.h"
#include "windows.h"

namespace windows {

namespace {

struct CommitState {
  GtkWidget* window = nullptr;  // null once closed
  GtkWidget* status = nullptr;
  GtkWidget* list = nullptr;
  GtkWidget* diff = nullptr;
  GtkWidget* message = nullptr;
  GtkWidget* recent = nullptr;
  GtkWidget* keepLocks = nullptr;
  GtkWidget* update = nullptr;
  GtkWidget* cancel = nullptr;
  GtkWidget* commit = nullptr;
  std::vector<std::string> paths;
  std::vector<svnclient::CommitItem> items;
  std::vector<GtkWidget*> checks;  // one per item
  std::vector<std::string> recentMessages;
  bool busy = true;                // listing or committing
  bool committed = false;
  unsigned diffRequest = 0;        // only the latest selection's diff is shown
};

using Held = std::shared_ptr<CommitState>;

// Connects `signal` of `widget` to `handler`, holding the state.
void connect(gpointer widget, const char* signal, const Held& state, GCallback handler) {
  g_signal_connect_data(widget, signal, handler, new Held(state),
                        [](gpointer data, GClosure*) { delete static_cast<Held*>(data); }, GConnectFlags(0));
}

std::string messageText(const Held& state) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(state->message));
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(buffer, &start, &end);
  gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
  std::string message(text);
  g_free(text);
  return message;
}

std::vector<svnclient::CommitItem> checkedItems(const Held& state) {
  std::vector<svnclient::CommitItem> checked;
  for (std::size_t i = 0; i < state->items.size(); ++i)
    if (gtk_check_button_get_active(GTK_CHECK_BUTTON(state->checks[i]))) checked.push_back(state->items[i]);
  return checked;
}

// Commit needs a message that is more than blanks and a checked item.
void updateCommitButton(const Held& state) {
  if (!state->window) return;
  const std::string message = messageText(state);
  const bool hasMessage = message.find_first_not_of(" \t\r\n") != std::string::npos;
  gtk_widget_set_sensitive(state->commit, !state->busy && !state->committed && hasMessage &&
                                              !checkedItems(state).empty());
}

void setEditable(const Held& state, bool editable) {
  for (std::size_t i = 0; i < state->checks.size(); ++i)
    gtk_widget_set_sensitive(state->checks[i], editable && state->items[i].checkable);
  gtk_text_view_set_editable(GTK_TEXT_VIEW(state->message), editable);
  gtk_widget_set_sensitive(state->recent, editable && !state->recentMessages.empty());
  gtk_widget_set_sensitive(state->keepLocks, editable);
}

void showDiff(const Held& state, const std::string& text) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(state->diff));
  gtk_text_buffer_set_text(buffer, "", 0);
  GtkTextIter end;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = text.find('\n', start);
    stop = stop == std::string::npos ? text.size() : stop + 1;
    const std::string line = text.substr(start, stop - start);
    const char* tag = nullptr;
    if (line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0) {
      tag = "header";
    } else if (line[0] == '+') {
      tag = "added";
    } else if (line[0] == '-') {
      tag = "removed";
    } else if (line.rfind("@@", 0) == 0) {
      tag = "hunk";
    }
    gtk_text_buffer_get_end_iter(buffer, &end);
    if (tag) {
      gtk_text_buffer_insert_with_tags_by_name(buffer, &end, line.c_str(), -1, tag, nullptr);
    } else {
      gtk_text_buffer_insert(buffer, &end, line.c_str(), -1);
    }
    start = stop;
  }
}

void onRowSelected(GtkListBox*, GtkListBoxRow* row, gpointer data) {
  const Held& state = *static_cast<Held*>(data);
  if (row == nullptr) return;
  const int index = gtk_list_box_row_get_index(row);
  if (index < 0 || static_cast<std::size_t>(index) >= state->items.size()) return;
  const std::string path = state->items[static_cast<std::size_t>(index)].path;
  const unsigned request = ++state->diffRequest;
  showDiff(state, "Reading the change of " + path + "…\n");
  runForWorkingCopy(path, nullptr, [state, path, request, session = sessionFor(state->window)] {
    std::string error;
    const auto diff = svnclient::diffAgainstBase(path, session, &error);
    onMainThread([state, request, text = diff ? (diff->empty() ? "No change to show.\n" : *diff) : error] {
      if (state->window && request == state->diffRequest) showDiff(state, text);
    });
  });
}

void showItems(const Held& state, const std::optional<std::vector<svnclient::CommitItem>>& items,
               const std::string& error) {
  if (!state->window) return;
  state->busy = false;
  if (!items) {
    gtk_label_set_text(GTK_LABEL(state->status), error.c_str());
    setEditable(state, true);
    return;
  }
  state->items = *items;
  for (const auto& item : *items) {
    std::string text = (item.badge.empty() ? std::string("—") : item.badge) + "    " + item.status + "    " + item.path;
    if (!item.reason.empty()) text += "  (" + item.reason + ")";
    GtkWidget* check = gtk_check_button_new_with_label(text.c_str());
    gtk_check_button_set_active(GTK_CHECK_BUTTON(check), item.checked);
    connect(check, "toggled", state, G_CALLBACK(+[](GtkCheckButton*, gpointer data) {
              updateCommitButton(*static_cast<Held*>(data));
            }));
    state->checks.push_back(check);
    gtk_list_box_append(GTK_LIST_BOX(state->list), check);
  }
  gtk_label_set_text(GTK_LABEL(state->status),
                     items->empty() ? "Nothing to commit: these items have no local changes."
                                    : "Check the items to commit and write a message. Select one to see its change.");
  setEditable(state, true);
  updateCommitButton(state);
}

void finishCommit(const Held& state, const svnclient::CommitOutcome& outcome) {
  state->busy = false;
  if (!state->window) return;
  if (outcome.ok) {
    state->committed = true;
    gtk_label_set_text(GTK_LABEL(state->status), svnclient::commitSummary(outcome).c_str());
    gtk_widget_set_visible(state->commit, FALSE);
    gtk_button_set_label(GTK_BUTTON(state->cancel), "Close");
    gtk_widget_set_sensitive(state->cancel, TRUE);
    gtk_window_set_default_widget(GTK_WINDOW(state->window), state->cancel);
    return;
  }
  // Everything stays as the user left it, to try again.
  std::string text = outcome.error;
  if (outcome.outOfDate)
    text = "The repository has newer changes to these items: update, then commit again.\n\n" + text;
  gtk_label_set_text(GTK_LABEL(state->status), text.c_str());
  gtk_widget_set_visible(state->update, outcome.outOfDate);
  gtk_widget_set_sensitive(state->cancel, TRUE);
  setEditable(state, true);
  updateCommitButton(state);
}

void commitChecked(GtkButton*, gpointer data) {
  const Held& state = *static_cast<Held*>(data);
  const std::string message = messageText(state);
  const auto checked = checkedItems(state);
  state->busy = true;
  setEditable(state, false);
  gtk_widget_set_sensitive(state->commit, FALSE);
  gtk_widget_set_sensitive(state->cancel, FALSE);
  gtk_widget_set_visible(state->update, FALSE);
  std::string error;
  // Recorded first: whatever happens to the commit, the text can be picked again.
  const bool remembered = appwork::rememberMessage(message, &error);
  gtk_label_set_text(GTK_LABEL(state->status), "Committing…");
  const bool keepLocks = gtk_check_button_get_active(GTK_CHECK_BUTTON(state->keepLocks));
  runForWorkingCopy(
      state->paths.front(),
      [state] {
        gtk_label_set_text(GTK_LABEL(state->status), "Waiting for another command on this working copy…");
      },
      [state, message, checked, keepLocks, remembered, error, base = sessionFor(state->window)] {
        svnclient::Session session = base;
        session.progress = [state](const svnclient::Progress& progress) {
          onMainThread([state, text = "Committing… " + progress.letter + "    " + progress.path] {
            if (state->window && state->busy) gtk_label_set_text(GTK_LABEL(state->status), text.c_str());
          });
        };
        auto outcome = svnclient::commitItems(checked, message, keepLocks, session);
        if (!remembered) outcome.error += "\n\nThe message could not be kept for next time: " + error;
        onMainThread([state, outcome] { finishCommit(state, outcome); });
      });
}

void pickRecent(GObject*, GParamSpec*, gpointer data) {
  const Held& state = *static_cast<Held*>(data);
  const guint picked = gtk_drop_down_get_selected(GTK_DROP_DOWN(state->recent));
  // The first entry is the drop-down's title.
  if (picked == 0 || picked == GTK_INVALID_LIST_POSITION || picked > state->recentMessages.size()) return;
  const std::string& message = state->recentMessages[picked - 1];
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(state->message)), message.c_str(), -1);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(state->recent), 0);
}

GtkWidget* labelled(GtkWidget* widget, const char* name) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL, name, -1);
  return widget;
}

GtkWidget* diffView() {
  GtkWidget* view = labelled(gtk_text_view_new(), "Change");
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(view), TRUE);
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_text_buffer_create_tag(buffer, "added", "foreground", "#26a269", nullptr);
  gtk_text_buffer_create_tag(buffer, "removed", "foreground", "#c01c28", nullptr);
  gtk_text_buffer_create_tag(buffer, "hunk", "foreground", "#1c71d8", nullptr);
  gtk_text_buffer_create_tag(buffer, "header", "weight", PANGO_WEIGHT_BOLD, nullptr);
  return view;
}

// A drop-down of the recent messages, each shown by its first line.
GtkWidget* recentList(const std::vector<std::string>& messages) {
  std::vector<std::string> titles = {"Recent messages"};
  for (const auto& message : messages) titles.push_back(message.substr(0, message.find('\n')));
  std::vector<const char*> strings;
  for (const auto& title : titles) strings.push_back(title.c_str());
  strings.push_back(nullptr);
  return labelled(gtk_drop_down_new_from_strings(strings.data()), "Recent messages");
}

}  // namespace

void showCommit(const std::vector<std::string>& paths, const std::string& activationToken) {
  auto state = std::make_shared<CommitState>();
  state->paths = paths;
  state->recentMessages = appwork::recentMessages();
  state->window = newWindow("Commit", 760, 640);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  state->status = gtk_label_new("Finding what would be committed…");
  gtk_label_set_wrap(GTK_LABEL(state->status), TRUE);
  gtk_label_set_xalign(GTK_LABEL(state->status), 0);
  state->list = labelled(gtk_list_box_new(), "Items to commit");
  state->diff = diffView();
  GtkWidget* panes = gtk_paned_new(GTK_ORIENTATION_VERTICAL);
  gtk_paned_set_start_child(GTK_PANED(panes), scrolledList(state->list));
  gtk_paned_set_end_child(GTK_PANED(panes), scrolledList(state->diff));
  gtk_paned_set_position(GTK_PANED(panes), 200);
  gtk_widget_set_vexpand(panes, TRUE);
  state->message = labelled(gtk_text_view_new(), "Message");
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(state->message), GTK_WRAP_WORD_CHAR);
  gtk_text_view_set_left_margin(GTK_TEXT_VIEW(state->message), 6);
  GtkWidget* messageBox = scrolledList(state->message);
  gtk_widget_set_vexpand(messageBox, FALSE);
  gtk_widget_set_size_request(messageBox, -1, 90);
  GtkWidget* frame = gtk_frame_new("Message");
  gtk_frame_set_child(GTK_FRAME(frame), messageBox);
  state->recent = recentList(state->recentMessages);
  state->keepLocks = gtk_check_button_new_with_label("Keep locks");
  GtkWidget* options = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_box_append(GTK_BOX(options), state->recent);
  gtk_box_append(GTK_BOX(options), state->keepLocks);
  GtkWidget* row = buttonRow();
  state->update = gtk_button_new_with_label("Update");
  gtk_widget_set_visible(state->update, FALSE);
  state->cancel = gtk_button_new_with_label("Cancel");
  state->commit = gtk_button_new_with_label("Commit");
  for (GtkWidget* button : {state->update, state->cancel, state->commit}) gtk_box_append(GTK_BOX(row), button);
  for (GtkWidget* part : {state->status, panes, frame, options, row}) gtk_box_append(GTK_BOX(box), part);
  gtk_window_set_child(GTK_WINDOW(state->window), box);
  setEditable(state, false);
  updateCommitButton(state);

  connect(state->list, "row-selected", state, G_CALLBACK(onRowSelected));
  connect(gtk_text_view_get_buffer(GTK_TEXT_VIEW(state->message)), "changed", state,
          G_CALLBACK(+[](GtkTextBuffer*, gpointer data) { updateCommitButton(*static_cast<Held*>(data)); }));
  connect(state->recent, "notify::selected", state, G_CALLBACK(pickRecent));
  connect(state->commit, "clicked", state, G_CALLBACK(commitChecked));
  connect(state->cancel, "clicked", state, G_CALLBACK(+[](GtkButton*, gpointer data) {
            gtk_window_destroy(GTK_WINDOW((*static_cast<Held*>(data))->window));
          }));
  connect(state->update, "clicked", state, G_CALLBACK(+[](GtkButton*, gpointer data) {
            showUpdate((*static_cast<Held*>(data))->paths, "");
          }));
  connect(state->window, "destroy", state,
          G_CALLBACK(+[](GtkWidget*, gpointer data) { (*static_cast<Held*>(data))->window = nullptr; }));
  present(state->window, activationToken);
  gtk_widget_grab_focus(state->message);

  runForWorkingCopy(
      paths.front(),
      [state] { gtk_label_set_text(GTK_LABEL(state->status), "Waiting for another command on this working copy…"); },
      [state, paths, session = sessionFor(state->window)] {
        std::string error;
        auto items = svnclient::commitCandidates(paths, appwork::badgeFor, session, &error);
        onMainThread([state, items, error] { showItems(state, items, error); });
      });
}

}  // namespace windows
