#include "commands.h"

// Each command's run function is defined in a file of its own.

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {
  };
  return commands;
}
