// Reading what the extension hands over: the command URL and the command
// file's document.
#include "command_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "platform/uuid/uuid.h"

namespace {

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

const std::set<std::string>& knownActions() {
  static const std::set<std::string> actions = {"reveal", "update", "commit", "add", "ignore", "revert"};
  return actions;
}

}  // namespace

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

std::optional<ReceivedCommand> commandFromDocument(const plist::Value& document, const std::string& path,
                                                   std::string* error) {
  const plist::Dictionary* dict = document.asDictionary();
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

std::string reportedPath(const std::string& path) {
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
