// finder-cli: the file manager's side of the Finder Sync bus interface on the
// command line. It lists folders with their badges, watches badge and folder
// changes, and shows and chooses context-menu items.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/findersync/findersync.h"
#include "platform/foundation/fileurl.h"

namespace {

using namespace std::chrono_literals;
using Arguments = std::vector<std::string>;

constexpr const char* kUsage =
    "usage: finder-cli [--timeout SECONDS] COMMAND [ARGS...]\n"
    "\n"
    "  ls [-a] [-R] DIR          badges of DIR and its entries, one \"badge<TAB>path\" line\n"
    "                            each (\"-\" for none); -a includes dot entries, -R recurses\n"
    "  watch [--seconds N]       print BadgeChanged and DirectoryURLsChanged as they come,\n"
    "                            until interrupted (or for N seconds)\n"
    "  roots                     the folders the extension watches, one per line\n"
    "  menu [--kind K] [PATH...] the context menu (kind 0: selected items, 1: the folder\n"
    "                            shown); first line the title, then \"title<TAB>action\"\n"
    "                            lines, \"-\" for a separator\n"
    "  choose [--targeted DIR] ACTION PATH...\n"
    "                            choose the menu action ACTION with PATH... selected\n"
    "\n"
    "Every wait ends after the timeout (default 20 s); exit status 1 on any failure.\n";

std::atomic<bool> interrupted{false};

void noteInterrupt(int) { interrupted = true; }

int fail(const std::string& message) {
  std::fprintf(stderr, "finder-cli: %s\n", message.c_str());
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "finder-cli: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The path as the file manager names it: absolute, without "." or "..".
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return foundation::standardizingPath(path);
  return foundation::standardizingPath(std::filesystem::current_path().string() + "/" + path);
}

bool isDirectory(const std::string& path, bool followLinks) {
  struct stat st {};
  int rc = followLinks ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
  return rc == 0 && S_ISDIR(st.st_mode);
}

struct ListOptions {
  bool all = false;
  bool recursive = false;
};

// Asks for the badges of a folder and its entries and prints them once every
// answer is in; then the same for each sub-folder when recursing.
int listFolder(findersync::Client& client, const std::string& dir, const ListOptions& options) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (!options.all && name[0] == '.') continue;
    entries.push_back(dir == "/" ? "/" + name : dir + "/" + name);
  }
  if (ec) return fail("cannot list " + dir + ": " + ec.message());
  std::sort(entries.begin(), entries.end());

  std::vector<std::string> asked{dir};
  asked.insert(asked.end(), entries.begin(), entries.end());
  std::set<std::string> waiting(asked.begin(), asked.end());
  std::map<std::string, std::string> badges;
  bool gone = false;
  client.onBadgeChanged([&](const std::string& path, const std::string& badge) {
    if (waiting.erase(path) != 0) badges[path] = badge;
  });
  client.onServiceGone([&] { gone = true; });
  // The handlers see this call's locals: drop them on every way out.
  struct HandlerReset {
    findersync::Client& client;
    ~HandlerReset() {
      client.onBadgeChanged({});
      client.onServiceGone({});
    }
  } reset{client};

  std::string error;
  if (!client.beginObservingDirectory(dir, &error)) return fail(error);
  for (const auto& path : asked) {
    if (!client.requestBadge(path, &error)) return fail(error);
  }
  dispatch::runMainUntil([&] { return waiting.empty() || gone || interrupted; }, client.timeout());
  if (gone) return fail("finder-extension left the bus");
  if (interrupted) return 1;
  if (!waiting.empty()) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(client.timeout().count()) / 1000.0);
    return fail("no badge came for " + std::to_string(waiting.size()) + " of " + std::to_string(asked.size()) +
                " items of " + dir + " within " + seconds + " s (first: " + *waiting.begin() + ")");
  }
  for (const auto& path : asked) {
    const std::string& badge = badges[path];
    std::printf("%s\t%s\n", badge.empty() ? "-" : badge.c_str(), path.c_str());
  }
  std::fflush(stdout);
  if (!client.endObservingDirectory(dir, &error)) return fail(error);

  if (!options.recursive) return 0;
  for (const auto& path : entries) {
    if (!isDirectory(path, false) || path.ends_with("/.svn")) continue;
    if (int status = listFolder(client, path, options); status != 0) return status;
  }
  return 0;
}

int ls(findersync::Client& client, const Arguments& args) {
  ListOptions options;
  std::string dir;
  for (const auto& arg : args) {
    if (arg == "-a") {
      options.all = true;
    } else if (arg == "-R") {
      options.recursive = true;
    } else if (arg.starts_with("-") || !dir.empty()) {
      return usageError("ls takes [-a] [-R] and one folder");
    } else {
      dir = arg;
    }
  }
  if (dir.empty()) return usageError("ls needs a folder");
  dir = absolutePath(dir);
  if (!isDirectory(dir, true)) return fail(dir + " is not a folder");
  return listFolder(client, dir, options);
}

int watch(findersync::Client& client, const Arguments& args) {
  std::optional<double> seconds;
  if (args.size() == 2 && args[0] == "--seconds") {
    char* end = nullptr;
    seconds = std::strtod(args[1].c_str(), &end);
    if (*end != '\0' || *seconds < 0) return usageError("--seconds needs a number");
  } else if (!args.empty()) {
    return usageError("watch takes only [--seconds N]");
  }
  bool gone = false;
  client.onBadgeChanged([](const std::string& path, const std::string& badge) {
    std::printf("BadgeChanged\t%s\t%s\n", badge.empty() ? "-" : badge.c_str(), path.c_str());
    std::fflush(stdout);
  });
  client.onDirectoryURLsChanged([](const std::vector<std::string>& paths) {
    std::printf("DirectoryURLsChanged");
    for (const auto& path : paths) std::printf("\t%s", path.c_str());
    std::printf("\n");
    std::fflush(stdout);
  });
  client.onServiceGone([&] { gone = true; });
  // Reading a property starts the extension when the bus can, and tells
  // whether it is there at all.
  std::string error;
  if (!client.directoryURLs(&error)) return fail(error);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds.value_or(0));
  while (!interrupted && !gone) {
    if (seconds && std::chrono::steady_clock::now() >= deadline) break;
    dispatch::runMainUntil([&] { return interrupted || gone; }, 200ms);
  }
  if (gone) return fail("finder-extension left the bus");
  return 0;
}

int roots(findersync::Client& client, const Arguments& args) {
  if (!args.empty()) return usageError("roots takes no arguments");
  std::string error;
  auto paths = client.directoryURLs(&error);
  if (!paths) return fail(error);
  for (const auto& path : *paths) std::printf("%s\n", path.c_str());
  return 0;
}

std::optional<std::uint32_t> parseKind(const std::string& text) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(text));
}

int menu(findersync::Client& client, const Arguments& args) {
  std::uint32_t kind = 0;
  size_t i = 0;
  if (args.size() >= 2 && args[0] == "--kind") {
    auto parsed = parseKind(args[1]);
    if (!parsed) return usageError("--kind needs a number");
    kind = *parsed;
    i = 2;
  }
  // The menu does not depend on the selection; paths are only checked.
  for (; i < args.size(); ++i) {
    if (args[i].starts_with("-")) return usageError("unknown option " + args[i]);
  }
  std::string error;
  auto result = client.getMenu(kind, &error);
  if (!result) return fail(error);
  if (!result->present) return 0;
  std::printf("%s\n", result->title.c_str());
  for (const auto& [title, action] : result->items) {
    if (title.empty() && action.empty()) {
      std::printf("-\n");
    } else {
      std::printf("%s\t%s\n", title.c_str(), action.c_str());
    }
  }
  return 0;
}

int choose(findersync::Client& client, const Arguments& args) {
  std::string targeted;
  size_t i = 0;
  if (args.size() >= 2 && args[0] == "--targeted") {
    targeted = absolutePath(args[1]);
    i = 2;
  }
  if (i >= args.size()) return usageError("choose needs an action");
  std::string action = args[i++];
  std::vector<std::string> selected;
  // Made absolute but otherwise as given: the extension standardises them.
  for (; i < args.size(); ++i) {
    const std::string& path = args[i];
    selected.push_back(!path.empty() && path[0] == '/' ? path : std::filesystem::current_path().string() + "/" + path);
  }
  std::string error;
  if (!client.chooseMenuItem(action, selected, targeted, &error)) return fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args(argv + 1, argv + argc);
  double timeoutSeconds = 20;
  if (args.size() >= 2 && args[0] == "--timeout") {
    char* end = nullptr;
    timeoutSeconds = std::strtod(args[1].c_str(), &end);
    if (*end != '\0' || !(timeoutSeconds > 0)) return usageError("--timeout needs a positive number of seconds");
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return usageError("no command");
  if (args[0] == "--help" || args[0] == "help") {
    std::printf("%s", kUsage);
    return 0;
  }
  using Command = int (*)(findersync::Client&, const Arguments&);
  const std::map<std::string, Command> commands = {
      {"ls", ls}, {"watch", watch}, {"roots", roots}, {"menu", menu}, {"choose", choose}};
  auto command = commands.find(args[0]);
  if (command == commands.end()) return usageError("unknown command \"" + args[0] + "\"");

  std::signal(SIGINT, noteInterrupt);
  std::signal(SIGTERM, noteInterrupt);
  std::string error;
  auto client = findersync::Client::connect(
      std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000)), &error);
  if (!client) return fail(error);
  return command->second(*client, Arguments(args.begin() + 1, args.end()));
}
