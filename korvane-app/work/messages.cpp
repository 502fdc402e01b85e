#include "messages.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace appwork {

namespace {

std::string messagesFile() {
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    data = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    data = std::string(home) + "/.local/share";
  } else {
    return "";
  }
  return data + "/korvane/commit-messages";
}

// Messages are separated by NUL, the one character a message cannot hold.
constexpr char kSeparator = '\0';

}  // namespace

std::vector<std::string> recentMessages() {
  const std::string path = messagesFile();
  if (path.empty()) return {};
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> messages;
  for (std::string message; messages.size() < kRecentMessageCount && std::getline(file, message, kSeparator);)
    if (!message.empty()) messages.push_back(message);
  return messages;
}

bool rememberMessage(const std::string& message, std::string* error) {
  const std::string path = messagesFile();
  if (path.empty()) {
    *error = "no data folder (set HOME or XDG_DATA_HOME)";
    return false;
  }
  std::string kept = message;
  kept.erase(std::remove(kept.begin(), kept.end(), kSeparator), kept.end());
  std::vector<std::string> messages = recentMessages();
  messages.erase(std::remove(messages.begin(), messages.end(), kept), messages.end());
  messages.insert(messages.begin(), kept);
  if (messages.size() > kRecentMessageCount) messages.resize(kRecentMessageCount);

  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string temporary = path + ".new." + std::to_string(getpid());
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& each : messages) file << each << kSeparator;
    file.flush();
    if (!file) {
      *error = "could not write " + temporary;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    *error = "could not replace " + path + ": " + ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace appwork
