#include "bookmarks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace bookmarks {

namespace {

// Marks the property list as ours, so other property lists are refused.
constexpr const char* kKind = "com.korvaneapp.bookmark";
constexpr std::int64_t kVersion = 1;

void setError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

std::int64_t asStored(std::uint64_t number) { return static_cast<std::int64_t>(number); }

}  // namespace

std::optional<plist::Data> bookmarkData(const foundation::FileURL& url, std::uint64_t options, std::string* error) {
  const std::string& path = url.path();
  if (path.empty() || path[0] != '/') {
    setError(error, "Cannot make a bookmark of \"" + path + "\": the path is not absolute");
    return std::nullopt;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    setError(error, "Cannot make a bookmark of \"" + path + "\": " + std::strerror(errno));
    return std::nullopt;
  }
  plist::Dictionary bookmark{
      {"kind", kKind},
      {"version", kVersion},
      {"path", path},
      {"device", asStored(st.st_dev)},
      {"inode", asStored(st.st_ino)},
      {"securityScope", (options & kCreationWithSecurityScope) != 0},
  };
  std::string why;
  auto xml = plist::toXML(plist::Value(std::move(bookmark)), &why);
  if (!xml) {
    setError(error, "Cannot make a bookmark of \"" + path + "\": " + why);
    return std::nullopt;
  }
  return plist::Data(xml->begin(), xml->end());
}

std::optional<Resolved> resolve(const plist::Data& bookmark, std::uint64_t options, std::string* error) {
  std::string why;
  auto value = plist::parse(bookmark, &why);
  if (!value) {
    setError(error, "The bookmark data cannot be read: " + why);
    return std::nullopt;
  }
  const plist::Dictionary* dict = value->asDictionary();
  auto field = [&](const char* key) { return plist::lookup(dict, key); };
  const plist::Value* kind = field("kind");
  const plist::Value* version = field("version");
  if (kind == nullptr || kind->asString() == nullptr || *kind->asString() != kKind || version == nullptr ||
      version->asInteger() == nullptr || *version->asInteger() != kVersion) {
    setError(error, "The bookmark data is not a bookmark of this kind or version");
    return std::nullopt;
  }
  const plist::Value* path = field("path");
  const plist::Value* device = field("device");
  const plist::Value* inode = field("inode");
  const plist::Value* scope = field("securityScope");
  if (path == nullptr || path->asString() == nullptr || path->asString()->empty() || (*path->asString())[0] != '/' ||
      device == nullptr || device->asInteger() == nullptr || inode == nullptr || inode->asInteger() == nullptr ||
      scope == nullptr || scope->asBool() == nullptr) {
    setError(error, "The bookmark data is corrupt: a field is missing or of the wrong type");
    return std::nullopt;
  }
  const std::string& itemPath = *path->asString();
  struct stat st;
  if (stat(itemPath.c_str(), &st) != 0) {
    setError(error, "The bookmarked item \"" + itemPath + "\" cannot be found: " + std::strerror(errno));
    return std::nullopt;
  }
  Resolved resolved;
  resolved.url = foundation::FileURL::fileURLWithPath(itemPath);
  resolved.stale = asStored(st.st_dev) != *device->asInteger() || asStored(st.st_ino) != *inode->asInteger();
  resolved.securityScoped = *scope->asBool() && (options & kResolutionWithSecurityScope) != 0;
  return resolved;
}

bool startAccessingSecurityScopedResource(const foundation::FileURL&) { return true; }

}  // namespace bookmarks
