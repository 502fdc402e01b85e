#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "finder-extension/front/KRVFinderSync.h"
#include "platform/findersync/findersync.h"
#include "platform/menus/menus.h"

using foundation::FileURL;

namespace {

// One menu entry as (title, action, key equivalent, separator, has submenu).
using Entry = std::tuple<std::string, std::string, std::string, bool, bool>;

std::vector<Entry> entries(const menus::Menu& menu) {
  std::vector<Entry> result;
  for (const auto& item : menu.items())
    result.emplace_back(item.title, item.action, item.keyEquivalent, item.isSeparator, item.submenu != nullptr);
  return result;
}

const Entry kSeparator{"", "", "", true, false};
Entry command(const std::string& title, const std::string& action) { return {title, action, "", false, false}; }

class Menu : public ::testing::Test {
 protected:
  void SetUp() override { findersync::setDefaultController(controller); }
  void TearDown() override {
    findersync::setDefaultController(nullptr);
    menus::setSystemVersion(nullptr);
    menus::setLocalizedStringTable({});
  }
  static void runOn(menus::OperatingSystemVersion version) {
    menus::setSystemVersion(std::make_shared<menus::FixedSystemVersion>(version));
  }
  // The command submenu of the menu for kind, after checking the top level.
  std::vector<Entry> commandsFor(std::uint64_t kind) {
    auto menu = principal->menuForMenuKind(kind);
    if (!menu) {
      ADD_FAILURE() << "no menu for kind " << kind;
      return {};
    }
    EXPECT_EQ(menu->title(), "");
    EXPECT_EQ(entries(*menu), (std::vector<Entry>{{"Korvane", "", "", false, true}}));
    const auto& submenu = menu->items().at(0).submenu;
    EXPECT_EQ(submenu->title(), "");
    return entries(*submenu);
  }

  std::shared_ptr<KRVFinderSync> principal = std::make_shared<KRVFinderSync>();
  std::shared_ptr<findersync::FakeController> controller = std::make_shared<findersync::FakeController>();
};

}  // namespace

TEST_F(Menu, SidebarToolbarAndUnknownKindsGetNoMenu) {
  for (std::uint64_t kind : {2ull, 3ull, 4ull, 1000ull, ~0ull}) EXPECT_EQ(principal->menuForMenuKind(kind), nullptr);
}

TEST_F(Menu, Before27TheSixCommandsComeWithoutSeparators) {
  runOn({26, 9, 9});
  const std::vector<Entry> expected = {
      command("Show in Korvane", "showInKorvane"), command("Update", "updateItems"),
      command("Commit Changes\xE2\x80\xA6", "commitItems"), command("Add", "addItems"),
      command("Ignore", "ignoreItems"), command("Revert\xE2\x80\xA6", "revertItems"),
  };
  EXPECT_EQ(commandsFor(0), expected);
  EXPECT_EQ(commandsFor(1), expected);
}

TEST_F(Menu, From27SeparatorsFollowShowAndCommit) {
  const std::vector<Entry> expected = {
      command("Show in Korvane", "showInKorvane"),
      kSeparator,
      command("Update", "updateItems"),
      command("Commit Changes\xE2\x80\xA6", "commitItems"),
      kSeparator,
      command("Add", "addItems"),
      command("Ignore", "ignoreItems"),
      command("Revert\xE2\x80\xA6", "revertItems"),
  };
  for (menus::OperatingSystemVersion version : {menus::OperatingSystemVersion{27, 0, 0}, {27, 1, 0}, {30, 0, 0}}) {
    runOn(version);
    EXPECT_EQ(commandsFor(0), expected);
    EXPECT_EQ(commandsFor(1), expected);
  }
}

TEST_F(Menu, TitlesAreLookedUpOnEveryCallAndActionsStay) {
  runOn({26, 0, 0});
  menus::setLocalizedStringTable({{"Korvane", "Korvane (de)"}, {"Revert\u2026", "Zur\xC3\xBC" "cksetzen\u2026"}});
  auto menu = principal->menuForMenuKind(0);
  ASSERT_TRUE(menu);
  EXPECT_EQ(menu->items().at(0).title, "Korvane (de)");
  const auto commands = entries(*menu->items().at(0).submenu);
  EXPECT_EQ(commands.at(5), command("Zur\xC3\xBC" "cksetzen\u2026", "revertItems"));
  EXPECT_EQ(commands.at(1), command("Update", "updateItems"));

  menus::setLocalizedStringTable({});
  EXPECT_EQ(entries(*principal->menuForMenuKind(0)->items().at(0).submenu).at(5),
            command("Revert\u2026", "revertItems"));
}

TEST_F(Menu, UnknownActionNamesRunNothing) {
  for (const char* name : {"", "reveal", "update", "p_sendCommand", "menuForMenuKind", "ShowInKorvane"})
    EXPECT_FALSE(principal->performMenuAction(name)) << name;
}

TEST_F(Menu, SelectionKeepsOrderAndDuplicatesAndIsStandardised) {
  controller->setSelection({FileURL::fileURLWithPath("/wc/b.txt"), FileURL::fileURLWithPath("/wc/sub/../a.txt"),
                            FileURL::fileURLWithPath("/wc//folder/./"), FileURL::fileURLWithPath("/wc/b.txt"),
                            FileURL::fileURLWithPath("/elsewhere/x")},
                           FileURL::fileURLWithPath("/wc"));
  EXPECT_EQ(principal->p_selectedItemPaths(),
            (std::vector<std::string>{"/wc/b.txt", "/wc/a.txt", "/wc/folder", "/wc/b.txt", "/elsewhere/x"}));
}

TEST_F(Menu, TheTargetedFolderStandsInForAnEmptySelection) {
  controller->setSelection({}, FileURL::fileURLWithPath("/wc/folder/"));
  EXPECT_EQ(principal->p_selectedItemPaths(), std::vector<std::string>{"/wc/folder"});
  controller->setSelection({}, std::nullopt);
  EXPECT_TRUE(principal->p_selectedItemPaths().empty());
  findersync::setDefaultController(nullptr);
  EXPECT_TRUE(principal->p_selectedItemPaths().empty());
}
