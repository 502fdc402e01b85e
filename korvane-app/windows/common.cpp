// What the windows share: getting back to the main thread, the per-working-
// copy queue, the message window, and window building blocks.
#include "korvane-app/work/settings.h"
#include "windows.h"

namespace windows {

void onMainThread(std::function<void()> work) {
  auto* boxed = new std::function<void()>(std::move(work));
  g_main_context_invoke_full(
      nullptr, G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      boxed, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void runForWorkingCopy(const std::string& path, std::function<void()> waiting, std::function<void()> work) {
  // The instance keeps running while a command is queued or running.
  g_application_hold(G_APPLICATION(application()));
  const bool waits = queue().submit(appwork::workingCopyKey(path), [work = std::move(work)] {
    work();
    onMainThread([] { g_application_release(G_APPLICATION(application())); });
  });
  if (waits && waiting) waiting();
}

GtkWidget* newWindow(const std::string& title, int width, int height) {
  GtkWidget* window = gtk_application_window_new(application());
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window), width, height);
  return window;
}

void present(GtkWidget* window, const std::string& activationToken) {
  // The token of the launch lets the window come forward.
  if (!activationToken.empty()) gtk_window_set_startup_id(GTK_WINDOW(window), activationToken.c_str());
  gtk_window_present(GTK_WINDOW(window));
}

GtkWidget* scrolledList(GtkWidget* list) {
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), list);
  gtk_widget_set_vexpand(scrolled, TRUE);
  return scrolled;
}

GtkWidget* buttonRow() {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_set_halign(row, GTK_ALIGN_END);
  return row;
}

namespace {

GtkWidget* messageLabel(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  return label;
}

}  // namespace

void showMessage(const std::string& title, const std::string& text, const std::string& activationToken) {
  GtkWidget* window = newWindow(title, 480, -1);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  gtk_box_append(GTK_BOX(box), messageLabel(text));
  GtkWidget* row = buttonRow();
  GtkWidget* close = gtk_button_new_with_label("Close");
  g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_window_destroy), window);
  gtk_box_append(GTK_BOX(row), close);
  gtk_box_append(GTK_BOX(box), row);
  gtk_window_set_child(GTK_WINDOW(window), box);
  gtk_window_set_default_widget(GTK_WINDOW(window), close);
  present(window, activationToken);
}

void runQuietly(const std::string& action, const std::vector<std::string>& paths, const std::string& activationToken) {
  runForWorkingCopy(paths.front(), nullptr, [action, paths, activationToken, session = sessionFor(nullptr)] {
    const auto outcome = action == "add" ? svnclient::add(paths, session) : svnclient::ignore(paths, session);
    if (outcome.ok) return;
    onMainThread([action, error = outcome.error, activationToken] {
      showMessage(action == "add" ? "Add" : "Ignore", error, activationToken);
    });
  });
}

}  // namespace windows
