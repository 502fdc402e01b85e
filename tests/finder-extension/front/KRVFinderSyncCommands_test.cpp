// The command handoff against real folders: a private XDG data tree holds the
// group container and the application's desktop entry, whose program records
// each launch (its arguments and activation variables) in launches.log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include "finder-extension/front/KRVFinderSync.h"
#include "platform/findersync/findersync.h"
#include "platform/plist/plist.h"
#include "platform/workspace/workspace.h"
#include "tests/support/support.h"

using foundation::FileURL;
using testsupport::exists;
using testsupport::TempDir;

namespace {

const std::string kURLPrefix = "korvane://finder-sync-command?id=";

struct Launch {
  std::string arguments;
  std::string activationToken;  // "-" when unset
  std::string startupID;        // "-" when unset
};

void setModificationAge(const std::string& path, std::chrono::seconds age) {
  const auto when = std::chrono::system_clock::now() - age;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = ns / 1'000'000'000;
  times[0].tv_nsec = times[1].tv_nsec = ns % 1'000'000'000;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> entryNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class CommandHandoff : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "HOME", "XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir / "system").c_str(), 1);
    setenv("HOME", (dir / "home").c_str(), 1);
    unsetenv("XDG_ACTIVATION_TOKEN");
    unsetenv("DESKTOP_STARTUP_ID");
    testsupport::makeDirs(dir / "data/applications");
    testsupport::writeLaunchRecorder(dir.path());
    // Not inside an application bundle: the application is found by identifier.
    workspace::setMainBundleURL(FileURL::fileURLWithPath(dir / "opt/lib/korvane/finder-extension"));
    findersync::setDefaultController(controller);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    workspace::setMainBundleURL(std::nullopt);
    findersync::setDefaultController(nullptr);
  }

  std::string installApplication(const std::string& folder, const std::string& firstArgument = "") {
    const std::string entry = folder + "/com.korvaneapp.v3.desktop";
    testsupport::makeDirs(folder);
    testsupport::writeFile(entry, "[Desktop Entry]\nType=Application\nName=Korvane\nExec=" + (dir / "record.sh") +
                                      " " + firstArgument + "%u\n");
    return entry;
  }
  void select(const std::vector<std::string>& paths, std::optional<std::string> targeted = std::nullopt) {
    std::vector<FileURL> urls;
    for (const auto& path : paths) urls.push_back(FileURL::fileURLWithPath(path));
    controller->setSelection(urls, targeted ? std::optional(FileURL::fileURLWithPath(*targeted)) : std::nullopt);
  }

  // The launches recorded, once at least count have arrived (or after 10 s).
  std::vector<Launch> launches(std::size_t count) {
    const std::string log = dir / "launches.log";
    auto read = [&] {
      std::vector<Launch> result;
      if (!exists(log)) return result;
      std::istringstream in(testsupport::readFile(log));
      for (std::string line; std::getline(in, line);) {
        Launch launch;
        std::istringstream fields(line);
        std::getline(fields, launch.arguments, '|');
        std::getline(fields, launch.activationToken, '|');
        std::getline(fields, launch.startupID, '|');
        result.push_back(launch);
      }
      return result;
    };
    testsupport::waitFor([&] { return read().size() >= count; }, std::chrono::seconds(10));
    return read();
  }
  static std::string identifierOf(const Launch& launch) {
    if (launch.arguments.rfind(kURLPrefix, 0) != 0) return "";
    return launch.arguments.substr(kURLPrefix.size());
  }

  TempDir dir;
  std::shared_ptr<KRVFinderSync> principal = std::make_shared<KRVFinderSync>();
  std::shared_ptr<findersync::FakeController> controller = std::make_shared<findersync::FakeController>();
  const std::string groupContainers = dir / "data/group-containers";
  const std::string commands = dir / "data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync/Commands";

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST_F(CommandHandoff, UpdateOnTwoFilesWritesOneCompleteCommandFileThenOpensItsURL) {
  installApplication(dir / "data/applications");
  select({dir / "wc/a.txt", dir / "wc/sub/../b.txt", dir / "wc/a.txt", "/outside/any/copy"});
  const auto before = std::chrono::system_clock::now();
  ASSERT_TRUE(principal->performMenuAction("updateItems"));
  const auto after = std::chrono::system_clock::now();

  const auto names = entryNames(commands);
  ASSERT_EQ(names.size(), 1u);
  const std::string identifier = names[0].substr(0, names[0].size() - std::string(".plist").size());
  EXPECT_EQ(names[0], identifier + ".plist");
  EXPECT_EQ(identifier.size(), 36u);
  EXPECT_EQ(identifier.find_first_of("abcdef"), std::string::npos) << identifier;

  auto document = plist::readFile(commands + "/" + names[0]);
  ASSERT_TRUE(document);
  const auto* dict = document->asDictionary();
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->size(), 3u);
  EXPECT_EQ(*plist::lookup(dict, "action"), plist::Value("update"));
  EXPECT_EQ(*plist::lookup(dict, "paths"),
            plist::Value(plist::Array{dir / "wc/a.txt", dir / "wc/b.txt", dir / "wc/a.txt", "/outside/any/copy"}));
  const auto* date = plist::lookup(dict, "date")->asDate();
  ASSERT_TRUE(date);
  // The XML form keeps whole seconds.
  EXPECT_GE(*date, before - std::chrono::seconds(1));
  EXPECT_LE(*date, after + std::chrono::seconds(1));

  // Python's reader sees exactly the three keys with their types.
  const auto python = testsupport::run(
      {"python3", "-c",
       "import plistlib, sys, datetime\n"
       "d = plistlib.load(open(sys.argv[1], 'rb'))\n"
       "assert isinstance(d['date'], datetime.datetime)\n"
       "print(sorted(d), d['action'], len(d['paths']))\n",
       commands + "/" + names[0]});
  EXPECT_EQ(python.status, 0) << python.err;
  EXPECT_EQ(python.out, "['action', 'date', 'paths'] update 4\n");

  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0].arguments, kURLPrefix + identifier);
  EXPECT_EQ(launched[0].activationToken, "-");
  EXPECT_EQ(launched[0].startupID, "-");
}

TEST_F(CommandHandoff, EachActionSendsItsStringAndOnlyRevealActivates) {
  installApplication(dir / "data/applications");
  select({dir / "wc/file"});
  const std::vector<std::pair<std::string, std::string>> actions = {
      {"showInKorvane", "reveal"}, {"updateItems", "update"}, {"commitItems", "commit"},
      {"addItems", "add"},         {"ignoreItems", "ignore"}, {"revertItems", "revert"}};
  for (std::size_t i = 0; i < actions.size(); ++i) {
    const auto& [member, action] = actions[i];
    ASSERT_TRUE(principal->performMenuAction(member));
    auto launched = launches(i + 1);
    ASSERT_EQ(launched.size(), i + 1) << member;
    const std::string identifier = identifierOf(launched[i]);
    auto document = plist::readFile(commands + "/" + identifier + ".plist");
    ASSERT_TRUE(document) << member;
    EXPECT_EQ(*plist::lookup(document->asDictionary(), "action"), plist::Value(action));
    const bool activated = launched[i].activationToken != "-";
    EXPECT_EQ(activated, action == "reveal") << member;
    EXPECT_EQ(launched[i].activationToken, launched[i].startupID) << member;
  }
  EXPECT_EQ(entryNames(commands).size(), actions.size());
}

TEST_F(CommandHandoff, TheTargetedFolderIsSentWhenNothingIsSelected) {
  installApplication(dir / "data/applications");
  select({}, dir / "wc/folder/");
  principal->commitItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  auto document = plist::readFile(commands + "/" + identifierOf(launched[0]) + ".plist");
  ASSERT_TRUE(document);
  EXPECT_EQ(*plist::lookup(document->asDictionary(), "paths"), plist::Value(plist::Array{dir / "wc/folder"}));
}

// Each refusal below is followed by a command that goes through, so the one
// launch seen afterwards proves the refused command launched nothing.
TEST_F(CommandHandoff, NoSelectionAndNoApplicationLeaveTheContainerUntouched) {
  select({}, std::nullopt);
  installApplication(dir / "data/applications");
  principal->updateItems();
  EXPECT_FALSE(exists(groupContainers));

  std::filesystem::remove(dir / "data/applications/com.korvaneapp.v3.desktop");
  select({dir / "wc/a"});
  principal->updateItems();
  EXPECT_FALSE(exists(groupContainers));
  EXPECT_FALSE(principal->p_containingAppURL());

  installApplication(dir / "data/applications");
  principal->addItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(entryNames(commands), std::vector<std::string>{identifierOf(launched[0]) + ".plist"});
}

TEST_F(CommandHandoff, WithoutAContainerNothingIsWrittenOrOpened) {
  installApplication(dir / "system/applications");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "relative/home", 1);
  select({dir / "wc/a"});
  principal->revertItems();
  EXPECT_FALSE(exists(groupContainers));

  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  principal->revertItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(entryNames(commands), std::vector<std::string>{identifierOf(launched[0]) + ".plist"});
}

TEST_F(CommandHandoff, AFailedWriteOpensNothing) {
  installApplication(dir / "data/applications");
  testsupport::makeDirs(std::filesystem::path(commands).parent_path());
  testsupport::writeFile(commands, "a file where the command folder belongs");
  select({dir / "wc/a"});
  principal->showInKorvane();

  std::filesystem::remove(commands);
  principal->ignoreItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0].activationToken, "-");  // the ignore command, not the reveal
  EXPECT_EQ(entryNames(commands), std::vector<std::string>{identifierOf(launched[0]) + ".plist"});
}

TEST_F(CommandHandoff, TwoCommandsInARowMakeTwoFilesAndTwoOpeningsInOrder) {
  installApplication(dir / "data/applications");
  select({dir / "wc/a"});
  principal->addItems();
  select({dir / "wc/b"});
  principal->commitItems();
  auto launched = launches(2);
  ASSERT_EQ(launched.size(), 2u);
  EXPECT_NE(identifierOf(launched[0]), identifierOf(launched[1]));
  EXPECT_EQ(*plist::lookup(plist::readFile(commands + "/" + identifierOf(launched[0]) + ".plist")->asDictionary(),
                           "action"),
            plist::Value("add"));
  EXPECT_EQ(*plist::lookup(plist::readFile(commands + "/" + identifierOf(launched[1]) + ".plist")->asDictionary(),
                           "paths"),
            plist::Value(plist::Array{dir / "wc/b"}));
}

TEST_F(CommandHandoff, TheApplicationCarryingTheExtensionWinsOverTheRegisteredOne) {
  installApplication(dir / "data/applications", "registered ");
  const std::string bundle = dir / "Korvane.APP";
  installApplication(bundle + "/Contents", "bundled ");
  workspace::setMainBundleURL(FileURL::fileURLWithPath(bundle + "/Contents/PlugIns/FinderSync.appex"));
  EXPECT_EQ(principal->p_containingAppURL(), FileURL::fileURLWithPath(bundle));

  select({dir / "wc/a"});
  principal->updateItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0].arguments.rfind("bundled " + kURLPrefix, 0), 0u) << launched[0].arguments;
}

TEST_F(CommandHandoff, ABundleNotThreeLevelsBelowAnAppFallsBackToTheIdentifier) {
  const std::string registered = installApplication(dir / "data/applications");
  for (const std::string& bundle :
       {dir / "Korvane.app/Contents/PlugIns/FinderSync.appex/deeper", dir / "Korvane.app/Contents/PlugIns",
        dir / "Korvane.app.bak/Contents/PlugIns/FinderSync.appex", dir / "Korvaneapp/Contents/PlugIns/X.appex",
        std::string("/x")}) {
    workspace::setMainBundleURL(FileURL::fileURLWithPath(bundle));
    EXPECT_EQ(principal->p_containingAppURL(), FileURL::fileURLWithPath(registered)) << bundle;
  }
  workspace::setMainBundleURL(FileURL::fileURLWithPath(dir / "korvane.aPp/Contents/PlugIns/FinderSync.appex"));
  EXPECT_EQ(principal->p_containingAppURL(), FileURL::fileURLWithPath(dir / "korvane.aPp"));
}

TEST_F(CommandHandoff, SweepRemovesEveryEntryOlderThanAnHourAndNothingElse) {
  const std::string folder = dir / "Commands";
  const std::string outside = dir / "outside";
  testsupport::makeDirs(folder + "/old-folder/inner");
  testsupport::makeDirs(folder + "/young-folder");
  testsupport::makeDirs(outside + "/target-folder");
  for (const char* name : {"old.plist", ".old-hidden", "young.plist", "old-folder/inner/file", "young-folder/old"})
    testsupport::writeFile(folder + "/" + name, "x");
  testsupport::writeFile(outside + "/target", "keep me");
  testsupport::writeFile(outside + "/target-folder/file", "keep me too");
  ASSERT_EQ(symlink((outside + "/target").c_str(), (folder + "/old-link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target-folder").c_str(), (folder + "/old-folder-link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (folder + "/young-link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (folder + "/old-dangling").c_str()), 0);

  const std::chrono::seconds stale(3601), fresh(3599);
  for (const char* name : {"old.plist", ".old-hidden", "old-folder", "old-link", "old-folder-link", "old-dangling",
                           "young-folder/old"})
    setModificationAge(folder + "/" + name, stale);
  for (const char* name : {"young.plist", "young-folder", "young-link"}) setModificationAge(folder + "/" + name, fresh);
  // Targets older than the links: only each link's own date counts.
  setModificationAge(outside + "/target", stale);
  setModificationAge(outside + "/target-folder", stale);

  principal->p_deleteStaleCommandFilesInDirectory(FileURL::fileURLWithPath(folder));

  EXPECT_EQ(entryNames(folder), (std::vector<std::string>{"young-folder", "young-link", "young.plist"}));
  EXPECT_TRUE(exists(folder + "/young-folder/old"));
  EXPECT_EQ(testsupport::readFile(outside + "/target"), "keep me");
  EXPECT_EQ(testsupport::readFile(outside + "/target-folder/file"), "keep me too");
}

TEST_F(CommandHandoff, SendingSweepsTheCommandFolderFirst) {
  installApplication(dir / "data/applications");
  testsupport::makeDirs(commands);
  testsupport::writeFile(commands + "/AAAAAAAA-0000-4000-8000-000000000000.plist", "old command");
  setModificationAge(commands + "/AAAAAAAA-0000-4000-8000-000000000000.plist", std::chrono::seconds(7200));
  select({dir / "wc/a"});
  principal->addItems();
  auto launched = launches(1);
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(entryNames(commands), std::vector<std::string>{identifierOf(launched[0]) + ".plist"});

  // A folder that cannot be listed is left alone.
  principal->p_deleteStaleCommandFilesInDirectory(FileURL::fileURLWithPath(dir / "missing"));
  EXPECT_FALSE(exists(dir / "missing"));
}

// A link anywhere below the container is never followed: the command is not
// sent, the caller learns why, and nothing in the link's target changes.
TEST_F(CommandHandoff, ALinkBelowTheContainerIsNeverFollowed) {
  installApplication(dir / "data/applications");
  const std::string documents = dir / "home/Documents";
  testsupport::makeDirs(documents);
  testsupport::writeFile(documents + "/report.txt", "old work");
  setModificationAge(documents + "/report.txt", std::chrono::seconds(7200));
  const std::string finderSync = std::filesystem::path(commands).parent_path();
  select({dir / "wc/a"});
  for (const std::string& link : {finderSync, commands}) {
    testsupport::makeDirs(std::filesystem::path(link).parent_path());
    ASSERT_EQ(symlink(documents.c_str(), link.c_str()), 0);
    principal->updateItems();
    auto failure = controller->menuActionFailure();
    ASSERT_TRUE(failure) << link;
    EXPECT_NE(failure->find("not a folder"), std::string::npos) << *failure;
    EXPECT_EQ(entryNames(documents), std::vector<std::string>{"report.txt"}) << link;
    std::filesystem::remove(link);
  }
  EXPECT_TRUE(launches(0).empty());
}

TEST_F(CommandHandoff, ACommandThatCannotBeWrittenIsReportedAsAFailure) {
  installApplication(dir / "data/applications");
  testsupport::makeDirs(commands);
  // A name no XML property list can carry cannot be written.
  select({dir / "wc/bad\x01name"});
  principal->addItems();
  auto failure = controller->menuActionFailure();
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("cannot carry"), std::string::npos) << *failure;
  EXPECT_TRUE(entryNames(commands).empty());
  select({dir / "wc/a"});
  principal->addItems();
  EXPECT_FALSE(controller->menuActionFailure());
  EXPECT_EQ(launches(1).size(), 1u);
}
