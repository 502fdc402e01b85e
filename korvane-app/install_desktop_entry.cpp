// install-desktop-entry [--run]: installs com.korvaneapp.v3.desktop in
// $XDG_DATA_HOME/applications (default ~/.local/share/applications), making
// this program the desktop's handler of korvane:// URLs under the
// application's identifier. With --run the installed handler carries the
// commands out ("open-url --run").
//
// The MimeType key alone is not enough: launchers (GIO, xdg-open) learn
// which entries handle a type from the folder's mimeinfo.cache, which
// update-desktop-database writes, and take the default from mimeapps.list.
// So the entry is also made the user's default for x-scheme-handler/korvane
// in $XDG_CONFIG_HOME/mimeapps.list (other lines kept), and the folder's
// cache is refreshed when update-desktop-database is installed.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "commands.h"

namespace {

std::optional<std::string> applicationsFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
    return std::string(xdg) + "/applications";
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return std::string(home) + "/.local/share/applications";
  return std::nullopt;
}

// An Exec argument: quoted when it holds a character the Desktop Entry
// format reserves (bare otherwise, which simple launchers such as xdg-open
// also split right), then with "\" and "%" escaped once more, as the value
// of a string key.
std::string execArgument(const std::string& argument) {
  const bool plain = argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos;
  std::string quoted = plain ? "" : "\"";
  for (char c : argument) {
    if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    quoted += c;
  }
  if (!plain) quoted += '"';
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '%') escaped += "%%";
    else escaped += c;
  }
  return escaped;
}

constexpr const char* kEntryID = "com.korvaneapp.v3.desktop";
constexpr const char* kSchemeType = "x-scheme-handler/korvane";

// Rewrites the folder's mimeinfo.cache; without the tool only the default
// in mimeapps.list announces the handler, which launchers also honour.
void refreshDesktopDatabase(const std::string& folder) {
  gchar* tool = g_find_program_in_path("update-desktop-database");
  if (tool == nullptr) return;
  const gchar* argv[] = {tool, "-q", folder.c_str(), nullptr};
  gint status = 0;
  GError* error = nullptr;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr,
                    nullptr, nullptr, &status, &error) ||
      !g_spawn_check_wait_status(status, &error)) {
    std::fprintf(stderr, "korvane-app: update-desktop-database %s failed: %s\n", folder.c_str(), error->message);
    g_error_free(error);
  }
  g_free(tool);
}

// Records the entry as the default handler of korvane:// URLs in the user's
// mimeapps.list; false with a message when it cannot.
bool makeDefaultHandler() {
  GDesktopAppInfo* app = g_desktop_app_info_new(kEntryID);
  if (app == nullptr) {
    std::fprintf(stderr, "korvane-app: the desktop does not find %s\n", kEntryID);
    return false;
  }
  GError* error = nullptr;
  const bool set = g_app_info_set_as_default_for_type(G_APP_INFO(app), kSchemeType, &error);
  if (!set) {
    std::fprintf(stderr, "korvane-app: cannot make %s the handler of %s: %s\n", kEntryID, kSchemeType,
                 error->message);
    g_error_free(error);
  }
  g_object_unref(app);
  return set;
}

}  // namespace

int runInstallDesktopEntry(const CommandArguments& args) {
  const bool carryOut = args.size() == 1 && args[0] == "--run";
  if (!args.empty() && !carryOut) {
    std::fprintf(stderr, "usage: korvane-app install-desktop-entry [--run]\n");
    return 2;
  }
  auto folder = applicationsFolder();
  if (!folder) {
    std::fprintf(stderr, "korvane-app: set HOME or XDG_DATA_HOME to an absolute path\n");
    return 2;
  }
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    std::fprintf(stderr, "korvane-app: cannot find this program's path: %s\n", ec.message().c_str());
    return 1;
  }
  std::filesystem::create_directories(*folder, ec);

  const std::string path = *folder + "/" + kEntryID;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Korvane\n"
           "Comment=Receives the commands of the Korvane file-manager extension\n"
        << "Exec=" << execArgument(self.string()) << " open-url " << (carryOut ? "--run " : "") << "%u\n"
        << "MimeType=x-scheme-handler/korvane;\n"
           "NoDisplay=true\n"
           "Terminal=false\n";
    if (!out.flush()) {
      std::fprintf(stderr, "korvane-app: cannot write %s\n", temporary.c_str());
      return 1;
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::fprintf(stderr, "korvane-app: cannot install %s: %s\n", path.c_str(), ec.message().c_str());
    return 1;
  }
  refreshDesktopDatabase(*folder);
  if (!makeDefaultHandler()) return 1;
  std::printf("%s\n", path.c_str());
  return 0;
}
