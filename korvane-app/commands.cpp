#include "commands.h"

// Each command's run function is defined in a file of its own.
int runOpenURL(const CommandArguments& args);
int runInstallDesktopEntry(const CommandArguments& args);
int runRegister(const CommandArguments& args);
int runUnregister(const CommandArguments& args);
int runList(const CommandArguments& args);
int runServe(const CommandArguments& args);
extern const Command kStorePasswordCommand;

const std::vector<Command>& allCommands() {
  static const std::vector<Command> commands = {
      {"register", "PATH...", runRegister},
      {"unregister", "PATH...", runUnregister},
      {"list", "", runList},
      {"serve", "", runServe},
      {"open-url", "[--run [--yes] [--message TEXT]] URL", runOpenURL},
      {"install-desktop-entry", "[--run]", runInstallDesktopEntry},
      kStorePasswordCommand,
  };
  return commands;
}
