// The Subversion libraries, as the extension reaches them.
//
// Contract:
// - KRVEnsureSVNCoreInitialization() prepares APR and libsvn for use in this
//   process. It does the work once, however many threads call it at once;
//   later calls return at once. Call it before any other Subversion call.
// - svn::workingCopyRoot() asks libsvn_client which working copy holds a
//   path; it initialises the libraries itself.
#pragma once

void KRVEnsureSVNCoreInitialization();

#include <optional>
#include <string>

namespace svn {

// The root of the working copy that contains path (absolute, canonical), or
// nothing with Subversion's message in *error when path is in none.
// Callable from any thread.
std::optional<std::string> workingCopyRoot(const std::string& path, std::string* error = nullptr);

}  // namespace svn
