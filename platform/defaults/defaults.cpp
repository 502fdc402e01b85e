#include "defaults.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace defaults {

namespace {

constexpr const char* kFileName = "com.korvaneapp.v3.finder-extension.plist";

std::mutex& storeMutex() {
  static std::mutex m;
  return m;
}

std::optional<std::string> configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') return std::string(xdg);
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  return std::nullopt;
}

// The stored dictionary; a missing or corrupt file is an empty one.
plist::Dictionary readStore(const std::string& path) {
  auto value = plist::readFile(path);
  if (!value || value->asDictionary() == nullptr) return {};
  return *value->asDictionary();
}

bool writeStore(const std::string& path, const plist::Dictionary& store, std::string* error) {
  // The folder and any missing parent, private to the user, as XDG asks.
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      if (error != nullptr) *error = "cannot create " + partial.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  return plist::writeFileAtomically(path, plist::Value(store), 0600, error);
}

template <typename Change>
bool update(Change change, std::string* error) {
  auto path = storePath();
  if (!path) {
    if (error != nullptr) *error = "neither XDG_CONFIG_HOME nor HOME is an absolute path";
    return false;
  }
  std::lock_guard lock(storeMutex());
  plist::Dictionary store = readStore(*path);
  change(store);
  return writeStore(*path, store, error);
}

}  // namespace

std::optional<std::string> storePath() {
  auto home = configHome();
  if (!home) return std::nullopt;
  return *home + "/" + kFileName;
}

std::optional<plist::Value> objectForKey(const std::string& key) {
  auto path = storePath();
  if (!path) return std::nullopt;
  std::lock_guard lock(storeMutex());
  plist::Dictionary store = readStore(*path);
  auto it = store.find(key);
  if (it == store.end()) return std::nullopt;
  return it->second;
}

bool setObjectForKey(const plist::Value& value, const std::string& key, std::string* error) {
  return update([&](plist::Dictionary& store) { store.insert_or_assign(key, value); }, error);
}

bool removeObjectForKey(const std::string& key, std::string* error) {
  return update([&](plist::Dictionary& store) { store.erase(key); }, error);
}

}  // namespace defaults
