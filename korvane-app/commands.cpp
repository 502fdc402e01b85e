#include "commands.h"

// Each command's run function is defined in a file of its own.
int runRegister(const CommandArguments& args);
int runUnregister(const CommandArguments& args);
int runList(const CommandArguments& args);
int runServe(const CommandArguments& args);

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {
      {"register", "PATH...", runRegister},
      {"unregister", "PATH...", runUnregister},
      {"list", "", runList},
      {"serve", "", runServe},
  };
  return commands;
}
