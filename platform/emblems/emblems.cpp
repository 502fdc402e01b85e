#include "platform/emblems/emblems.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace emblems {

namespace {

std::optional<std::string> dataHome() {
  // Relative values are ignored, as the base-directory rules say.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return std::string(xdg);
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::string(home) + "/.local/share";
  return std::nullopt;
}

bool isPlainName(const std::string& identifier) {
  return !identifier.empty() && identifier != "." && identifier != ".." &&
         identifier.find('/') == std::string::npos && identifier.find('\0') == std::string::npos;
}

std::shared_ptr<graphics::BitmapImageRep> representationOfWidth(const graphics::Image& image, std::int64_t pixels) {
  for (const auto& rep : image.representations())
    if (rep->pixelsWide() == pixels && rep->pixelsHigh() == pixels) return rep;
  return nullptr;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the PNG beside `path` and renames it into place.
bool writePNGAtomically(const graphics::BitmapImageRep& rep, const std::filesystem::path& path) {
  const auto png = rep.PNGRepresentation();
  if (!png) return false;
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) return false;
  std::string temporary = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  // Icons are for every program of the user to read.
  const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, *png);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::optional<InstalledEmblem> writeEmblem(const graphics::Image& image, const std::string& identifier,
                                           const std::string& themeFolder) {
  if (!isPlainName(identifier)) return std::nullopt;
  const auto rep1x = representationOfWidth(image, 16);
  const auto rep2x = representationOfWidth(image, 32);
  if (!rep1x || !rep2x) return std::nullopt;
  const std::filesystem::path theme(themeFolder);
  const std::string name = "emblem-korvane-" + identifier + ".png";
  InstalledEmblem installed{(theme / "16x16" / "emblems" / name).string(),
                            (theme / "16x16@2" / "emblems" / name).string()};
  if (!writePNGAtomically(*rep1x, installed.path1x) || !writePNGAtomically(*rep2x, installed.path2x))
    return std::nullopt;
  return installed;
}

std::optional<InstalledEmblem> themeEmblem(const std::string& identifier) {
  if (!isPlainName(identifier)) return std::nullopt;
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  const std::string list = dirs && dirs[0] != '\0' ? dirs : "/usr/local/share:/usr/share";
  const std::string name = "emblem-korvane-" + identifier + ".png";
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    const std::string dir = list.substr(start, end - start);
    start = end + 1;
    // Relative entries are ignored, as the base-directory rules say.
    if (!dir.starts_with('/')) continue;
    const std::filesystem::path theme = std::filesystem::path(dir) / "icons" / "hicolor";
    InstalledEmblem found{(theme / "16x16" / "emblems" / name).string(),
                          (theme / "16x16@2" / "emblems" / name).string()};
    if (::access(found.path1x.c_str(), R_OK) == 0 && ::access(found.path2x.c_str(), R_OK) == 0) return found;
  }
  return std::nullopt;
}

std::optional<InstalledEmblem> installEmblem(const graphics::Image& image, const std::string& identifier) {
  const auto data = dataHome();
  if (!data) return std::nullopt;
  return writeEmblem(image, identifier, *data + "/icons/hicolor");
}

}  // namespace emblems
