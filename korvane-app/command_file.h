// The command handoff as korvane-app open-url reads it: the korvane:// URL
// and the command file's document (keys "action", "paths", "date"). Pure
// functions of their input, so they can be fed anything; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/plist/plist.h"

struct ReceivedCommand {
  std::string action;
  std::vector<std::string> paths;  // each absolute
};

// The "id" query item of korvane://finder-sync-command?id=..., a UUID, or an error.
std::optional<std::string> commandIdentifier(const std::string& url, std::string* error);

// The command in a command file's document read from path, or the error
// "malformed command file <path>[: every path must be absolute]".
std::optional<ReceivedCommand> commandFromDocument(const plist::Value& document, const std::string& path,
                                                   std::string* error);

// A path as one report line shows it: "\" as "\\", line feed "\n", carriage
// return "\r", other control characters "\xHH".
std::string reportedPath(const std::string& path);
