#include <svn_client.h>
#include <svn_dirent_uri.h>
#include <svn_error.h>
#include <svn_pools.h>

#include "svn.h"

namespace svn {

std::optional<std::string> workingCopyRoot(const std::string& path, std::string* error) {
  KRVEnsureSVNCoreInitialization();
  apr_pool_t* pool = svn_pool_create(nullptr);
  const char* absolute = nullptr;
  const char* root = nullptr;
  svn_client_ctx_t* context = nullptr;
  svn_error_t* err = svn_dirent_get_absolute(&absolute, svn_dirent_canonicalize(path.c_str(), pool), pool);
  if (err == nullptr) err = svn_client_create_context2(&context, nullptr, pool);
  if (err == nullptr) err = svn_client_get_wc_root(&root, absolute, context, pool, pool);
  std::optional<std::string> result;
  if (err == nullptr) {
    result = root;
  } else {
    char buffer[512];
    if (error != nullptr) *error = svn_err_best_message(err, buffer, sizeof buffer);
    svn_error_clear(err);
  }
  svn_pool_destroy(pool);
  return result;
}

}  // namespace svn
