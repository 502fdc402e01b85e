#include "platform/container/container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/support.h"

using container::containerURLForSecurityApplicationGroupIdentifier;

namespace {
// Sets XDG_DATA_HOME and HOME (nullptr: unset) for the test's lifetime.
struct Env : testsupport::ScopedEnv {
  Env(const char* xdg, const char* home) : ScopedEnv({{"XDG_DATA_HOME", xdg}, {"HOME", home}}) {}
};
}  // namespace

TEST(Container, LivesUnderXDGDataHomeAndIsPrivate) {
  testsupport::TempDir dir;
  std::optional<foundation::FileURL> url;
  {
    Env env((dir / "data").c_str(), "/nonexistent");
    url = containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  }
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared");
  struct stat st;
  ASSERT_EQ(stat(url->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Container, FallsBackToHomeAndRefusesRelativeOrMissingBases) {
  testsupport::TempDir dir;
  {
    Env env("relative/path", dir.path().c_str());
    auto url = containerURLForSecurityApplicationGroupIdentifier("g");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), dir / ".local/share/group-containers/g");
  }
  {
    Env env(nullptr, "relative");
    EXPECT_FALSE(containerURLForSecurityApplicationGroupIdentifier("g"));
  }
  {
    Env env(dir.path().c_str(), nullptr);
    EXPECT_FALSE(containerURLForSecurityApplicationGroupIdentifier("../escape"));
    EXPECT_FALSE(containerURLForSecurityApplicationGroupIdentifier(""));
  }
}
