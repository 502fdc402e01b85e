// korvane-app's desktop application: one running instance (application id
// com.korvaneapp.v3); a command handed to a second start goes to the running
// one, with the activation token of its launch. Main thread.
#pragma once

#include "korvane-app/command_file.h"

namespace windows {

// Whether a display can be opened (DISPLAY or WAYLAND_DISPLAY, and GTK
// connects to it).
bool displayAvailable();

// Hands the command to the running instance, becoming it when there is
// none, and returns once the command is delivered, or, in the instance,
// once its last window closes. The exit status.
int runCommand(const ReceivedCommand& command);

}  // namespace windows
