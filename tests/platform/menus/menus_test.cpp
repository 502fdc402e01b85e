#include "platform/menus/menus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using menus::FixedSystemVersion;
using menus::isOperatingSystemAtLeastVersion;
using menus::OperatingSystemVersion;

namespace {

// Restores the default version and string table, and the variable, after each test.
class Menus : public ::testing::Test {
 protected:
  void TearDown() override {
    menus::setSystemVersion(nullptr);
    menus::setLocalizedStringTable({});
    unsetenv("KRV_SYSTEM_VERSION");
  }
  static void runOn(OperatingSystemVersion version) {
    menus::setSystemVersion(std::make_shared<FixedSystemVersion>(version));
  }
  static bool defaultIsAtLeast27(const char* variable) {
    variable ? setenv("KRV_SYSTEM_VERSION", variable, 1) : unsetenv("KRV_SYSTEM_VERSION");
    menus::setSystemVersion(nullptr);
    return isOperatingSystemAtLeastVersion({27, 0, 0});
  }
};

}  // namespace

TEST_F(Menus, TitlesFallBackToTheKeyAndUseAnInstalledTable) {
  const std::string commit = "Commit Changes\u2026";
  EXPECT_EQ(menus::localizedStringForKey(commit), "Commit Changes\xE2\x80\xA6");
  EXPECT_EQ(menus::localizedStringForKey(""), "");

  menus::setLocalizedStringTable({{"Update", "Aktualisieren"}, {commit, "\xC3\x84nderungen \xE2\x80\xA6"}});
  EXPECT_EQ(menus::localizedStringForKey("Update"), "Aktualisieren");
  EXPECT_EQ(menus::localizedStringForKey(commit), "\xC3\x84nderungen \xE2\x80\xA6");
  EXPECT_EQ(menus::localizedStringForKey("Add"), "Add");

  menus::setLocalizedStringTable({});
  EXPECT_EQ(menus::localizedStringForKey("Update"), "Update");
}

TEST_F(Menus, VersionTestComparesMajorThenMinorThenPatch) {
  runOn({26, 9, 9});
  EXPECT_FALSE(isOperatingSystemAtLeastVersion({27, 0, 0}));
  EXPECT_TRUE(isOperatingSystemAtLeastVersion({26, 9, 9}));
  EXPECT_FALSE(isOperatingSystemAtLeastVersion({26, 10, 0}));
  runOn({27, 0, 0});
  EXPECT_TRUE(isOperatingSystemAtLeastVersion({27, 0, 0}));
  EXPECT_FALSE(isOperatingSystemAtLeastVersion({27, 0, 1}));
  runOn({28, 0, 0});
  EXPECT_TRUE(isOperatingSystemAtLeastVersion({27, 5, 3}));
}

TEST_F(Menus, DefaultIs27UnlessTheVariableNamesAnotherVersion) {
  EXPECT_TRUE(defaultIsAtLeast27(nullptr));
  EXPECT_FALSE(defaultIsAtLeast27("26"));
  EXPECT_FALSE(defaultIsAtLeast27("26.4"));
  EXPECT_FALSE(defaultIsAtLeast27("26.99.1"));
  EXPECT_TRUE(defaultIsAtLeast27("27"));
  EXPECT_TRUE(defaultIsAtLeast27("27.0.1"));
  // Text that is not a version leaves the default in place.
  for (const char* garbage : {"26x", "26.", "", "-26", "26.1.2.3", "twenty-six", " 26"})
    EXPECT_TRUE(defaultIsAtLeast27(garbage)) << '"' << garbage << '"';
}
