// The extension's user defaults: a persistent key-value store private to the
// extension, standing in for NSUserDefaults' standard defaults.
//
// Contract:
// - The store is one property-list file,
//   $XDG_CONFIG_HOME/com.korvaneapp.v3.finder-extension.plist
//   ($XDG_CONFIG_HOME defaulting to $HOME/.config), whose root is a
//   dictionary. It is written whole, atomically (temporary file + rename),
//   with mode 0600; the folder is created (0700) when missing.
// - A missing file, or one that is not a property-list dictionary, reads as
//   empty; the next write replaces it whole.
// - No store exists when neither XDG_CONFIG_HOME nor HOME gives an absolute
//   path: reads give nothing and writes fail.
// - The environment is read on each call. Calls from any thread are
//   serialised within the process; between processes the last write wins.
#pragma once

#include <optional>
#include <string>

#include "platform/plist/plist.h"

namespace defaults {

// The file that holds the store, or nothing (see above).
std::optional<std::string> storePath();

// The value stored under key, or nothing.
std::optional<plist::Value> objectForKey(const std::string& key);

// Stores value under key and writes the file; false (with a reason in
// *error when given) when the file cannot be written.
bool setObjectForKey(const plist::Value& value, const std::string& key, std::string* error = nullptr);

// Removes key and writes the file; false when the file cannot be written.
bool removeObjectForKey(const std::string& key, std::string* error = nullptr);

}  // namespace defaults
