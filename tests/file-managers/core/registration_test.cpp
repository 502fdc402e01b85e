// "Show Subversion Status" in the client core: which folders offer it, and
// that choosing it runs the application's registration.
#include "file-managers/core/registration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "platform/dispatch/dispatch.h"
#include "tests/support/support.h"

namespace {

using filemanagers::registerWorkingCopy;
using filemanagers::unregisteredWorkingCopyRoot;
using namespace std::chrono_literals;

TEST(CoreRegistration, OfferedInsideAWorkingCopyNoWatchedFolderHolds) {
  testsupport::TempDir dir;
  const std::string wc = dir / "outer/wc";
  testsupport::makeDirs(wc + "/.svn");
  testsupport::writeFile(wc + "/.svn/wc.db", "");
  testsupport::makeDirs(wc + "/src/deep");
  testsupport::makeDirs(dir / "plain");

  EXPECT_EQ(unregisteredWorkingCopyRoot(wc + "/src/deep", {}), wc);
  EXPECT_EQ(unregisteredWorkingCopyRoot(wc, {"/elsewhere"}), wc);
  EXPECT_EQ(unregisteredWorkingCopyRoot(dir / "plain", {}), std::nullopt);
  EXPECT_EQ(unregisteredWorkingCopyRoot(wc + "/src", {wc}), std::nullopt);
  // Registered inside a watched folder: badged already, even if the folder
  // was asked about before.
  EXPECT_EQ(unregisteredWorkingCopyRoot(wc + "/src/deep", {dir / "outer"}), std::nullopt);
}

struct FakeApplication {
  testsupport::TempDir dir;
  std::string record = dir / "args";
  std::string bin = dir / "bin";
  std::string path = bin + ":/usr/bin:/bin";
  // No desktop entry anywhere: the program comes from PATH.
  testsupport::ScopedEnv env{
      {"PATH", path.c_str()}, {"XDG_DATA_HOME", (dir / "data").c_str()}, {"XDG_DATA_DIRS", (dir / "sys").c_str()}};

  explicit FakeApplication(int status) {
    testsupport::makeDirs(bin);
    testsupport::writeFile(bin + "/korvane-app", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\nexit " +
                                                     std::to_string(status) + "\n");
    ::chmod((bin + "/korvane-app").c_str(), 0755);
  }
};

TEST(CoreRegistration, RunsTheApplicationsRegisterAndReportsItsOutcome) {
  FakeApplication app(0);
  std::optional<std::pair<bool, std::string>> outcome;
  registerWorkingCopy("/w/a wc", [&](bool ok, const std::string& message) { outcome.emplace(ok, message); });
  ASSERT_TRUE(dispatch::runMainUntil([&] { return outcome.has_value(); }, 20s));
  EXPECT_TRUE(outcome->first) << outcome->second;
  EXPECT_EQ(testsupport::readFile(app.record), "register\n/w/a wc\n");

  FakeApplication refusing(2);
  outcome.reset();
  registerWorkingCopy("/w/b", [&](bool ok, const std::string& message) { outcome.emplace(ok, message); });
  ASSERT_TRUE(dispatch::runMainUntil([&] { return outcome.has_value(); }, 20s));
  EXPECT_FALSE(outcome->first);
  EXPECT_FALSE(outcome->second.empty());
}

}  // namespace
