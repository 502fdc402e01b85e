// URL bookmarks: a storable token that names a folder (or file) and later
// yields its URL again, standing in for NSURL bookmark data.
//
// Contract:
// - A bookmark is a small XML property list: the item's absolute path, its
//   identity (device and inode numbers) and whether it carries a security
//   scope. It is plain data; store it anywhere.
// - bookmarkData() needs an existing item; the security scope is carried
//   when kCreationWithSecurityScope is among the options.
// - resolve() finds the item at the recorded path. It reports the bookmark
//   stale when the item there has another identity (the folder was replaced
//   or recreated): the URL is still given, and a fresh bookmark should be
//   made. Data that is not a bookmark, or a missing item, gives nothing and
//   a message saying which.
// - There is no sandbox here: startAccessingSecurityScopedResource() grants
//   nothing and always succeeds. Callers still call it where the host needs
//   it; whether the folder is usable is for access(2) to say.
// - Pure functions of their input and the file system; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/fileurl.h"
#include "platform/plist/plist.h"

namespace bookmarks {

// Option values as the host's bookmark interface numbers them.
inline constexpr std::uint64_t kResolutionWithSecurityScope = 1u << 10;
inline constexpr std::uint64_t kCreationWithSecurityScope = 1u << 11;

std::optional<plist::Data> bookmarkData(const foundation::FileURL& url, std::uint64_t options,
                                        std::string* error = nullptr);

struct Resolved {
  foundation::FileURL url;
  bool stale = false;
  // True when the bookmark carries a security scope and the caller asked
  // for it with kResolutionWithSecurityScope.
  bool securityScoped = false;
};

std::optional<Resolved> resolve(const plist::Data& bookmark, std::uint64_t options, std::string* error = nullptr);

bool startAccessingSecurityScopedResource(const foundation::FileURL& url);

}  // namespace bookmarks
