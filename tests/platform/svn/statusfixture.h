// A real working copy holding one item in each local state a status scan
// tells apart, built with svnadmin and svn. Build it once per suite and copy
// it per test (testsupport::copyTree); paths inside are listed below.
//
//   a.txt            modified              merged.txt    modified (merged by update)
//   added.txt        added                 conf.txt      text conflict from update
//   del.txt          deleted (svn rm)      gone.txt      missing (removed by rm)
//   repl.txt         replaced              x.tmp         ignored (svn:ignore)
//   lk/locked.txt    locked, unchanged     lk/plain.txt  unchanged
//   d/b.txt          unchanged             d/new.txt     unversioned
//   d/e/f.txt        unchanged             clean/c.txt   unchanged (clean folder)
//   d2/              added with history (copy of d), d2/e/f.txt text conflict from merge
#pragma once

#include <string>

namespace statusfixture {

struct Fixture {
  std::string repoURL;  // file:// URL of the repository
  std::string wc;       // the working copy
};

// Builds the repository, a second working copy for the incoming changes,
// and the working copy described above, all under `parent`.
Fixture build(const std::string& parent);

}  // namespace statusfixture
