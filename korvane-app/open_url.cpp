// open-url [--run [--yes]] URL: the application's handler of korvane://
// command URLs. It reads the command file the URL names, reports the command
// on standard output and in <container>/FinderSync/ReceivedCommands.log, and
// with --run carries it out with the svn command line; revert and commit ask
// on the terminal first, or need --yes.
//
// The report, one line each:
//   id: <UUID>
//   action: <action>
//   path: <path>          (one line per path, in the file's order; "\" is
//                          written "\\", a line feed "\n", a carriage return
//                          "\r", other control characters "\xHH")
//   activate: yes|no      (whether the launcher asked us to come to the front:
//                          an activation token in XDG_ACTIVATION_TOKEN or
//                          DESKTOP_STARTUP_ID)
// Exit status: 0 done; 1 an svn command failed; 2 a bad URL or command file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "command_file.h"
#include "commands.h"
#include "platform/container/container.h"
#include "platform/plist/plist.h"
#include "svn_command.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "korvane-app: %s\n", message.c_str());
  return 2;
}

bool askedToActivate() {
  for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
    const char* token = std::getenv(name);
    if (token != nullptr && token[0] != '\0') return true;
  }
  return false;
}

std::string report(const std::string& identifier, const ReceivedCommand& command) {
  std::string text = "id: " + identifier + "\naction: " + command.action + "\n";
  for (const auto& path : command.paths) text += "path: " + reportedPath(path) + "\n";
  text += std::string("activate: ") + (askedToActivate() ? "yes" : "no") + "\n";
  return text;
}

// One write with O_APPEND, so reports of handlers running at once do not mix.
void appendToLog(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) < 0) std::perror("korvane-app: ReceivedCommands.log");
  close(fd);
}

}  // namespace

int runOpenURL(const CommandArguments& args) {
  bool carryOut = false, confirmed = false;
  std::vector<std::string> urls;
  for (const auto& arg : args) {
    if (arg == "--run") {
      carryOut = true;
    } else if (arg == "--yes") {
      confirmed = true;
    } else {
      urls.push_back(arg);
    }
  }
  if (urls.size() != 1) return fail("usage: korvane-app open-url [--run [--yes]] URL");

  std::string error;
  auto identifier = commandIdentifier(urls.front(), &error);
  if (!identifier) return fail(error);
  auto containerURL = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!containerURL) return fail("no application-group container (set HOME or XDG_DATA_HOME)");
  const auto finderSync = containerURL->appendingPathComponent("FinderSync");
  const auto file = finderSync.appendingPathComponent("Commands").appendingPathComponent(*identifier + ".plist");
  std::string readError;
  auto document = plist::readFile(file.path(), &readError);
  if (!document) return fail("cannot read the command file " + file.path() + ": " + readError);
  auto command = commandFromDocument(*document, file.path(), &error);
  if (!command) return fail(error);

  const std::string text = report(*identifier, *command);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  appendToLog(finderSync.appendingPathComponent("ReceivedCommands.log").path(), text + "\n");
  if (!carryOut) return 0;
  return carryOutCommand(command->action, command->paths, confirmed) ? 0 : 1;
}
