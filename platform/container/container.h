// The application-group container: a per-user folder shared by the
// application and its extension.
//
// Contract:
// - containerURLForSecurityApplicationGroupIdentifier(group) is
//   $XDG_DATA_HOME/group-containers/<group>/ ($XDG_DATA_HOME defaulting to
//   $HOME/.local/share). It is created, mode 0700, on first use.
// - Nothing when neither XDG_DATA_HOME nor HOME gives an absolute path, when
//   the group is not a plain folder name, or when the folder cannot be made.
// - Reads the environment on each call; callable from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/fileurl.h"

namespace container {

inline const std::string kSharedGroupIdentifier = "7QH2MXR5TB.com.korvaneapp.shared";

std::optional<foundation::FileURL> containerURLForSecurityApplicationGroupIdentifier(const std::string& group);

}  // namespace container
