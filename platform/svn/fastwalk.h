// The status walk's fast path (internal to platform/svn; walk.cpp calls it
// in the scan's helper process, on its one thread).
//
// Contract: fastWalk() reports every item of the working copy rooted at
// `root` (canonical, absolute) exactly as svn_client_status6 at depth
// infinity with every item, ignored ones left out, would, in the same
// order. It reads the working copy's database (wcdb.h) and lstat()s the
// working files itself, building the records of plain items (and of plain
// files whose text changed) on its own; every folder holding anything else
// (and every subtree holding nothing else) goes to `folderStatus`, which
// asks Subversion for the folder at the depth given, each item it reports
// to `into` (canonical paths, records valid during the call). A folder
// whose only unversioned items are ignored ones (`ignoresAll`) stays fast. The walk
// then hands those items on in Subversion's order, each versioned folder
// followed by what lies below it. The root's own record always comes from
// Subversion. Where more than a quarter of the folders would need
// Subversion, it leaves the whole walk to it.
// It returns false, having reported nothing, when the working copy is
// outside what it reads (wcdb.h), holds a name that is not UTF-8 or a
// working copy nested in a folder, or too many folders need Subversion; the
// caller then walks with Subversion alone. Otherwise it returns true with the walk's outcome in *err (null on
// success, else the first error of a sink, which stops the walk).
#pragma once

#include <svn_client.h>
#include <svn_error.h>

#include <functional>
#include <string>
#include <vector>

namespace svn::detail {

// An item's absolute path and its record, valid during the call.
using StatusSink = std::function<svn_error_t*(const char* path, const svn_client_status_t& status)>;
using FolderStatus = std::function<svn_error_t*(const std::string& path, svn_depth_t depth, const StatusSink& into)>;

// Whether Subversion ignores every one of `names` (unversioned items of the
// folder at `folder`), as its status walk would decide.
using IgnoresAll = std::function<bool(const std::string& folder, const std::vector<std::string>& names)>;

// Subversion's own decision for `ignoresAll`: the configuration's global
// ignores, the folder's svn:ignore and the svn:global-ignores it inherits.
bool ignoredBySubversion(svn_client_ctx_t* ctx, const std::string& folder, const std::vector<std::string>& names);

bool fastWalk(const std::string& root, const StatusSink& sink, const FolderStatus& folderStatus,
              const IgnoresAll& ignoresAll, svn_error_t** err);

}  // namespace svn::detail
