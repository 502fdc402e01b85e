// Emblems: badge images installed as icon-theme emblems, so that a file
// manager can show a badge by icon name ("emblem-korvane-<identifier>").
//
// Contract:
// - installEmblem(image, identifier) writes the image's 16-pixel
//   representation to
//   $XDG_DATA_HOME/icons/hicolor/16x16/emblems/emblem-korvane-<identifier>.png
//   and its 32-pixel one to the same name under 16x16@2/emblems/
//   ($XDG_DATA_HOME defaulting to $HOME/.local/share), creating the folders,
//   and returns both paths.
// - writeEmblem(image, identifier, themeFolder) writes the same two files
//   under the icon theme folder given (16x16/emblems/... and
//   16x16@2/emblems/...), for a build that installs the emblems system-wide.
// - themeEmblem(identifier) finds both files in the hicolor theme of a
//   system data folder ($XDG_DATA_DIRS, default /usr/local/share:/usr/share),
//   where a package installs them; nullopt when no folder has both. The
//   extension then need not copy them into the user's home.
// - Each file is replaced atomically (written beside it, then renamed), so a
//   reader never sees half a picture.
// - Nothing is written and nothing returned when the identifier is not a
//   plain file-name part, the image lacks a 16- or 32-pixel-wide
//   representation, no data folder can be found, or a write fails.
// - Reads the environment on each call; callable from any thread, one call
//   per identifier at a time.
#pragma once

#include <optional>
#include <string>

#include "platform/graphics/graphics.h"

namespace emblems {

struct InstalledEmblem {
  std::string path1x;  // the 16-pixel image
  std::string path2x;  // the 32-pixel image
};

std::optional<InstalledEmblem> installEmblem(const graphics::Image& image, const std::string& identifier);
std::optional<InstalledEmblem> writeEmblem(const graphics::Image& image, const std::string& identifier,
                                           const std::string& themeFolder);
std::optional<InstalledEmblem> themeEmblem(const std::string& identifier);

}  // namespace emblems
