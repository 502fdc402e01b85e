// The names under which a badge is drawn. finder-extension installs each
// badge's artwork into the icon theme as the emblem icon
// "emblem-korvane-<badge>"; a file manager names it either by that icon name
// (Dolphin's overlays) or by the emblem name without "emblem-" (Nautilus's
// add_emblem, which adds the prefix itself).
#pragma once

#include <string>

namespace filemanagers {

inline std::string emblemName(const std::string& badge) { return "korvane-" + badge; }
inline std::string emblemIconName(const std::string& badge) { return "emblem-" + emblemName(badge); }

}  // namespace filemanagers
