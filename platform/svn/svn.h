// The Subversion libraries, as the extension reaches them: one-time set-up
// and a local status scanner over a working copy.
//
// Contract:
// - KRVEnsureSVNCoreInitialization() prepares APR and libsvn for use in this
//   process. It does the work once, however many threads call it at once;
//   later calls return at once. Call it before any other Subversion call.
//   Paths cross into Subversion as UTF-8 and reach the file system as the
//   same bytes, whatever the process's locale.
// - KRVWorkingCopyStatusScanner::scanLocalTarget() walks the working copy at
//   an absolute root path with svn_client_status6, without network access,
//   and calls the entry block once per item (see externals below), on the
//   calling thread, one call at a time, all before it returns. The walk
//   runs in a helper process, "korvane-status-scan" beside the running
//   executable (helper.h), which hands the items back: damage to a working
//   copy's database that makes libsvn abort ends only the helper, and the
//   scan fails with SVN_ERR_WC_CORRUPT. A wc.db that another program holds
//   locked fails the scan with SVN_ERR_SQLITE_BUSY after about 0.25 s,
//   not after Subversion's built-in 10 s (busy_timeout.cpp).
// - A whole scan (depth infinity, every item, ignored ones left out) of a
//   working copy root in Subversion 1.14's format reads the working copy's
//   database itself and builds the records of unchanged items and of edited
//   plain files without Subversion (fastwalk.h); they are the records, in
//   the order, that svn_client_status6 gives. Everything else is still
//   Subversion's.
// - A file name that is not UTF-8 stops Subversion's walk at its folder;
//   the scan then walks the working copy again around such folders (their
//   items one by one), so every other item is reported as usual, and hands
//   each such name to `skipped` instead. Such a folder's own status cannot
//   be had when its parent holds a name like that too, nor the root's.
//   Items reported before the first walk stopped may come once more.
// - Each item arrives as its absolute path in valid UTF-8 (the root path as
//   given, extended by path components), its
//   svn_client_status_t record, and an svn_wc_status2_t record built from
//   the same status (scanner.cpp says which fields it fills). All three are
//   valid only during the call.
// - Items inside svn:externals definitions are walked after the main
//   working copy, like `svn status` does; the external's folder itself is
//   reported with the status svn_wc_status_external, then once more as the
//   root of its own walk.
// - The result is null on success. Otherwise it is an error the caller owns
//   and frees with svn_error_clear (the walk's error chain, codes and
//   messages); the items reported before it stay valid.
//   An entry block that returns an error stops the scan, and that error (or
//   one wrapping it) comes back.
// - svn::workingCopyRoot() asks libsvn_client which working copy holds a
//   path; it initialises the libraries itself.
#pragma once

#include <svn_client.h>
#include <svn_error.h>
#include <svn_types.h>
#include <svn_wc.h>

#include <functional>
#include <optional>
#include <string>

void KRVEnsureSVNCoreInitialization();

class KRVWorkingCopyStatusScanner {
 public:
  // What a scan reports; the registry treats it as opaque.
  struct Options {
    svn_depth_t depth = svn_depth_infinity;
    bool getAll = true;           // normal items too, so their locks are seen
    bool noIgnore = false;        // ignored items are not reported
    bool ignoreExternals = false;
  };

  using EntryBlock =
      std::function<svn_error_t*(const char* path, const svn_client_status_t* status, const svn_wc_status2_t* wcStatus)>;
  // The path (its bytes as on disk) of an entry left out for its name.
  using SkipBlock = std::function<void(const std::string& path)>;

  // Starts a helper now, so that the first scan need not wait while one
  // loads; scans work without it.
  static void prepareScans();

  // Every item to `depth`, unversioned items included, no out-of-date check.
  static Options localScanOptionsWithDepth(svn_depth_t depth);

  // `configDir` names a Subversion configuration folder to read; without
  // one, Subversion's built-in defaults apply and no user file is read.
  static svn_error_t* scanLocalTarget(const std::string& rootPath, const std::optional<std::string>& configDir,
                                      const Options& options, const EntryBlock& entryBlock,
                                      const SkipBlock& skipped = {});
};

namespace svn {

// The root of the working copy that contains path (absolute, canonical), or
// nothing with Subversion's message in *error when path is in none.
// Callable from any thread.
std::optional<std::string> workingCopyRoot(const std::string& path, std::string* error = nullptr);

}  // namespace svn
