// Linked into korvane-status-scan only: Subversion gives every working-copy
// database a compiled-in busy timeout of 10 s, so a scan meeting a wc.db
// that another program holds locked would wait that long, and every other
// working copy's scan with it. This definition takes the place of SQLite's
// own for the whole helper process (the executable's symbol comes first in
// the dynamic lookup) and hands a much shorter timeout on to SQLite: the
// scan then fails with SVN_ERR_SQLITE_BUSY and the extension keeps the last
// good badges and tries again later.
#include <dlfcn.h>

#include <algorithm>

struct sqlite3;

namespace {

// How long a scan waits for another program's lock on wc.db.
constexpr int kBusyTimeoutMs = 250;

using BusyTimeout = int (*)(sqlite3*, int);

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_busy_timeout(sqlite3* db, int ms) {
  static const auto real = reinterpret_cast<BusyTimeout>(dlsym(RTLD_NEXT, "sqlite3_busy_timeout"));
  // SQLITE_ERROR: the helper cannot run without SQLite, so this never happens.
  if (real == nullptr) return 1;
  return real(db, std::min(ms, kBusyTimeoutMs));
}
