// korvane-status-scan: runs the extension's status scans, one at a time,
// reading requests from standard input and answering on standard output
// (records.h), until its input closes. A scan that makes libsvn abort ends only this
// process; the extension reports that working copy's scan as failed.
#include <svn_pools.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "records.h"
#include "svn.h"
#include "walk.h"

int main() {
  // A damaged working copy aborts every scan of it: no core file each time.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  KRVEnsureSVNCoreInitialization();

  apr_pool_t* pool = svn_pool_create(nullptr);
  svn::detail::RecordReader in(STDIN_FILENO, pool);
  svn::detail::RecordWriter out(STDOUT_FILENO, false);
  for (char kind = 0; in.kind(kind);) {
    svn::detail::ScanRequest request;
    if (kind != 'Q' || !in.request(request)) return 1;
    svn_pool_clear(pool);
    bool connected = true;
    svn_error_t* err = svn::detail::walkWorkingCopy(
        request.root, request.configDir, request.options,
        [&](const char* path, const svn_client_status_t& status) -> svn_error_t* {
          out.item(path, status);
          if (out.flush(32 * 1024)) return SVN_NO_ERROR;
          connected = false;
          return svn_error_create(SVN_ERR_CANCELLED, nullptr, nullptr);
        },
        [&](const std::string& path) { out.skipped(path); });
    out.end(err);
    svn_error_clear(err);
    // The helper waits idle between scans: what a big scan took goes back.
    malloc_trim(0);
    if (!connected || !out.flush()) return 1;
  }
  svn_pool_destroy(pool);
  return 0;
}
