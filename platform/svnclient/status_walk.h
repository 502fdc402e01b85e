// The local status walk that the listing and Revert share. Internal to
// platform/svnclient.
#pragma once

#include <vector>

#include "call.h"
#include "svnclient.h"

namespace svnclient::detail {

// Appends to *changes every item below `path` (recursively, externals left
// out) whose status is a local change; unversioned items too when
// `withUnversioned`. Items already in *changes are not added again.
svn_error_t* walkChanges(const Call& call, const std::string& path, bool withUnversioned, const BadgeRule& badge,
                         std::vector<Change>* changes);

}  // namespace svnclient::detail
