// Carrying out a command from the file manager without a display: progress
// and outcome on standard output and error. Revert and commit change what
// cannot be had back, so they ask on the terminal first, or go ahead
// unasked when confirmed; without either they refuse. A commit takes the
// user's own message, given or typed on the terminal; without one, or with
// a blank one, nothing is committed. Main thread.
#pragma once

#include <optional>
#include <string>

#include "command_file.h"

struct TerminalOptions {
  bool confirmed = false;              // --yes: do not ask
  std::optional<std::string> message;  // --message: the commit's log message
};

// The exit status: 0 done (reveal has nothing to do here), 1 failed or refused.
int carryOutInTerminal(const ReceivedCommand& command, const TerminalOptions& options);
