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

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/container/container.h"
#include "platform/plist/plist.h"
#include "platform/uuid/uuid.h"
#include "svn_command.h"

namespace {

struct ReceivedCommand {
  std::string action;
  std::vector<std::string> paths;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "korvane-app: %s\n", message.c_str());
  return 2;
}

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> percentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// The "id" query item of korvane://finder-sync-command?id=..., or an error.
std::optional<std::string> commandIdentifier(const std::string& url, std::string* error) {
  const std::string scheme = "korvane://";
  if (lowercased(url.substr(0, scheme.size())) != scheme) {
    *error = "not a korvane: URL: " + url;
    return std::nullopt;
  }
  const std::string rest = url.substr(scheme.size(), url.find('#') - scheme.size());
  const std::size_t query = rest.find('?');
  const std::string authorityAndPath = rest.substr(0, query);
  if (lowercased(authorityAndPath) != "finder-sync-command" && lowercased(authorityAndPath) != "finder-sync-command/") {
    *error = "not a command URL: " + url;
    return std::nullopt;
  }
  const std::string items = query == std::string::npos ? "" : rest.substr(query + 1);
  std::size_t start = 0;
  while (start <= items.size()) {
    std::size_t end = items.find('&', start);
    if (end == std::string::npos) end = items.size();
    const std::string item = items.substr(start, end - start);
    const std::size_t equals = item.find('=');
    if (percentDecoded(item.substr(0, equals)) == "id") {
      auto value = equals == std::string::npos ? std::optional<std::string>("") : percentDecoded(item.substr(equals + 1));
      if (!value || !uuid::isUUIDString(*value)) {
        *error = "the command id is not a UUID: " + url;
        return std::nullopt;
      }
      return value;
    }
    start = end + 1;
  }
  *error = "the URL names no command id: " + url;
  return std::nullopt;
}

const std::set<std::string>& knownActions() {
  static const std::set<std::string> actions = {"reveal", "update", "commit", "add", "ignore", "revert"};
  return actions;
}

std::optional<ReceivedCommand> readCommandFile(const std::string& path, std::string* error) {
  std::string readError;
  auto document = plist::readFile(path, &readError);
  if (!document) {
    *error = "cannot read the command file " + path + ": " + readError;
    return std::nullopt;
  }
  const plist::Dictionary* dict = document->asDictionary();
  const plist::Value* action = plist::lookup(dict, "action");
  const plist::Value* paths = plist::lookup(dict, "paths");
  const plist::Value* date = plist::lookup(dict, "date");
  if (!action || !action->asString() || !knownActions().count(*action->asString()) || !paths || !paths->asArray() ||
      paths->asArray()->empty() || !date || !date->asDate()) {
    *error = "malformed command file " + path;
    return std::nullopt;
  }
  ReceivedCommand command{*action->asString(), {}};
  for (const auto& value : *paths->asArray()) {
    const std::string* text = value.asString();
    if (!text || text->empty() || text->front() != '/') {
      *error = "malformed command file " + path + ": every path must be absolute";
      return std::nullopt;
    }
    command.paths.push_back(*text);
  }
  return command;
}

bool askedToActivate() {
  for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
    const char* token = std::getenv(name);
    if (token != nullptr && token[0] != '\0') return true;
  }
  return false;
}

// A path on one report line.
std::string escaped(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string report(const std::string& identifier, const ReceivedCommand& command) {
  std::string text = "id: " + identifier + "\naction: " + command.action + "\n";
  for (const auto& path : command.paths) text += "path: " + escaped(path) + "\n";
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
  auto command = readCommandFile(file.path(), &error);
  if (!command) return fail(error);

  const std::string text = report(*identifier, *command);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  appendToLog(finderSync.appendingPathComponent("ReceivedCommands.log").path(), text + "\n");
  if (!carryOut) return 0;
  return carryOutCommand(command->action, command->paths, confirmed) ? 0 : 1;
}
