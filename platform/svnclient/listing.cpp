// The working copy holding an item: its root, repository URL, revision and
// local changes.
#include <svn_path.h>

#include "call.h"
#include "status_walk.h"
#include "svnclient.h"

namespace svnclient {

namespace {

svn_error_t* receiveInfo(void* baton, const char*, const svn_client_info2_t* info, apr_pool_t*) {
  auto* listing = static_cast<Listing*>(baton);
  listing->url = info->URL ? info->URL : "";
  listing->revision = info->rev;
  return SVN_NO_ERROR;
}

svn_error_t* list(const detail::Call& call, const std::string& path, const BadgeRule& badge, Listing* listing) {
  const char* root = nullptr;
  SVN_ERR(svn_client_get_wc_root(&root, path.c_str(), call.context(), call.pool(), call.pool()));
  listing->root = root;
  svn_opt_revision_t unspecified{};
  unspecified.kind = svn_opt_revision_unspecified;
  SVN_ERR(svn_client_info4(root, &unspecified, &unspecified, svn_depth_empty, FALSE, TRUE, FALSE, nullptr,
                           receiveInfo, listing, call.context(), call.pool()));
  return detail::walkChanges(call, listing->root, true, badge, &listing->changes);
}

}  // namespace

std::optional<Listing> listWorkingCopy(const std::string& path, const BadgeRule& badge, const Session& session,
                                       std::string* error) {
  detail::Call call(session);
  if (call.setUpError()) {
    *error = detail::failure(call, "Could not prepare Subversion", call.setUpError()).error;
    return std::nullopt;
  }
  Listing listing;
  if (svn_error_t* failed = list(call, path, badge, &listing)) {
    *error = detail::failure(call, "Could not read the working copy holding " + path, failed).error;
    return std::nullopt;
  }
  return listing;
}

}  // namespace svnclient
