// Carrying out a command from the file manager without a display: progress
// and outcome on standard output and error. Revert and commit change what
// cannot be had back, so they ask on the terminal first, or go ahead
// unasked when confirmed; without either they refuse. Main thread.
#pragma once

#include "command_file.h"

// The exit status: 0 done (reveal has nothing to do here), 1 failed or refused.
int carryOutInTerminal(const ReceivedCommand& command, bool confirmed);
