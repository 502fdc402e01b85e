// A registry test's world: private data and config folders, the shared
// container's "FinderSync" folder, real folders to register, and helpers to
// write manifests and read back what the registry stored.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"
#include "platform/log/log.h"
#include "platform/plist/plist.h"
#include "tests/support/support.h"

// Records the calls of rootURLsDidChange and whether each came on the main queue.
struct RootChanges {
  std::shared_ptr<std::vector<foundation::URLSet>> calls = std::make_shared<std::vector<foundation::URLSet>>();
  std::shared_ptr<int> offMain = std::make_shared<int>(0);
  KRVFinderSyncWorkingCopies::RootURLsDidChange callback() const;
};

class RegistryTest : public ::testing::Test {
 protected:
  // `base` is where the test's folders go: a fresh temporary folder, or the
  // one a parent process handed to a child.
  void SetUp() override;

  std::string base() const;
  std::string groupDir() const;  // .../group-containers/<group>/FinderSync
  std::string defaultsFile() const;
  std::string recoveryFile() const { return groupDir() + "/RecoveryRequest.plist"; }
  std::string folder(const std::string& name) const;  // made on first use
  static foundation::FileURL url(const std::string& path) { return foundation::FileURL::fileURLWithPath(path); }

  static plist::Data appBookmark(const std::string& path);
  static plist::Data ownBookmark(const std::string& path);
  static plist::Value entry(const std::string& id, std::optional<plist::Data> bookmark);
  void writeManifest(std::optional<std::int64_t> generation, const plist::Array& entries) const;
  void writeManifestValue(const plist::Value& root) const;
  void storeOwnBookmarks(const plist::Dictionary& bookmarks) const;
  plist::Dictionary storedOwnBookmarks() const;
  std::optional<plist::Dictionary> recoveryRequest() const;
  // Inode of the defaults file: an atomic rewrite gives a new one.
  ino_t defaultsInode() const;

  std::shared_ptr<KRVFinderSyncWorkingCopies> makeRegistry(const RootChanges& changes);
  // Runs the main queue until everything queued on it so far has run.
  static void drainMainQueue();
  bool logged(const std::string& message) const;
  std::string logText() const;

  std::unique_ptr<testsupport::TempDir> dir_;
  std::unique_ptr<oslog::CaptureSink> log_;
};

// The URL set of the given paths.
foundation::URLSet urls(std::initializer_list<std::string> paths);
