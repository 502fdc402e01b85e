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
      kQuietPeriod, [weakPrincipal](const foundation::FileURL& rootURL, const foundation::URLSet& changedURLs) {
        if (auto strongPrincipal = weakPrincipal.lock()) {
          strongPrincipal->p_workingCopyDidChangeAtRootURL(rootURL, changedURLs);
        }
      });
  principal->i_folderMonitor = monitor;

  // Holds the monitor, not the principal: the monitor keeps following the
  // roots for as long as the registry keeps this callback.
  workingCopies->setRootURLsDidChange([monitor](const foundation::URLSet& rootURLs) {
    if (auto current = findersync::defaultController()) current->setDirectoryURLs(rootURLs);
    monitor->setMonitoredRootURLs(listOf(rootURLs));
  });

  workingCopies->reloadManifest();
  controller->setDirectoryURLs(workingCopies->resolvedRootURLs());
  monitor->setMonitoredRootURLs(listOf(workingCopies->resolvedRootURLs()));
  return principal;
}

KRVFinderSync::~KRVFinderSync() = default;

void KRVFinderSync::beginObservingDirectoryAtURL(const foundation::FileURL& url) {
  // "D/." names D itself once standardised: the request only warms the
  // registry's status of D's working copy before Finder asks about its items.
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->badgeIdentifierForURL(url.appendingPathComponent("."),
                                                                          [](const std::optional<std::string>&) {});
}

void KRVFinderSync::endObservingDirectoryAtURL(const foundation::FileURL& url) {
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->invalidateCachesForDirectoryURL(url);
}

void KRVFinderSync::requestBadgeIdentifierForURL(const foundation::FileURL& url) {
  KRVFinderSyncWorkingCopies::sharedWorkingCopies()->badgeIdentifierForURL(
      url, [url](const std::optional<std::string>& badge) { setBadge(findersync::defaultController(), badge, url); });
}

void KRVFinderSync::p_workingCopyDidChangeAtRootURL(const foundation::FileURL& rootURL,
                                                    const foundation::URLSet& changedURLs) {
  auto workingCopies = KRVFinderSyncWorkingCopies::sharedWorkingCopies();
  // Queued ahead of the requests below on the registry's serial queue, so
  // their answers come from a fresh scan.
  workingCopies->invalidateCachesForDirectoryURL(rootURL);

  // The root, each changed item and every folder between them: a folder's
  // badge sums up the changes beneath it.
  foundation::URLSet rebadged{rootURL};
  const std::string rootPath = rootURL.standardizedPath();
  for (const auto& changedURL : changedURLs) {
    std::optional<foundation::FileURL> item = changedURL;
    while (item) {
      std::string path = item->standardizedPath();
      if (!path.starts_with(rootPath) || path == rootPath) break;
      rebadged.insert(*item);
      item = item->deletingLastPathComponent();
    }
  }

  auto controller = findersync::defaultController();
  for (const auto& url : rebadged) {
    workingCopies->badgeIdentifierForURL(
        url, [controller, url](const std::optional<std::string>& badge) { setBadge(controller, badge, url); });
  }
}
