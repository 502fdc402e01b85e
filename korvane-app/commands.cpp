#include "commands.h"

// Each command's run function is defined in a file of its own.
extern const Command kStorePasswordCommand;

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {
      kStorePasswordCommand,
  };
  return commands;
}
