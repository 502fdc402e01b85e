// korvane-app store-password against the keyring of the test session.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"

namespace {

using testsupport::run;

std::string korvaneApp() { return testsupport::binDir() + "/korvane-app"; }

TEST(KorvaneAppStorePassword, StoresTheInternetItemAsTheApplicationDoes) {
  auto stored = run({korvaneApp(), "store-password", "svn+ssh://storehost/repos", "svnuser"}, {}, "pw with spaces\n");
  ASSERT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(stored.err.find("pw with"), std::string::npos);
  // secret-tool prints the attributes on standard error.
  auto found = run({"secret-tool", "search", "--all", "--unlock", "server", "storehost"});
  ASSERT_EQ(found.status, 0) << found.err;
  for (const auto& line : {"secret = pw with spaces\n", "attribute.protocol = svn+ssh\n", "attribute.path = /repos\n",
                           "attribute.account = svnuser\n",
                           "attribute.access-group = 7QH2MXR5TB.com.korvaneapp.shareditems\n",
                           "attribute.synchronizable = true\n", "label = storehost\n",
                           "schema = com.korvaneapp.keychain.InternetPassword\n"})
    EXPECT_NE((found.out + found.err).find(line), std::string::npos) << line << found.out << found.err;
  // Only the final line feed is dropped.
  ASSERT_EQ(run({korvaneApp(), "store-password", "svn+ssh://storehost/repos", "svnuser"}, {}, "two\n\n").status, 0);
  auto lookup = run({"secret-tool", "lookup", "server", "storehost", "account", "svnuser"});
  EXPECT_EQ(lookup.out, "two\n");
}

TEST(KorvaneAppStorePassword, RefusesBadArguments) {
  auto missing = run({korvaneApp(), "store-password", "svn+ssh://h"}, {}, "pw");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("usage"), std::string::npos);
  auto notURL = run({korvaneApp(), "store-password", "not a url", "u"}, {}, "pw");
  EXPECT_EQ(notURL.status, 2);
  auto noHost = run({korvaneApp(), "store-password", "file:///x", "u"}, {}, "pw");
  EXPECT_EQ(noHost.status, 2);
}

}  // namespace
