// open-url [--run [--yes] [--message TEXT]] URL: the application's handler
// of korvane:// command URLs. It reads the command file the URL names,
// reports the command on standard output and in
// <container>/FinderSync/ReceivedCommands.log. With a display (and without
// --run) the application then opens the command's window
// (windows/application.h). With --run it carries the command out in the
// terminal (terminal.h); revert and commit ask on the terminal first, or
// need --yes, and commit takes its message from --message (-m) or reads it
// from the terminal. Without either, the report is all. The command file is
// deleted once read; neither it nor the log is opened through a link.
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
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "command_file.h"
#include "commands.h"
#include "terminal.h"
#include "work/received.h"
#include "windows/application.h"
#include "work/settings.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "korvane-app: %s\n", message.c_str());
  return 2;
}

// Read from the environment the process started with: GTK takes both
// variables out of the live environment as it loads, so that programs
// started later do not inherit them, and hands them to the running
// instance itself.
bool askedToActivate() {
  std::ifstream environment("/proc/self/environ", std::ios::binary);
  for (std::string entry; std::getline(environment, entry, '\0');) {
    for (const std::string name : {"XDG_ACTIVATION_TOKEN=", "DESKTOP_STARTUP_ID="}) {
      if (entry.size() > name.size() && entry.starts_with(name)) return true;
    }
  }
  return false;
}

std::string report(const std::string& identifier, const ReceivedCommand& command) {
  std::string text = "id: " + identifier + "\naction: " + command.action + "\n";
  for (const auto& path : command.paths) text += "path: " + reportedPath(path) + "\n";
  text += std::string("activate: ") + (askedToActivate() ? "yes" : "no") + "\n";
  return text;
}

}  // namespace

int runOpenURL(const CommandArguments& args) {
  constexpr const char* kUsage = "usage: korvane-app open-url [--run [--yes] [--message TEXT]] URL";
  bool carryOut = false;
  TerminalOptions options;
  std::vector<std::string> urls;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--run") {
      carryOut = true;
    } else if (arg == "--yes") {
      options.confirmed = true;
    } else if (arg == "--message" || arg == "-m") {
      if (i + 1 == args.size()) return fail(arg + " needs the message: " + kUsage);
      options.message = args[++i];
    } else if (arg.starts_with("--message=")) {
      options.message = arg.substr(std::string("--message=").size());
    } else {
      urls.push_back(arg);
    }
  }
  if (urls.size() != 1) return fail(kUsage);
  // The windows ask for their own message; one given here would be dropped unseen.
  if (options.message && !carryOut) return fail("--message is for --run: " + std::string(kUsage));

  std::string error;
  auto identifier = commandIdentifier(urls.front(), &error);
  if (!identifier) return fail(error);
  auto finderSync = appwork::finderSyncFolder(&error);
  if (!finderSync) return fail(error);
  auto command = appwork::takeCommandFile(*finderSync, *identifier, &error);
  if (!command) return fail(error);

  const std::string text = report(*identifier, *command);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  appwork::appendToReceivedLog(*finderSync, text + "\n");
  if (!carryOut && windows::displayAvailable()) return windows::runCommand(*command);
  if (!carryOut) return 0;
  return carryOutInTerminal(*command, options);
}
