#include "registry_fixture.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/bookmarks/bookmarks.h"
#include "platform/defaults/defaults.h"
#include "platform/dispatch/dispatch.h"

using namespace std::chrono_literals;

KRVFinderSyncWorkingCopies::RootURLsDidChange RootChanges::callback() const {
  return [calls = calls, offMain = offMain](const foundation::URLSet& roots) {
    if (!dispatch::mainQueue().isCurrent()) ++*offMain;
    calls->push_back(roots);
  };
}

void RegistryTest::SetUp() {
  if (std::getenv("KRV_REGISTRY_CHILD_DIR") == nullptr) dir_ = std::make_unique<testsupport::TempDir>();
  setenv("HOME", (base() + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (base() + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (base() + "/config").c_str(), 1);
  log_ = std::make_unique<oslog::CaptureSink>();
}

std::string RegistryTest::base() const {
  if (const char* child = std::getenv("KRV_REGISTRY_CHILD_DIR")) return child;
  return dir_->path();
}

std::string RegistryTest::groupDir() const {
  return base() + "/data/group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync";
}

std::string RegistryTest::defaultsFile() const { return base() + "/config/com.korvaneapp.v3.finder-extension.plist"; }

std::string RegistryTest::folder(const std::string& name) const {
  std::string path = base() + "/" + name;
  testsupport::makeDirs(path);
  return path;
}

plist::Data RegistryTest::appBookmark(const std::string& path) {
  auto data = bookmarks::bookmarkData(url(path), 0);
  EXPECT_TRUE(data) << path;
  return data.value_or(plist::Data{});
}

plist::Data RegistryTest::ownBookmark(const std::string& path) {
  auto data = bookmarks::bookmarkData(url(path), bookmarks::kCreationWithSecurityScope);
  EXPECT_TRUE(data) << path;
  return data.value_or(plist::Data{});
}

plist::Value RegistryTest::entry(const std::string& id, std::optional<plist::Data> bookmark) {
  plist::Dictionary e{{"wcID", id}};
  if (bookmark) e.emplace("bookmark", std::move(*bookmark));
  return plist::Value(std::move(e));
}

void RegistryTest::writeManifest(std::optional<std::int64_t> generation, const plist::Array& entries) const {
  plist::Dictionary root{{"entries", entries}};
  if (generation) root.emplace("generation", *generation);
  writeManifestValue(plist::Value(std::move(root)));
}

void RegistryTest::writeManifestValue(const plist::Value& root) const {
  testsupport::makeDirs(groupDir());
  ASSERT_TRUE(plist::writeFileAtomically(groupDir() + "/Manifest.plist", root));
}

void RegistryTest::storeOwnBookmarks(const plist::Dictionary& bookmarks) const {
  ASSERT_TRUE(defaults::setObjectForKey(plist::Value(bookmarks), "KRVFinderSyncScopedBookmarks"));
}

plist::Dictionary RegistryTest::storedOwnBookmarks() const {
  auto value = defaults::objectForKey("KRVFinderSyncScopedBookmarks");
  if (!value || value->asDictionary() == nullptr) return {};
  return *value->asDictionary();
}

std::optional<plist::Dictionary> RegistryTest::recoveryRequest() const {
  auto value = plist::readFile(recoveryFile());
  if (!value || value->asDictionary() == nullptr) return std::nullopt;
  return *value->asDictionary();
}

ino_t RegistryTest::defaultsInode() const {
  struct stat st;
  return stat(defaultsFile().c_str(), &st) == 0 ? st.st_ino : 0;
}

std::shared_ptr<KRVFinderSyncWorkingCopies> RegistryTest::makeRegistry(const RootChanges& changes) {
  auto registry = KRVFinderSyncWorkingCopies::create();
  registry->setRootURLsDidChange(changes.callback());
  return registry;
}

void RegistryTest::drainMainQueue() {
  bool done = false;
  dispatch::mainQueue().async([&done] { done = true; });
  ASSERT_TRUE(dispatch::runMainUntil([&] { return done; }, 10s));
}

bool RegistryTest::logged(const std::string& message) const {
  for (const auto& m : log_->messages()) {
    if (m == message) return true;
  }
  return false;
}

std::string RegistryTest::logText() const {
  std::string text;
  for (const auto& m : log_->messages()) text += m + "\n";
  return text;
}

foundation::URLSet urls(std::initializer_list<std::string> paths) {
  foundation::URLSet set;
  for (const auto& p : paths) set.insert(foundation::FileURL::fileURLWithPath(p));
  return set;
}
