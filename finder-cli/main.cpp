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
#include "file-managers/core/badgeclient.h"
#include "platform/foundation/fileurl.h"

namespace {

using namespace std::chrono_literals;
using Arguments = std::vector<std::string>;

constexpr const char* kUsage =
    "usage: finder-cli [--timeout SECONDS] COMMAND [ARGS...]\n"
    "\n"
    "  ls [-a] [-R] DIR          badges of DIR and its entries, one \"badge<TAB>path\" line\n"
    "                            each (\"-\" for none); -a includes dot entries, -R lists\n"
    "                            each sub-folder's entries right after its line\n"
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

std::string secondsText(std::chrono::milliseconds timeout) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(timeout.count()) / 1000.0);
  return seconds;
}

// The client core and what finder-cli waits on.
struct Session {
  std::shared_ptr<filemanagers::BadgeClient> client;
  std::chrono::milliseconds timeout;
  bool gone = false;

  std::string failure(const std::string& otherwise) const {
    return client->lastError().empty() ? otherwise : client->lastError();
  }
};

// Asks for the badges of a folder and its entries and prints them once every
// answer is in: the folder's own line first (when printSelf), then each
// entry's, a sub-folder's entries right after its line when recursing.
int listFolder(Session& session, const std::string& dir, const ListOptions& options, bool printSelf) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (!options.all && name[0] == '.') continue;
    entries.push_back(dir == "/" ? "/" + name : dir + "/" + name);
  }
  if (ec) return fail("cannot list " + dir + ": " + ec.message());
  std::sort(entries.begin(), entries.end());

  auto& client = *session.client;
  // A sub-folder's own badge came with its parent's entries.
  std::vector<std::string> asked;
  if (printSelf) asked.push_back(dir);
  asked.insert(asked.end(), entries.begin(), entries.end());
  std::set<std::string> waiting;
  std::map<std::string, std::string> badges;
  // As a file manager showing the folder would; the core then sends the
  // whole folder in one request.
  client.observeDirectory(dir);
  for (const auto& path : asked) {
    if (auto badge = client.badgeForPath(path)) {
      badges[path] = *badge;
    } else {
      waiting.insert(path);
    }
  }
  client.onBadgesChanged([&](const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
      if (waiting.count(path) == 0) continue;
      if (auto badge = client.badgeForPath(path)) {
        badges[path] = *badge;
        waiting.erase(path);
      }
    }
  });
  dispatch::runMainUntil([&] { return waiting.empty() || session.gone || interrupted; }, session.timeout);
  client.onBadgesChanged({});  // it sees this call's locals
  if (session.gone) return fail("finder-extension left the bus");
  if (interrupted) return 1;
  if (!waiting.empty()) {
    std::string message = "no badge came for " + std::to_string(waiting.size()) + " of " +
                          std::to_string(asked.size()) + " items of " + dir + " within " +
                          secondsText(session.timeout) + " s (first: " + *waiting.begin() + ")";
    if (!client.lastError().empty()) message += ": " + client.lastError();
    return fail(message);
  }
  client.forgetDirectory(dir);

  auto print = [&](const std::string& path) {
    const std::string& badge = badges[path];
    std::printf("%s\t%s\n", badge.empty() ? "-" : badge.c_str(), path.c_str());
    std::fflush(stdout);
  };
  if (printSelf) print(dir);
  for (const auto& path : entries) {
    print(path);
    if (!options.recursive || !isDirectory(path, false) || path.ends_with("/.svn")) continue;
    if (int status = listFolder(session, path, options, false); status != 0) return status;
  }
  return 0;
}

int ls(Session& session, const Arguments& args) {
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
  return listFolder(session, dir, options, true);
}

int watch(Session& session, const Arguments& args) {
  std::optional<double> seconds;
  if (args.size() == 2 && args[0] == "--seconds") {
    char* end = nullptr;
    seconds = std::strtod(args[1].c_str(), &end);
    if (*end != '\0' || *seconds < 0) return usageError("--seconds needs a number");
  } else if (!args.empty()) {
    return usageError("watch takes only [--seconds N]");
  }
  auto& client = *session.client;
  client.onBadgesAnnounced([](const std::vector<std::pair<std::string, std::string>>& badges) {
    for (const auto& [path, badge] : badges) {
      std::printf("BadgeChanged\t%s\t%s\n", badge.empty() ? "-" : badge.c_str(), path.c_str());
    }
    std::fflush(stdout);
  });
  client.onDirectoryURLsChanged([&client](const std::vector<std::string>& paths) {
    if (!client.serviceRunning()) return;  // the folders of a service that left
    std::printf("DirectoryURLsChanged");
    for (const auto& path : paths) std::printf("\t%s", path.c_str());
    std::printf("\n");
    std::fflush(stdout);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds.value_or(0));
  while (!interrupted && !session.gone) {
    if (seconds && std::chrono::steady_clock::now() >= deadline) break;
    dispatch::runMainUntil([&] { return interrupted || session.gone; }, 200ms);
  }
  if (session.gone) return fail("finder-extension left the bus");
  return 0;
}

int roots(Session& session, const Arguments& args) {
  if (!args.empty()) return usageError("roots takes no arguments");
  for (const auto& path : session.client->directoryURLs()) std::printf("%s\n", path.c_str());
  return 0;
}

std::optional<std::uint32_t> parseKind(const std::string& text) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  return static_cast<std::uint32_t>(std::stoul(text));
}

int menu(Session& session, const Arguments& args) {
  std::uint32_t kind = 0;
  size_t i = 0;
  if (args.size() >= 2 && args[0] == "--kind") {
    auto parsed = parseKind(args[1]);
    if (!parsed) return usageError("--kind needs a number");
    kind = *parsed;
    i = 2;
  }
  // The menu is the same whatever is selected, so the paths are not sent.
  for (; i < args.size(); ++i) {
    if (args[i].starts_with("-")) return usageError("unknown option " + args[i]);
  }
  // The service offers menus of kinds 0 and 1 only; the core keeps both.
  if (kind > 1) return 0;
  auto& client = *session.client;
  dispatch::runMainUntil([&] { return client.menu(kind) || session.gone || interrupted; }, session.timeout);
  auto result = client.menu(kind);
  if (!result) {
    if (interrupted) return 1;
    return fail(session.failure("no menu came within " + secondsText(session.timeout) + " s"));
  }
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

int choose(Session& session, const Arguments& args) {
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
  std::optional<std::string> error;
  session.client->chooseMenuItem(action, selected, targeted,
                                 [&](bool ok, const std::string& message) { error = ok ? "" : message; });
  // The core's call ends by itself within the timeout.
  dispatch::runMainUntil([&] { return error.has_value() || interrupted; }, session.timeout + 1s);
  if (!error) return 1;
  if (!error->empty()) return fail(*error);
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
  using Command = int (*)(Session&, const Arguments&);
  const std::map<std::string, Command> commands = {
      {"ls", ls}, {"watch", watch}, {"roots", roots}, {"menu", menu}, {"choose", choose}};
  auto command = commands.find(args[0]);
  if (command == commands.end()) return usageError("unknown command \"" + args[0] + "\"");

  std::signal(SIGINT, noteInterrupt);
  std::signal(SIGTERM, noteInterrupt);
  Session session;
  session.timeout = std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
  std::string error;
  session.client = filemanagers::BadgeClient::create({session.timeout}, &error);
  if (!session.client) return fail(error);
  // Every command starts from the service's folders: the first call, which
  // lets the bus start the service and tells whether it is there at all.
  bool decided = false;
  session.client->onServiceChanged([&](bool running) {
    decided = true;
    if (!running) session.gone = true;
  });
  dispatch::runMainUntil([&] { return decided || interrupted; }, session.timeout + 1s);
  if (interrupted) return 1;
  if (!session.client->serviceRunning()) {
    return fail(session.failure("finder-extension did not answer within " + secondsText(session.timeout) + " s"));
  }
  session.gone = false;
  int status = command->second(session, Arguments(args.begin() + 1, args.end()));
  // Calls still on their way (ls ends its observations) are answered, or time out.
  dispatch::runMainUntil([&] { return session.client->callsInFlight() == 0; }, session.timeout + 1s);
  return status;
}
