// Installed applications, standing in for LaunchServices: an application is
// an XDG desktop entry.
//
// Contract:
// - The application folders are $XDG_DATA_HOME/applications (default
//   $HOME/.local/share), then <dir>/applications for each dir of
//   $XDG_DATA_DIRS (default /usr/local/share:/usr/share), in that order of
//   precedence. Relative entries of either variable are ignored (a relative
//   or empty XDG_DATA_HOME gives the default).
// - A "*.desktop" file below a folder (symbolic links to sub-folders are not
//   entered) has the desktop-file ID of its path
//   relative to that folder with "/" turned into "-".
// - The first folder holding a file with an ID decides that ID; the same ID
//   in later folders is hidden, whatever that file holds (so a user entry
//   with Hidden=true removes a system-wide application).
// - Of the files deciding an ID, an entry counts when GLib parses it as a key
//   file whose first group is [Desktop Entry], with Type=Application, a Name,
//   and Hidden not true. Hidden and broken entries are never found.
// - An application's URL is the entry file's absolute path (symbolic links
//   not resolved).
// - Used by whereapp and by the extension's search for its containing
//   application. Reads the environment and the folders on every call; keeps
//   no state; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/fileurl.h"

namespace launchservices {

// Entries whose desktop-file ID is bundleIdentifier + ".desktop", highest
// precedence first (within a folder, by relative path); nullopt and an error
// text when none (always for an empty identifier).
std::optional<std::vector<foundation::FileURL>> LSCopyApplicationURLsForBundleIdentifier(
    const std::string& bundleIdentifier, std::string* error = nullptr);

// Entries whose untranslated Name equals name exactly, highest precedence
// first; nullopt and an error text when none (always for an empty name).
std::optional<std::vector<foundation::FileURL>> applicationURLsForName(const std::string& name,
                                                                       std::string* error = nullptr);

// The untranslated Name of a desktop entry's contents when it counts as a
// shown application; nothing for a hidden entry or anything else. The lookups
// above read each file through it.
std::optional<std::string> shownApplicationNameInEntry(std::string_view contents);

}  // namespace launchservices
