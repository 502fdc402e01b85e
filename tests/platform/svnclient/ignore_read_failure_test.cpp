// Ignore when the folder's svn:ignore cannot be read: the failure is
// reported, naming the folder, and the property keeps its patterns. A real
// repository cannot make propget fail while propset works, so this program
// defines svn_client_propget5 itself: krv_svnclient is a static library, so
// its calls bind to this definition at link time, and the definition passes
// through to libsvn_client's (found with dlsym) once the planned failures
// are used up.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <svn_client.h>
#include <svn_error_codes.h>

#include "platform/svnclient/svnclient.h"
#include "tests/support/support.h"

namespace {
int failuresLeft = 0;
int calls = 0;
}  // namespace

extern "C" svn_error_t* svn_client_propget5(apr_hash_t** props, apr_array_header_t** inheritedProps, const char* name,
                                            const char* target, const svn_opt_revision_t* pegRevision,
                                            const svn_opt_revision_t* revision, svn_revnum_t* actualRevision,
                                            svn_depth_t depth, const apr_array_header_t* changelists,
                                            svn_client_ctx_t* context, apr_pool_t* resultPool,
                                            apr_pool_t* scratchPool) {
  ++calls;
  if (failuresLeft > 0) {
    --failuresLeft;
    // What a working copy busy in another svn gives.
    return svn_error_create(SVN_ERR_SQLITE_BUSY, nullptr, "database is locked");
  }
  using Propget = decltype(&svn_client_propget5);
  static const auto real = reinterpret_cast<Propget>(dlsym(RTLD_NEXT, "svn_client_propget5"));
  return real(props, inheritedProps, name, target, pegRevision, revision, actualRevision, depth, changelists, context,
              resultPool, scratchPool);
}

TEST(IgnoreReadFailure, IsAnErrorNamingTheFolderAndLeavesThePropertyAsItWas) {
  testsupport::TempDir dir;
  const auto repo = testsupport::makeSvnRepo(dir.path(), {{"a.txt", "a\n"}});
  const std::string wc = repo.wc;
  svnclient::Session session;
  session.configDir = dir.path() + "/config";
  const auto ignored = [&] {
    return testsupport::runOK({"svn", "--config-dir", session.configDir, "propget", "svn:ignore", wc});
  };
  testsupport::runOK({"svn", "--config-dir", session.configDir, "propset", "-q", "svn:ignore", "*.o\nbuild\n", wc});
  testsupport::writeFile(wc + "/x.log", "x\n");

  failuresLeft = 1;
  const auto failed = svnclient::ignore({wc + "/x.log"}, session);
  ASSERT_EQ(calls, 1) << "svn_client_propget5 of this program was not called: the test proves nothing";
  EXPECT_FALSE(failed.ok);
  EXPECT_NE(failed.error.find("Could not read the ignore list of " + wc), std::string::npos) << failed.error;
  EXPECT_NE(failed.error.find("database is locked"), std::string::npos) << failed.error;
  EXPECT_EQ(ignored(), "*.o\nbuild\n\n");

  // Once the property reads again, the same command keeps the patterns.
  ASSERT_TRUE(svnclient::ignore({wc + "/x.log"}, session).ok);
  EXPECT_EQ(ignored(), "*.o\nbuild\nx.log\n\n");
}
