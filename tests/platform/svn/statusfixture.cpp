#include "statusfixture.h"

#include "tests/support/support.h"

namespace statusfixture {

using testsupport::runOK;
using testsupport::writeFile;

Fixture build(const std::string& parent) {
  const std::string lines = "1\n2\n3\n4\n5\n";
  auto repo = testsupport::makeSvnRepo(parent, {{"a.txt", "a\n"},
                                                {"conf.txt", lines},
                                                {"merged.txt", lines},
                                                {"del.txt", "del\n"},
                                                {"gone.txt", "gone\n"},
                                                {"repl.txt", "repl\n"},
                                                {"lk/locked.txt", "locked\n"},
                                                {"lk/plain.txt", "plain\n"},
                                                {"d/b.txt", "b\n"},
                                                {"d/e/f.txt", "x\ny\nz\n"},
                                                {"clean/c.txt", "c\n"}});
  const std::string& wc = repo.wc;
  runOK({"svn", "propset", "-q", "svn:ignore", "*.tmp", "."}, wc);
  runOK({"svn", "commit", "-q", "-m", "ignore"}, wc);

  // Incoming changes from a second working copy (revision 3).
  std::string theirs = parent + "/theirs";
  runOK({"svn", "checkout", "-q", repo.repoURL, theirs});
  writeFile(theirs + "/conf.txt", "one\n2\n3\n4\n5\n");
  writeFile(theirs + "/merged.txt", "one\n2\n3\n4\n5\n");
  writeFile(theirs + "/d/e/f.txt", "X\ny\nz\n");
  runOK({"svn", "commit", "-q", "-m", "theirs"}, theirs);

  // Local edits, then an update that conflicts on one file and merges another.
  writeFile(wc + "/conf.txt", "uno\n2\n3\n4\n5\n");
  writeFile(wc + "/merged.txt", "1\n2\n3\n4\nfive\n");
  runOK({"svn", "update", "-q", "--non-interactive", "--accept", "postpone"}, wc);

  runOK({"svn", "lock", "-q", "lk/locked.txt"}, wc);
  writeFile(wc + "/a.txt", "a\nmore\n");
  writeFile(wc + "/added.txt", "added\n");
  runOK({"svn", "add", "-q", "added.txt"}, wc);
  runOK({"svn", "rm", "-q", "del.txt"}, wc);
  runOK({"rm", wc + "/gone.txt"});
  runOK({"svn", "rm", "-q", "repl.txt"}, wc);
  writeFile(wc + "/repl.txt", "replacement\n");
  runOK({"svn", "add", "-q", "repl.txt"}, wc);
  writeFile(wc + "/x.tmp", "ignored\n");

  // An added folder with a conflict inside: copy d, edit the copy, then
  // reverse-merge the incoming change into it.
  runOK({"svn", "copy", "-q", "d", "d2"}, wc);
  writeFile(wc + "/d2/e/f.txt", "Q\ny\nz\n");
  runOK({"svn", "merge", "-q", "--non-interactive", "--accept", "postpone", "-c", "-3", repo.repoURL + "/d/e/f.txt",
         "d2/e/f.txt"},
        wc);
  writeFile(wc + "/d/new.txt", "new\n");
  return {repo.repoURL, wc};
}

}  // namespace statusfixture
