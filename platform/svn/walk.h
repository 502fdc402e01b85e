// The working-copy walk behind the status scan (internal to platform/svn):
// runs in the scan's helper process, see svn.h for what it reports.
#pragma once

#include <svn_client.h>
#include <svn_error.h>

#include <functional>
#include <optional>
#include <string>

#include "svn.h"

namespace svn::detail {

// Each item: its path below the root as the caller wrote it, and the
// client's record, valid during the call.
using ItemSink = std::function<svn_error_t*(const char* path, const svn_client_status_t& status)>;
using SkipSink = std::function<void(const std::string& path)>;

svn_error_t* walkWorkingCopy(const std::string& rootPath, const std::optional<std::string>& configDir,
                             const KRVWorkingCopyStatusScanner::Options& options, const ItemSink& sink,
                             const SkipSink& skipped);

}  // namespace svn::detail
