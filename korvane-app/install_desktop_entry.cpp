// install-desktop-entry [--run]: installs com.korvaneapp.v3.desktop in
// $XDG_DATA_HOME/applications (default ~/.local/share/applications), making
// this program the desktop's handler of korvane:// URLs under the
// application's identifier. With --run the installed handler carries the
// commands out ("open-url --run").
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

// An Exec argument: quoted as desktop entries require, then with "\" and "%"
// escaped once more, as the value of a string key.
std::string execArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '%') escaped += "%%";
    else escaped += c;
  }
  return escaped;
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

  const std::string path = *folder + "/com.korvaneapp.v3.desktop";
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
  std::printf("%s\n", path.c_str());
  return 0;
}
