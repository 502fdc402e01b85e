#include <apr_general.h>
#include <svn_dso.h>
#include <svn_error.h>
#include <svn_pools.h>
#include <svn_utf.h>

#include <mutex>

#include "svn.h"

void KRVEnsureSVNCoreInitialization() {
  static std::once_flag once;
  std::call_once(once, [] {
    // APR stays initialised for the life of the process: pools made by any
    // thread may outlive whoever asked first.
    if (apr_initialize() != APR_SUCCESS) return;
    svn_error_clear(svn_dso_initialize2());
    // A failed internal check becomes an error where libsvn allows it,
    // instead of aborting the process.
    svn_error_set_malfunction_handler(svn_error_raise_on_malfunction);
    // File names are UTF-8 bytes here. Without this, a process left in the
    // "C" locale could not name any non-ASCII file to the file system, and
    // every scan of a working copy holding one would fail. The pool lives
    // as long as the process.
    svn_utf_initialize2(TRUE, svn_pool_create(nullptr));
  });
}
