// KRVFinderSync: start-up, badge requests and re-badging after changes.
#include "finder-extension/front/KRVFinderSync.h"

#include <vector>

#include "finder-extension/monitor/KRVFinderSyncFolderMonitor.h"
#include "finder-extension/registry/KRVFinderSyncWorkingCopies.h"

namespace {

constexpr double kQuietPeriod = 2.0;

std::vector<foundation::FileURL> listOf(const foundation::URLSet& urls) { return {urls.begin(), urls.end()}; }

// Sets the registry's answer for url on the controller; no answer clears the badge.
void setBadge(const std::shared_ptr<findersync::Controller>& controller, const std::optional<std::string>& badge,
              const foundation::FileURL& url) {
  if (controller) controller->setBadgeIdentifier(badge.value_or(""), url);
}

}  // namespace

std::shared_ptr<KRVFinderSync> KRVFinderSync::init() {
  // The base initialiser fails when the process has no Finder Sync controller.
  auto controller = findersync::defaultController();
  if (!controller) return nullptr;
  auto principal = std::make_shared<KRVFinderSync>();

  p_registerBadgeImages();
  auto workingCopies = KRVFinderSyncWorkingCopies::sharedWorkingCopies();

  std::weak_ptr<KRVFinderSync> weakPrincipal = principal;
  auto monitor = KRVFinderSyncFolderMonitor::initWithQuietPeriod(
      kQuietPeriod, [weakPrincipal](const foundation::FileURL& rootURL, const foundation::URLSet& changedURLs,
                                    bool namesEverything) {
        if (auto strongPrincipal = weakPrincipal.lock()) {
          strongPrincipal->p_workingCopyDidChangeAtRootURL(rootURL, changedURLs, namesEverything);
        }
      });
  principal->i_folderMonitor = monitor;

  // Holds the monitor, not the principal: the monitor keeps following the
  // roots for as long as the registry keeps this callback.
  workingCopies->setRootURLsDidChange([monitor](const foundation::URLSet& rootURLs) {
    if (auto current = findersync::defaultController()) current->setDirectoryURLs(rootURLs);
    monitor->setMonitoredRootURLs(listOf(rootURLs));
  });

  // A root the monitor watches whole keeps its status until the monitor
  // reports a change of it.
  workingCopies->setWatchEpoch([weakMonitor = std::weak_ptr<KRVFinderSyncFolderMonitor>(monitor)](
                                   const std::string& rootPath) -> std::optional<std::uint64_t> {
    if (auto strongMonitor = weakMonitor.lock()) return strongMonitor->wholeWatchEpochForRootPath(rootPath);
    return std::nullopt;
  });

  // Every rescan of a root re-badges the items whose badge changed, whatever
  // caused it.
  workingCopies->setBadgesDidChange([weakPrincipal](const KRVFinderSyncWorkingCopies::BadgeChanges& changes) {
    if (!weakPrincipal.lock()) return;
    auto current = findersync::defaultController();
    if (!current) return;
    for (const auto& [path, badge] : changes)
      current->setBadgeIdentifier(badge, foundation::FileURL::fileURLWithPath(path));
  });

  workingCopies->reloadManifest();
  controller->setDirectoryURLs(workingCopies->resolvedRootURLs());
  monitor->setMonitoredRootURLs(listOf(workingCopies->resolvedRootURLs()));
  return principal;
}

KRVFinderSync::~KRVFinderSync() = default;

void KRVFinderSync::beginObservingDirectoryAtURL(const foundation::FileURL& url) {
  // Warms the registry's status of the folder's working copy before Finder
  // asks about its items; no badge is set here. Warm-ups nobody waits for
  // collapse in the registry.
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->refreshBadgesForDirectoryURL(url, false);
}

void KRVFinderSync::endObservingDirectoryAtURL(const foundation::FileURL& url) {
  // A root the monitor watches whole has nothing to catch up on when the
  // folder is shown again; any other is scanned afresh then.
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->invalidateUnwatchedCachesForDirectoryURL(url);
}

void KRVFinderSync::requestBadgeIdentifierForURL(const foundation::FileURL& url) {
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->badgeIdentifierForURL(
      url, [url](const std::optional<std::string>& badge) { setBadge(findersync::defaultController(), badge, url); });
}

void KRVFinderSync::p_workingCopyDidChangeAtRootURL(const foundation::FileURL& rootURL,
                                                    const foundation::URLSet& changedURLs, bool namesEverything) {
  // The registry rescans what the report covers (the folders of the named
  // files, or the whole working copy when the report names less than every
  // change), compares with the previous status and re-badges exactly the
  // items whose badge changed, beyond the files the report names.
  std::vector<std::string> changedPaths;
  changedPaths.reserve(changedURLs.size());
  for (const auto& url : changedURLs) changedPaths.push_back(url.path());
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->workingCopyDidChange(rootURL, changedPaths, namesEverything);
}
