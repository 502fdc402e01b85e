// The registry's instance, the manifest and the reload that turns the
// manifest into the set of accessible working-copy roots.
#include "KRVFinderSyncWorkingCopies.h"

#include <sys/stat.h>

#include <set>

#include "KRVFinderSyncLog.h"
#include "platform/container/container.h"
#include "platform/defaults/defaults.h"
#include "platform/notifications/notifications.h"
#include "platform/svn/svn.h"

namespace {

constexpr const char* kManifestUpdatedNotification = "com.korvaneapp.finderSync.manifestUpdated";
constexpr const char* kScopedBookmarksKey = "KRVFinderSyncScopedBookmarks";
constexpr const char* kManifestFileName = "Manifest.plist";

// The extension's own bookmarks as stored; anything but a dictionary is none.
plist::Dictionary storedScopedBookmarks() {
  auto stored = defaults::objectForKey(kScopedBookmarksKey);
  if (!stored || stored->asDictionary() == nullptr) return {};
  return *stored->asDictionary();
}

const plist::Data* dataValue(const plist::Value* value) { return value != nullptr ? value->asData() : nullptr; }

}  // namespace

const oslog::Logger& KRVFinderSyncLog() {
  static const oslog::Logger logger("com.korvaneapp.v3.finder", "WorkingCopies");
  return logger;
}

std::shared_ptr<KRVFinderSyncWorkingCopies> KRVFinderSyncWorkingCopies::sharedWorkingCopies() {
  // Never released: the registry lives as long as the process.
  static const auto* shared = new std::shared_ptr<KRVFinderSyncWorkingCopies>(create());
  return *shared;
}

std::shared_ptr<KRVFinderSyncWorkingCopies> KRVFinderSyncWorkingCopies::create(Clock clock) {
  std::shared_ptr<KRVFinderSyncWorkingCopies> registry(new KRVFinderSyncWorkingCopies(std::move(clock)));
  registry->p_start();
  return registry;
}

KRVFinderSyncWorkingCopies::KRVFinderSyncWorkingCopies(Clock clock)
    : i_statusQueue(dispatch::makeSerialQueue("com.korvaneapp.finderSync.status")),
      i_clock(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {
  KRVEnsureSVNCoreInitialization();
  KRVWorkingCopyStatusScanner::prepareScans();
}

void KRVFinderSyncWorkingCopies::p_start() {
  // The observation holds the registry weakly, so a registry made for a
  // test can go; the shared one lives on and keeps observing.
  std::weak_ptr<KRVFinderSyncWorkingCopies> weakSelf = weak_from_this();
  std::string error;
  i_manifestObservation = notifications::observe(
      kManifestUpdatedNotification,
      [weakSelf] {
        if (auto self = weakSelf.lock()) self->p_manifestDidUpdate();
      },
      &error);
  if (!i_manifestObservation) {
    KRVFinderSyncLog().error("Cannot observe " + std::string(kManifestUpdatedNotification) + ": " + error);
  }
}

KRVFinderSyncWorkingCopies::~KRVFinderSyncWorkingCopies() {
  // Stop the notification first: no reload may start on a half-destroyed object.
  i_manifestObservation.reset();
}

foundation::URLSet KRVFinderSyncWorkingCopies::resolvedRootURLs() const {
  std::lock_guard lock(i_stateLock);
  return i_resolvedRootURLs;
}

KRVFinderSyncWorkingCopies::RootURLsDidChange KRVFinderSyncWorkingCopies::rootURLsDidChange() const {
  std::lock_guard lock(_rootURLsDidChangeLock);
  return _rootURLsDidChange;
}

void KRVFinderSyncWorkingCopies::setRootURLsDidChange(RootURLsDidChange callback) {
  std::lock_guard lock(_rootURLsDidChangeLock);
  _rootURLsDidChange = std::move(callback);
}

KRVFinderSyncWorkingCopies::BadgesDidChange KRVFinderSyncWorkingCopies::badgesDidChange() const {
  std::lock_guard lock(_rootURLsDidChangeLock);
  return _badgesDidChange;
}

void KRVFinderSyncWorkingCopies::setBadgesDidChange(BadgesDidChange callback) {
  std::lock_guard lock(_rootURLsDidChangeLock);
  _badgesDidChange = std::move(callback);
}

KRVFinderSyncWorkingCopies::WatchEpoch KRVFinderSyncWorkingCopies::watchEpoch() const {
  std::lock_guard lock(_rootURLsDidChangeLock);
  return _watchEpoch;
}

void KRVFinderSyncWorkingCopies::setWatchEpoch(WatchEpoch source) {
  std::lock_guard lock(_rootURLsDidChangeLock);
  _watchEpoch = std::move(source);
}

std::optional<foundation::FileURL> KRVFinderSyncWorkingCopies::p_groupDirectoryURL() const {
  auto group = container::containerURLForSecurityApplicationGroupIdentifier(container::kSharedGroupIdentifier);
  if (!group) return std::nullopt;
  return group->appendingPathComponent("FinderSync");
}

std::optional<plist::Dictionary> KRVFinderSyncWorkingCopies::p_loadManifest() const {
  auto directory = p_groupDirectoryURL();
  if (!directory) {
    KRVFinderSyncLog().error("No app group container for " + container::kSharedGroupIdentifier);
    return std::nullopt;
  }
  std::string error;
  auto manifest = plist::readFile(directory->appendingPathComponent(kManifestFileName).path(), &error);
  if (manifest && manifest->asDictionary() == nullptr) error = "the property list's root is not a dictionary";
  if (!manifest || manifest->asDictionary() == nullptr) {
    KRVFinderSyncLog().notice("No working-copy manifest (" + std::string(kManifestFileName) + "): " + error);
    return std::nullopt;
  }
  return *manifest->asDictionary();
}

std::optional<std::string> KRVFinderSyncWorkingCopies::p_sharedConfigDirectoryPath() const {
  auto directory = p_groupDirectoryURL();
  if (!directory) return std::nullopt;
  auto configDirectory = directory->appendingPathComponent("SubversionConfig");
  struct stat st;
  if (stat(configDirectory.appendingPathComponent("config").path().c_str(), &st) != 0) return std::nullopt;
  return configDirectory.path();
}

KRVFinderSyncWorkingCopies::ConfigStamp KRVFinderSyncWorkingCopies::p_configStamp() const {
  ConfigStamp stamp{p_sharedConfigDirectoryPath(), {}};
  if (!stamp.directory) return stamp;
  // The two files Subversion reads from a configuration folder.
  for (const char* name : {"/config", "/servers"}) {
    struct stat st;
    if (stat((*stamp.directory + name).c_str(), &st) != 0) {
      stamp.files.insert(stamp.files.end(), {-1, -1, -1, -1});
      continue;
    }
    stamp.files.insert(stamp.files.end(), {static_cast<std::int64_t>(st.st_ino), static_cast<std::int64_t>(st.st_size),
                                           static_cast<std::int64_t>(st.st_mtim.tv_sec),
                                           static_cast<std::int64_t>(st.st_mtim.tv_nsec)});
  }
  return stamp;
}

void KRVFinderSyncWorkingCopies::p_manifestDidUpdate() { reloadManifest(); }

void KRVFinderSyncWorkingCopies::reloadManifest() {
  std::lock_guard reloading(i_reloadLock);

  auto manifest = p_loadManifest();
  const plist::Dictionary* manifestDict = manifest ? &*manifest : nullptr;
  const plist::Value* generationValue = plist::lookup(manifestDict, "generation");
  std::optional<std::int64_t> generation;
  if (generationValue != nullptr && generationValue->asInteger() != nullptr) generation = *generationValue->asInteger();
  // "entries" of another type counts as absent: nothing to read, nothing to prune.
  const plist::Value* entriesValue = plist::lookup(manifestDict, "entries");
  const plist::Array* entries = entriesValue != nullptr ? entriesValue->asArray() : nullptr;

  plist::Dictionary scoped = storedScopedBookmarks();
  bool changed = false;
  foundation::URLSet newRoots;
  std::map<std::string, std::int64_t> recovery;
  std::set<std::string> seen;

  static const plist::Array kNoEntries;
  for (const plist::Value& entryValue : entries != nullptr ? *entries : kNoEntries) {
    const plist::Dictionary* entry = entryValue.asDictionary();
    const plist::Value* idValue = plist::lookup(entry, "wcID");
    if (idValue == nullptr || idValue->asString() == nullptr) continue;
    const std::string& id = *idValue->asString();
    const plist::Data* appBookmark = dataValue(plist::lookup(entry, "bookmark"));

    seen.insert(id);
    std::optional<foundation::FileURL> root;

    if (const plist::Data* ownBookmark = dataValue(plist::lookup(&scoped, id))) {
      bool stale = false;
      auto url = p_resolveScopedBookmark(*ownBookmark, &stale);
      if (url && p_probeAccessAtURL(*url)) {
        root = url;
        if (stale) {
          if (auto fresh = p_mintOwnScopedBookmarkForURL(*url)) {
            scoped.insert_or_assign(id, std::move(*fresh));
            changed = true;
          }
        }
      }
    }

    if (!root && appBookmark != nullptr) {
      auto url = p_resolveImplicitBookmark(*appBookmark);
      if (url && p_probeAccessAtURL(*url)) {
        root = url;
        // An identifier the defaults file cannot carry keeps no own bookmark;
        // the application's bookmark serves it on each reload instead.
        std::optional<plist::Data> fresh;
        if (p_canStoreIdentifier(id, "the extension's own bookmarks")) fresh = p_mintOwnScopedBookmarkForURL(*url);
        if (fresh) {
          scoped.insert_or_assign(id, std::move(*fresh));
          changed = true;
        }
      }
    }

    if (root) {
      newRoots.insert(*root);
      continue;
    }
    if (!generation) continue;
    std::optional<std::int64_t> last;
    {
      std::lock_guard lock(i_stateLock);
      if (auto it = i_lastRequestedGenerations.find(id); it != i_lastRequestedGenerations.end()) last = it->second;
    }
    // Ask at most once per working copy and manifest generation.
    if (!last || *last < *generation) recovery.insert_or_assign(id, *generation);
  }

  if (entries != nullptr) {
    std::erase_if(scoped, [&](const auto& item) {
      if (seen.contains(item.first)) return false;
      changed = true;
      return true;
    });
  }

  if (changed) defaults::setObjectForKey(plist::Value(scoped), kScopedBookmarksKey);
  if (!recovery.empty()) p_requestRecoveryForWorkingCopies(recovery);

  bool differed;
  {
    std::lock_guard lock(i_stateLock);
    differed = newRoots != i_resolvedRootURLs;
    i_resolvedRootURLs = newRoots;
  }
  if (!differed) return;
  RootURLsDidChange callback = rootURLsDidChange();
  if (!callback) return;
  dispatch::mainQueue().async([callback = std::move(callback), roots = std::move(newRoots)] { callback(roots); });
}
