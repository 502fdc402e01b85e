// Show in Korvane: the working copy holding the items, with its root,
// repository URL and revision, its changed items (badge, status, path) with
// the chosen ones selected, and the commands that act on the selection.
#include <algorithm>
#include <memory>
#include <thread>

#include "korvane-app/commands.h"
#include "korvane-app/work/settings.h"
#include "windows.h"

int runUnregister(const CommandArguments& args);

namespace windows {

namespace {

struct WorkingCopyState {
  GtkWidget* window = nullptr;  // null once closed
  GtkWidget* heading = nullptr;
  GtkWidget* list = nullptr;
  std::string token;
  std::vector<std::string> chosen;
  svnclient::Listing listing;
};

using Held = std::shared_ptr<WorkingCopyState>;

bool within(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            (folder.ends_with('/') || path[folder.size()] == '/'));
}

// The selected items, or the whole working copy when none is.
std::vector<std::string> selection(const Held& state) {
  std::vector<std::string> paths;
  GList* rows = gtk_list_box_get_selected_rows(GTK_LIST_BOX(state->list));
  for (GList* row = rows; row; row = row->next) {
    const int index = gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(row->data));
    if (index >= 0 && static_cast<std::size_t>(index) < state->listing.changes.size())
      paths.push_back(state->listing.changes[static_cast<std::size_t>(index)].path);
  }
  g_list_free(rows);
  if (paths.empty() && !state->listing.root.empty()) paths.push_back(state->listing.root);
  return paths;
}

void fill(const Held& state, const std::optional<svnclient::Listing>& listing, const std::string& error) {
  if (!state->window) return;
  while (GtkWidget* child = gtk_widget_get_first_child(state->list)) gtk_list_box_remove(GTK_LIST_BOX(state->list), child);
  if (!listing) {
    gtk_label_set_text(GTK_LABEL(state->heading), error.c_str());
    return;
  }
  state->listing = *listing;
  const std::string heading = "Working copy: " + listing->root + "\nRepository: " + listing->url +
                              "\nRevision: " + std::to_string(listing->revision);
  gtk_label_set_text(GTK_LABEL(state->heading), heading.c_str());
  gtk_window_set_title(GTK_WINDOW(state->window), ("Korvane — " + listing->root).c_str());
  for (const auto& change : listing->changes) {
    const std::string text =
        (change.badge.empty() ? std::string("—") : change.badge) + "    " + change.status + "    " + change.path;
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_list_box_append(GTK_LIST_BOX(state->list), label);
    const bool chosen = std::any_of(state->chosen.begin(), state->chosen.end(),
                                    [&](const std::string& path) { return within(change.path, path); });
    if (chosen) {
      GtkListBoxRow* row = gtk_list_box_get_row_at_index(
          GTK_LIST_BOX(state->list), static_cast<int>(&change - listing->changes.data()));
      gtk_list_box_select_row(GTK_LIST_BOX(state->list), row);
    }
  }
}

void refresh(const Held& state) {
  gtk_label_set_text(GTK_LABEL(state->heading), "Reading the working copy…");
  const std::string path = state->listing.root.empty() ? state->chosen.front() : state->listing.root;
  runForWorkingCopy(path, nullptr, [state, path, session = sessionFor(state->window)] {
    std::string error;
    auto listing = svnclient::listWorkingCopy(path, appwork::badgeFor, session, &error);
    onMainThread([state, listing, error] { fill(state, listing, error); });
  });
}

void stopShowingStatus(const Held& state) {
  const std::string root = state->listing.root;
  if (root.empty()) return;
  g_application_hold(G_APPLICATION(application()));
  std::thread([root, token = state->token] {
    const bool ok = runUnregister({root}) == 0;
    onMainThread([root, ok, token] {
      showMessage("Stop Showing Status",
                  ok ? "The file manager no longer shows the Subversion status of " + root + "."
                     : "Could not stop showing the status of " + root + ": it is not registered.",
                  token);
      g_application_release(G_APPLICATION(application()));
    });
  }).detach();
}

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

}  // namespace

void showWorkingCopy(const std::vector<std::string>& selected, const std::string& activationToken) {
  auto state = std::make_shared<WorkingCopyState>();
  state->chosen = selected;
  state->token = activationToken;
  state->window = newWindow("Korvane", 720, 460);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  state->heading = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(state->heading), 0);
  gtk_label_set_wrap(GTK_LABEL(state->heading), TRUE);
  state->list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(state->list), GTK_SELECTION_MULTIPLE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(state->list), GTK_ACCESSIBLE_PROPERTY_LABEL, "Changed items", -1);
  gtk_box_append(GTK_BOX(box), state->heading);
  gtk_box_append(GTK_BOX(box), scrolledList(state->list));
  GtkWidget* row = buttonRow();
  struct Action {
    const char* title;
    void (*handler)(const Held&);
  };
  const Action actions[] = {
      {"Stop Showing Status", stopShowingStatus},
      {"Refresh", refresh},
      {"Update", [](const Held& s) { showUpdate(selection(s), ""); }},
      {"Revert…", [](const Held& s) { showRevert(selection(s), ""); }},
      {"Commit…", [](const Held& s) { showCommit(selection(s), ""); }},
      {"Close", [](const Held& s) { gtk_window_destroy(GTK_WINDOW(s->window)); }},
  };
  for (const auto& action : actions) {
    GtkWidget* button = gtk_button_new_with_label(action.title);
    onClicked(button, state, action.handler);
    gtk_box_append(GTK_BOX(row), button);
  }
  gtk_box_append(GTK_BOX(box), row);
  gtk_window_set_child(GTK_WINDOW(state->window), box);
  g_signal_connect_data(
      state->window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        (*static_cast<Held*>(data))->window = nullptr;
      }),
      new Held(state), [](gpointer data, GClosure*) { delete static_cast<Held*>(data); }, GConnectFlags(0));
  present(state->window, activationToken);
  refresh(state);
}

}  // namespace windows
