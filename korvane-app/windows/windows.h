// The application's GTK 4 windows: one per command, and the working-copy
// window. They only show and ask; the Subversion work runs on the
// per-working-copy queue (work/queue.h), and its results come back to the
// main thread through onMainThread().
//
// Contract: every function here runs on the GTK main thread, except
// onMainThread() and the prompts of sessionFor(), which any thread may call.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

#include "korvane-app/work/queue.h"
#include "platform/svnclient/svnclient.h"

namespace windows {

// The running instance's application and command queue.
GtkApplication* application();
KRVWorkingCopyQueue& queue();

// Runs `work` on the main thread, soon.
void onMainThread(std::function<void()> work);

// A session whose password and certificate questions are modal dialogs on
// the main thread, attached to `window` (the command's window, null when it
// has none) while it is open, so that they are placed over it; the calling
// (worker) thread waits for the answer. Made on the main thread, used on any.
svnclient::Session sessionFor(GtkWidget* window);

// Submits `work` for the working copy holding `path`; `waiting` runs at once
// when the command has to wait for another on that working copy.
void runForWorkingCopy(const std::string& path, std::function<void()> waiting, std::function<void()> work);

// A window `title` holding `text` and a Close button: how failures are shown.
void showMessage(const std::string& title, const std::string& text, const std::string& activationToken);

void showUpdate(const std::vector<std::string>& paths, const std::string& activationToken);
void showRevert(const std::vector<std::string>& paths, const std::string& activationToken);
void showCommit(const std::vector<std::string>& paths, const std::string& activationToken);
// Add and Ignore show nothing when they work.
void runQuietly(const std::string& action, const std::vector<std::string>& paths, const std::string& activationToken);
void showWorkingCopy(const std::vector<std::string>& selected, const std::string& activationToken);

// Small building blocks the windows share.
GtkWidget* newWindow(const std::string& title, int width, int height);
void present(GtkWidget* window, const std::string& activationToken);
GtkWidget* scrolledList(GtkWidget* list);
GtkWidget* buttonRow();

}  // namespace windows
