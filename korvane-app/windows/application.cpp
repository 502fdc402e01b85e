#include "application.h"

#include <cstdlib>

#include "korvane-app/work/settings.h"
#include "windows.h"

namespace windows {

namespace {

GtkApplication* theApplication = nullptr;

// The launch's activation token, which GTK carries from the launched
// process to the running instance in the command line's platform data.
std::string tokenOf(GApplicationCommandLine* line) {
  GVariant* data = g_application_command_line_get_platform_data(line);
  if (data == nullptr) return "";
  std::string token;
  for (const char* key : {"activation-token", "desktop-startup-id"}) {
    const char* value = nullptr;
    if (token.empty() && g_variant_lookup(data, key, "&s", &value) && value != nullptr) token = value;
  }
  g_variant_unref(data);
  return token;
}

// argv: korvane-app ACTION PATH...
int onCommandLine(GApplication*, GApplicationCommandLine* line, gpointer) {
  int argc = 0;
  gchar** argv = g_application_command_line_get_arguments(line, &argc);
  std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  g_strfreev(argv);
  if (args.size() < 2) return 2;
  const std::string action = args.front();
  const std::vector<std::string> paths(args.begin() + 1, args.end());
  const std::string token = tokenOf(line);
  if (action == "update") {
    showUpdate(paths, token);
  } else if (action == "revert") {
    showRevert(paths, token);
  } else if (action == "add" || action == "ignore") {
    runQuietly(action, paths, token);
  } else if (action == "commit") {
    showCommit(paths, token);
  } else if (action == "reveal") {
    showWorkingCopy(paths, token);
  } else {
    return 2;
  }
  return 0;
}

}  // namespace

GtkApplication* application() { return theApplication; }

KRVWorkingCopyQueue& queue() {
  // Never destroyed: a command may still be running as the process ends.
  static auto* commands = new KRVWorkingCopyQueue;
  return *commands;
}

bool displayAvailable() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || x11[0] == '\0') && (wayland == nullptr || wayland[0] == '\0')) return false;
  return gtk_init_check();
}

int runCommand(const ReceivedCommand& command) {
  svnclient::useAskpass(appwork::askpassProgram());
  theApplication = gtk_application_new("com.korvaneapp.v3", G_APPLICATION_HANDLES_COMMAND_LINE);
  g_signal_connect(theApplication, "command-line", G_CALLBACK(onCommandLine), nullptr);
  std::vector<std::string> args = {"korvane-app", command.action};
  args.insert(args.end(), command.paths.begin(), command.paths.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int status = g_application_run(G_APPLICATION(theApplication), static_cast<int>(args.size()), argv.data());
  g_object_unref(theApplication);
  theApplication = nullptr;
  return status;
}

}  // namespace windows
