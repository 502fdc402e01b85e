// Where the application's Subversion work finds its configuration and the
// askpass program, and the command handoff's files. Any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/svnclient/svnclient.h"

namespace appwork {

// The FinderSync folder of the shared container, or nothing (with the
// reason) when there is no container.
std::optional<std::string> finderSyncFolder(std::string* error);

// A session reading FinderSync/SubversionConfig when the application placed
// one, else the user's own configuration; no callbacks set.
svnclient::Session baseSession();

// keychain-askpass: beside this program when built, else where it is installed.
std::string askpassProgram();

// The badge the file manager shows for a status.
std::string badgeFor(const svn_client_status_t& status);

}  // namespace appwork

namespace appwork {

// The folder of the working copy holding `path` as the per-working-copy
// queue knows it: the nearest folder at or above it with a ".svn" folder,
// found on the file system alone (no Subversion call), or `path` itself.
std::string workingCopyKey(const std::string& path);

}  // namespace appwork
