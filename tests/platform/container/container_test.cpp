#include "platform/container/container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tests/support/support.h"

using container::containerURLForSecurityApplicationGroupIdentifier;

namespace {
struct Env {
  Env(const char* xdg, const char* home) {
    xdg ? setenv("XDG_DATA_HOME", xdg, 1) : unsetenv("XDG_DATA_HOME");
    home ? setenv("HOME", home, 1) : unsetenv("HOME");
  }
  ~Env() {
    saved_xdg ? setenv("XDG_DATA_HOME", saved_xdg->c_str(), 1) : unsetenv("XDG_DATA_HOME");
    saved_home ? setenv("HOME", saved_home->c_str(), 1) : unsetenv("HOME");
  }
  static std::optional<std::string> get(const char* k) {
    const char* v = std::getenv(k);
    return v ? std::optional<std::string>(v) : std::nullopt;
  }
  std::optional<std::string> saved_xdg = get("XDG_DATA_HOME"), saved_home = get("HOME");
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
