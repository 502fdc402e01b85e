// Taking a command the extension handed over: its file is read once,
// without following links, and deleted, so a command cannot be replayed by
// anyone who learns its identifier. Any thread.
#pragma once

#include <optional>
#include <string>

#include "korvane-app/command_file.h"

namespace appwork {

// Reads <finderSync>/Commands/<identifier>.plist, refusing a link at
// Commands or at the file, deletes the file once read (whatever it holds)
// and returns its command, or an error naming the file.
std::optional<ReceivedCommand> takeCommandFile(const std::string& finderSync, const std::string& identifier,
                                               std::string* error);

// Appends `text` to <finderSync>/ReceivedCommands.log in one write (so
// reports of handlers running at once do not mix), never through a link.
void appendToReceivedLog(const std::string& finderSync, const std::string& text);

}  // namespace appwork
