#include "platform/launchservices/launchservices.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string_view>

namespace launchservices {
namespace {

namespace fs = std::filesystem;

struct DesktopFile {
  std::string id;
  std::string relativePath;
  std::string path;
};

bool isAbsolute(std::string_view dir) { return !dir.empty() && dir.front() == '/'; }

std::string environment(const char* key) {
  const char* value = std::getenv(key);
  return value != nullptr ? value : "";
}

// The data folders in precedence order, as the XDG base-directory rules give
// them: an unset or empty variable takes its default, relative entries are
// ignored. Read here on each call because GLib's g_get_system_data_dirs()
// keeps its first answer for the life of the process.
std::vector<std::string> dataFolders() {
  std::vector<std::string> folders;
  std::string home = environment("XDG_DATA_HOME");
  if (!isAbsolute(home)) {
    std::string userHome = environment("HOME");
    home = isAbsolute(userHome) ? userHome + "/.local/share" : "";
  }
  if (!home.empty()) folders.push_back(home);

  std::string dirs = environment("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (isAbsolute(dir)) folders.push_back(dir);
    start = end + 1;
  }
  return folders;
}

// Every "*.desktop" file below an application folder, ordered by relative path.
std::vector<DesktopFile> desktopFiles(const fs::path& folder) {
  std::vector<DesktopFile> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->path().filename().string().ends_with(".desktop")) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    std::string relative = it->path().lexically_relative(folder).string();
    std::string id = relative;
    std::replace(id.begin(), id.end(), '/', '-');
    files.push_back({id, relative, it->path().string()});
  }
  std::sort(files.begin(), files.end(),
            [](const DesktopFile& a, const DesktopFile& b) { return a.relativePath < b.relativePath; });
  return files;
}

std::optional<std::string> stringValue(GKeyFile* file, const char* key) {
  gchar* value = g_key_file_get_string(file, G_KEY_FILE_DESKTOP_GROUP, key, nullptr);
  if (value == nullptr) return std::nullopt;
  std::string result(value);
  g_free(value);
  return result;
}

std::optional<std::string> shownApplicationName(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return std::nullopt;
  auto name = shownApplicationNameInEntry(std::string_view(contents, length));
  g_free(contents);
  return name;
}

// The shown application entries whose ID is decided in their own folder and
// whose Name satisfies `matches`, in precedence order. A file with an ID
// hides that ID in every later folder, whatever it holds; only files whose ID
// passes `mayMatch` are read.
std::vector<foundation::FileURL> findEntries(const std::function<bool(const std::string& id)>& mayMatch,
                                             const std::function<bool(const std::string& name)>& matches) {
  std::vector<foundation::FileURL> found;
  std::set<std::string> decided;
  for (const std::string& dir : dataFolders()) {
    fs::path folder = fs::path(dir).lexically_normal() / "applications";
    std::set<std::string> decidedHere;
    for (const DesktopFile& file : desktopFiles(folder)) {
      if (decided.contains(file.id)) continue;
      decidedHere.insert(file.id);
      if (!mayMatch(file.id)) continue;
      std::optional<std::string> name = shownApplicationName(file.path);
      if (name && matches(*name)) found.push_back(foundation::FileURL::fileURLWithPath(file.path));
    }
    decided.merge(decidedHere);
  }
  return found;
}

std::optional<std::vector<foundation::FileURL>> resultOrError(std::vector<foundation::FileURL> found,
                                                              const std::string& message, std::string* error) {
  if (!found.empty()) return found;
  if (error != nullptr) *error = message;
  return std::nullopt;
}

}  // namespace

// The untranslated Name of an entry that counts as a shown application;
// nothing for a hidden entry or a file that is not an application entry.
std::optional<std::string> shownApplicationNameInEntry(std::string_view contents) {
  std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), g_key_file_free);
  if (!g_key_file_load_from_data(file.get(), contents.data(), contents.size(), G_KEY_FILE_NONE, nullptr))
    return std::nullopt;
  gchar* startGroup = g_key_file_get_start_group(file.get());
  bool entryFirst = startGroup != nullptr && std::string_view(startGroup) == G_KEY_FILE_DESKTOP_GROUP;
  g_free(startGroup);
  if (!entryFirst) return std::nullopt;
  std::optional<std::string> type = stringValue(file.get(), G_KEY_FILE_DESKTOP_KEY_TYPE);
  std::optional<std::string> name = stringValue(file.get(), G_KEY_FILE_DESKTOP_KEY_NAME);
  if (type != G_KEY_FILE_DESKTOP_TYPE_APPLICATION || !name) return std::nullopt;
  // An absent or malformed Hidden key leaves the entry shown.
  if (g_key_file_get_boolean(file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_HIDDEN, nullptr))
    return std::nullopt;
  return name;
}


std::optional<std::vector<foundation::FileURL>> LSCopyApplicationURLsForBundleIdentifier(
    const std::string& bundleIdentifier, std::string* error) {
  const std::string wantedID = bundleIdentifier + ".desktop";
  // The empty identifier would name a hidden file called ".desktop".
  std::vector<foundation::FileURL> found;
  if (!bundleIdentifier.empty())
    found = findEntries([&](const std::string& id) { return id == wantedID; }, [](const std::string&) { return true; });
  return resultOrError(std::move(found), "no application has the identifier \"" + bundleIdentifier + "\"", error);
}

std::optional<std::vector<foundation::FileURL>> applicationURLsForName(const std::string& name, std::string* error) {
  std::vector<foundation::FileURL> found;
  if (!name.empty())
    found = findEntries([](const std::string&) { return true; }, [&](const std::string& entryName) { return entryName == name; });
  return resultOrError(std::move(found), "no application is named \"" + name + "\"", error);
}

}  // namespace launchservices
