// Badge requests and the per-root status cache, all on i_statusQueue.
#include <svn_error.h>

#include <array>
#include <chrono>

#include "KRVBadgeComputation.h"
#include "KRVFinderSyncLog.h"
#include "KRVFinderSyncWorkingCopies.h"
#include "platform/svn/svn.h"

namespace {

// How long one scan of a root answers every request for it.
constexpr std::chrono::duration<double> kStatusCacheLifetime(2.0);

}  // namespace

void KRVFinderSyncWorkingCopies::badgeIdentifierForURL(const foundation::FileURL& url, BadgeReply reply) {
  std::string path = url.standardizedPath();
  i_statusQueue->async([self = shared_from_this(), path = std::move(path), reply = std::move(reply)]() mutable {
    std::optional<std::string> answer;
    if (auto root = self->p_rootPathContainingPath(path)) {
      auto now = self->i_clock();
      auto& cache = self->i_statusCache;
      auto cached = cache.find(*root);
      // Fresh while computed at most 2.0 s ago; a clock that went back
      // leaves the entry fresh, as an entry dated in the future is.
      bool fresh = cached != cache.end() && cached->second.date - now >= -kStatusCacheLifetime;
      if (!fresh) {
        auto badges = std::make_shared<const BadgeMap>(self->p_computeBadgesForWorkingCopyRoot(*root));
        cached = cache.insert_or_assign(*root, StatusCacheEntry{self->i_clock(), std::move(badges)}).first;
      }
      auto found = cached->second.badges->find(path);
      if (found != cached->second.badges->end()) answer = found->second;
    }
    dispatch::mainQueue().async([reply = std::move(reply), answer = std::move(answer)] { reply(answer); });
  });
}

void KRVFinderSyncWorkingCopies::invalidateCachesForDirectoryURL(const foundation::FileURL& url) {
  std::string path = url.standardizedPath();
  i_statusQueue->async([self = shared_from_this(), path = std::move(path)] {
    self->i_statusCache.erase(self->p_rootPathContainingPath(path).value_or(path));
  });
}

std::optional<std::string> KRVFinderSyncWorkingCopies::p_rootPathContainingPath(const std::string& path) const {
  for (const auto& root : resolvedRootURLs())
    if (KRVPathIsWithinRoot(path, root.path())) return root.path();
  return std::nullopt;
}

KRVFinderSyncWorkingCopies::BadgeMap KRVFinderSyncWorkingCopies::p_computeBadgesForWorkingCopyRoot(
    const std::string& rootPath) {
  BadgeMap map;
  auto options = KRVWorkingCopyStatusScanner::localScanOptionsWithDepth(svn_depth_infinity);
  svn_error_t* err = KRVWorkingCopyStatusScanner::scanLocalTarget(
      rootPath, p_sharedConfigDirectoryPath(), options,
      [&map](const char* path, const svn_client_status_t* status, const svn_wc_status2_t*) -> svn_error_t* {
        // Paths arrive as valid UTF-8 (the scanner's contract), so each one
        // can be used as it is; a later report of a path wins.
        if (auto badge = KRVBadgeForStatus(*status)) map.insert_or_assign(path, std::move(*badge));
        return SVN_NO_ERROR;
      });
  if (err != nullptr && KRVFinderSyncLog().errorEnabled()) {
    std::array<char, 1024> message{};
    svn_err_best_message(err, message.data(), message.size());
    KRVFinderSyncLog().error("Status scan of " + rootPath + " failed: E" + std::to_string(err->apr_err) + " " +
                             message.data());
  }
  svn_error_clear(err);
  // What was reported before a failure still counts.
  KRVPropagateBadgesToFolders(map, rootPath);
  return map;
}
