#include <apr_general.h>
#include <svn_dso.h>
#include <svn_error.h>

#include <mutex>

#include "svn.h"

void KRVEnsureSVNCoreInitialization() {
  static std::once_flag once;
  std::call_once(once, [] {
    // APR stays initialised for the life of the process: pools made by any
    // thread may outlive whoever asked first.
    if (apr_initialize() != APR_SUCCESS) return;
    svn_error_clear(svn_dso_initialize2());
  });
}
