// "Show Subversion Status": a folder inside a working copy that the service
// does not watch offers one menu item that registers the working copy with
// the application (korvane-app register ROOT), after which the service
// watches it and its badges follow.
//
// Contract: called on the file manager's UI thread (the thread whose
// thread-default GMainContext runs its main loop); done runs there too.
// Nothing here waits for another process.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace filemanagers {

// The title of the menu item.
inline constexpr const char* kShowStatusTitle = "Show Subversion Status";

// The root of the working copy holding folder (the nearest folder from it
// upwards with a .svn/wc.db), when no watched folder holds folder; nullopt
// otherwise. Menus are asked for on every selection change, so an answer is
// kept for a few seconds per folder.
std::optional<std::string> unregisteredWorkingCopyRoot(const std::string& folder,
                                                       const std::vector<std::string>& watched);

// Runs the application's `korvane-app register root` without waiting for
// it. The program is the one the desktop entry com.korvaneapp.v3 runs, else
// korvane-app on PATH. done(ok, message) runs when it has ended.
void registerWorkingCopy(const std::string& root, std::function<void(bool ok, const std::string& message)> done = {});

}  // namespace filemanagers
