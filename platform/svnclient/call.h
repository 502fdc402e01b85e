// One client command's pool and libsvn_client context, made from a Session:
// configuration, credential providers and prompts, notify and cancel
// callbacks. Internal to platform/svnclient; one Call per command, used on
// the thread that made it.
#pragma once

#include <apr_pools.h>
#include <svn_client.h>

#include <functional>
#include <string>
#include <vector>

#include "svnclient.h"

namespace svnclient::detail {

class Call {
 public:
  explicit Call(const Session& session);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Null when the context is ready; otherwise the error the caller reports.
  svn_error_t* setUpError() const { return p_setUpError; }
  apr_pool_t* pool() const { return p_pool; }
  svn_client_ctx_t* context() const { return p_context; }
  const Session& session() const { return p_session; }
  // Whether the session's cancel callback stopped the command.
  bool wasCancelled() const { return p_wasCancelled; }

  // Sees every notification before it becomes a Progress (update counts
  // its items this way).
  std::function<void(const svn_wc_notify_t&, const Progress&)> observe;

  apr_array_header_t* paths(const std::vector<std::string>& paths) const;

 private:
  static void p_notify(void* baton, const svn_wc_notify_t* notify, apr_pool_t* pool);
  static svn_error_t* p_cancel(void* baton);

  const Session& p_session;
  apr_pool_t* p_pool = nullptr;
  svn_client_ctx_t* p_context = nullptr;
  svn_error_t* p_setUpError = nullptr;
  bool p_wasCancelled = false;
};

// svn's letter for a notification, empty for one not worth a line.
std::string letterFor(const svn_wc_notify_t& notify);

// An Outcome for `error` (which this clears): `words`, then svn's message.
Outcome failure(const Call& call, const std::string& words, svn_error_t* error);
// The same text, for callers that return something else.
std::string describe(const std::string& words, svn_error_t* error);

}  // namespace svnclient::detail
