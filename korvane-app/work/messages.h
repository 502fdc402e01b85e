// The commit messages the user typed last, to pick again: at most ten,
// newest first, kept per user in $XDG_DATA_HOME/korvane/commit-messages
// (~/.local/share when unset). A message is recorded before its commit
// runs, so one whose commit failed is never lost.
//
// Contract: any thread; each call reads or replaces the whole file, the
// replacement atomically (a reader sees the old list or the new one).
#pragma once

#include <string>
#include <vector>

namespace appwork {

constexpr std::size_t kRecentMessageCount = 10;

std::vector<std::string> recentMessages();

// Puts `message` first (once: an earlier copy moves up), dropping the
// oldest beyond ten. False, with the reason, when the file cannot be written.
bool rememberMessage(const std::string& message, std::string* error);

}  // namespace appwork
