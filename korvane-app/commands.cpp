#include "commands.h"

// Each command's run function is defined in a file of its own.
int runOpenURL(const CommandArguments& args);
int runInstallDesktopEntry(const CommandArguments& args);

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {
      {"open-url", "[--run] URL", runOpenURL},
      {"install-desktop-entry", "[--run]", runInstallDesktopEntry},
  };
  return commands;
}
