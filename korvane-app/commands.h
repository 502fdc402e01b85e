// The commands of korvane-app, the stand-in for the Korvane application's
// side of the extension's contracts. Each command is in a file of its own
// and takes the arguments after its name; it returns the exit status.
#pragma once

#include <string>
#include <vector>

using CommandArguments = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;  // arguments, for the help text
  int (*run)(const CommandArguments& args);
};

// Every command, in the order the help text lists them.
const std::vector<Command>& allCommands();
