#include "call.h"

#include <svn_auth.h>
#include <svn_cache_config.h>
#include <svn_config.h>
#include <svn_pools.h>

#include <algorithm>
#include <mutex>

#include "platform/svn/svn.h"

namespace svnclient::detail {

namespace {

// Passwords are remembered in the keyring, never as plain text in a file.
svn_error_t* refusePlaintext(svn_boolean_t* mayStore, const char*, void*, apr_pool_t*) {
  *mayStore = FALSE;
  return SVN_NO_ERROR;
}

svn_error_t* askPassword(svn_auth_cred_simple_t** credentials, void* baton, const char* realm, const char* username,
                         svn_boolean_t maySave, apr_pool_t* pool) {
  const auto* session = static_cast<const Session*>(baton);
  auto answer = session->askPassword(realm ? realm : "", username ? username : "", maySave);
  if (!answer) return svn_error_create(SVN_ERR_CANCELLED, nullptr, "Authentication was cancelled");
  auto* result = static_cast<svn_auth_cred_simple_t*>(apr_pcalloc(pool, sizeof(svn_auth_cred_simple_t)));
  result->username = apr_pstrdup(pool, answer->username.c_str());
  result->password = apr_pstrdup(pool, answer->password.c_str());
  result->may_save = maySave && answer->remember;
  *credentials = result;
  return SVN_NO_ERROR;
}

svn_error_t* askUsername(svn_auth_cred_username_t** credentials, void* baton, const char* realm,
                         svn_boolean_t maySave, apr_pool_t* pool) {
  const auto* session = static_cast<const Session*>(baton);
  auto answer = session->askPassword(realm ? realm : "", "", maySave);
  if (!answer) return svn_error_create(SVN_ERR_CANCELLED, nullptr, "Authentication was cancelled");
  auto* result = static_cast<svn_auth_cred_username_t*>(apr_pcalloc(pool, sizeof(svn_auth_cred_username_t)));
  result->username = apr_pstrdup(pool, answer->username.c_str());
  result->may_save = maySave && answer->remember;
  *credentials = result;
  return SVN_NO_ERROR;
}

svn_error_t* askCertificate(svn_auth_cred_ssl_server_trust_t** credentials, void* baton, const char* realm,
                            apr_uint32_t failures, const svn_auth_ssl_server_cert_info_t* info,
                            svn_boolean_t maySave, apr_pool_t* pool) {
  const auto* session = static_cast<const Session*>(baton);
  Certificate certificate{realm ? realm : "", info->hostname ? info->hostname : "",
                          info->fingerprint ? info->fingerprint : "", info->valid_from ? info->valid_from : "",
                          info->valid_until ? info->valid_until : "", info->issuer_dname ? info->issuer_dname : "",
                          {}};
  if (failures & SVN_AUTH_SSL_UNKNOWNCA) certificate.problems.push_back("it is issued by an unknown authority");
  if (failures & SVN_AUTH_SSL_CNMISMATCH) certificate.problems.push_back("its name does not match the server");
  if (failures & SVN_AUTH_SSL_NOTYETVALID) certificate.problems.push_back("it is not yet valid");
  if (failures & SVN_AUTH_SSL_EXPIRED) certificate.problems.push_back("it has expired");
  if (failures & SVN_AUTH_SSL_OTHER) certificate.problems.push_back("it has another problem");
  const CertificateAnswer answer = session->askCertificate(certificate, maySave);
  if (answer == CertificateAnswer::Reject) {
    *credentials = nullptr;
    return SVN_NO_ERROR;
  }
  auto* result =
      static_cast<svn_auth_cred_ssl_server_trust_t*>(apr_pcalloc(pool, sizeof(svn_auth_cred_ssl_server_trust_t)));
  result->may_save = maySave && answer == CertificateAnswer::AcceptPermanently;
  result->accepted_failures = failures;
  *credentials = result;
  return SVN_NO_ERROR;
}

void append(apr_array_header_t* providers, svn_auth_provider_object_t* provider) {
  if (provider != nullptr) APR_ARRAY_PUSH(providers, svn_auth_provider_object_t*) = provider;
}

svn_error_t* makeAuthBaton(const Session& session, const char* configDir, apr_pool_t* pool,
                           svn_auth_baton_t** baton) {
  apr_array_header_t* providers = apr_array_make(pool, 8, sizeof(svn_auth_provider_object_t*));
  svn_auth_provider_object_t* provider = nullptr;
  // The Secret Service first, so "remember" stores there.
  SVN_ERR(svn_auth_get_platform_specific_provider(&provider, "gnome_keyring", "simple", pool));
  append(providers, provider);
  provider = nullptr;
  SVN_ERR(svn_auth_get_platform_specific_provider(&provider, "gnome_keyring", "ssl_client_cert_pw", pool));
  append(providers, provider);
  svn_auth_get_simple_provider2(&provider, refusePlaintext, nullptr, pool);
  append(providers, provider);
  svn_auth_get_username_provider(&provider, pool);
  append(providers, provider);
  svn_auth_get_ssl_server_trust_file_provider(&provider, pool);
  append(providers, provider);
  svn_auth_get_ssl_client_cert_file_provider(&provider, pool);
  append(providers, provider);
  if (session.askPassword) {
    svn_auth_get_simple_prompt_provider(&provider, askPassword, const_cast<Session*>(&session), 2, pool);
    append(providers, provider);
    svn_auth_get_username_prompt_provider(&provider, askUsername, const_cast<Session*>(&session), 2, pool);
    append(providers, provider);
  }
  if (session.askCertificate) {
    svn_auth_get_ssl_server_trust_prompt_provider(&provider, askCertificate, const_cast<Session*>(&session), pool);
    append(providers, provider);
  }
  svn_auth_open(baton, providers, pool);
  if (configDir != nullptr) svn_auth_set_parameter(*baton, SVN_AUTH_PARAM_CONFIG_DIR, configDir);
  if (!session.askPassword && !session.askCertificate)
    svn_auth_set_parameter(*baton, SVN_AUTH_PARAM_NON_INTERACTIVE, "");
  return SVN_NO_ERROR;
}

}  // namespace

Call::Call(const Session& session) : p_session(session) {
  KRVEnsureSVNCoreInitialization();
  static std::once_flag once;
  std::call_once(once, [] {
    // Without this, the first file:// repository makes FSFS allocate a
    // cache of several megabytes that stays for the life of the process;
    // the commands here read a repository once and gain nothing from it.
    svn_cache_config_t settings = *svn_cache_config_get();
    settings.cache_size = 0;
    svn_cache_config_set(&settings);
  });
  p_pool = svn_pool_create(nullptr);
  const char* configDir = session.configDir.empty() ? nullptr : apr_pstrdup(p_pool, session.configDir.c_str());
  // svn's own programs make the configuration folder and its auth area
  // first; without them, "remember" (a password's realm, a certificate)
  // fails the whole command. A folder that cannot be made only means
  // nothing can be remembered, as with svn.
  svn_error_clear(svn_config_ensure(configDir, p_pool));
  apr_hash_t* config = nullptr;
  p_setUpError = svn_config_get_config(&config, configDir, p_pool);
  if (p_setUpError == nullptr) p_setUpError = svn_client_create_context2(&p_context, config, p_pool);
  if (p_setUpError == nullptr) p_setUpError = makeAuthBaton(session, configDir, p_pool, &p_context->auth_baton);
  if (p_setUpError != nullptr) return;
  p_context->notify_func2 = p_notify;
  p_context->notify_baton2 = this;
  p_context->cancel_func = p_cancel;
  p_context->cancel_baton = this;
}

Call::~Call() {
  svn_error_clear(p_setUpError);
  svn_pool_destroy(p_pool);
}

apr_array_header_t* Call::paths(const std::vector<std::string>& paths) const {
  apr_array_header_t* array = apr_array_make(p_pool, static_cast<int>(paths.size()), sizeof(const char*));
  for (const auto& path : paths) APR_ARRAY_PUSH(array, const char*) = apr_pstrdup(p_pool, path.c_str());
  return array;
}

void Call::p_notify(void* baton, const svn_wc_notify_t* notify, apr_pool_t*) {
  auto* call = static_cast<Call*>(baton);
  const Progress progress{letterFor(*notify), notify->path ? notify->path : (notify->url ? notify->url : "")};
  if (call->observe) call->observe(*notify, progress);
  if (!progress.letter.empty() && call->p_session.progress) call->p_session.progress(progress);
}

svn_error_t* Call::p_cancel(void* baton) {
  auto* call = static_cast<Call*>(baton);
  if (call->p_session.cancelled && call->p_session.cancelled()) {
    call->p_wasCancelled = true;
    return svn_error_create(SVN_ERR_CANCELLED, nullptr, "Cancelled");
  }
  return SVN_NO_ERROR;
}

std::string letterFor(const svn_wc_notify_t& notify) {
  const auto stateLetter = [&]() -> std::string {
    for (auto state : {notify.content_state, notify.prop_state})
      if (state == svn_wc_notify_state_conflicted) return "C";
    for (auto state : {notify.content_state, notify.prop_state})
      if (state == svn_wc_notify_state_merged) return "G";
    for (auto state : {notify.content_state, notify.prop_state})
      if (state == svn_wc_notify_state_changed) return "U";
    return "";
  };
  switch (notify.action) {
    case svn_wc_notify_update_add: {
      const std::string letter = stateLetter();
      return letter == "C" ? "C" : "A";
    }
    case svn_wc_notify_update_delete:
      return "D";
    case svn_wc_notify_update_replace:
      return "R";
    case svn_wc_notify_update_update:
      return stateLetter();
    case svn_wc_notify_exists: {
      const std::string letter = stateLetter();
      return letter.empty() || letter == "U" ? "E" : letter;
    }
    case svn_wc_notify_tree_conflict:
      return "C";
    case svn_wc_notify_add:
      return "A";
    case svn_wc_notify_revert:
      return "Reverted";
    case svn_wc_notify_restore:
      return "Restored";
    case svn_wc_notify_skip:
    case svn_wc_notify_update_skip_obstruction:
    case svn_wc_notify_update_skip_working_only:
    case svn_wc_notify_update_skip_access_denied:
      return "Skipped";
    case svn_wc_notify_commit_modified:
      return "Sending";
    case svn_wc_notify_commit_added:
      return "Adding";
    case svn_wc_notify_commit_deleted:
      return "Deleting";
    case svn_wc_notify_commit_replaced:
      return "Replacing";
    default:
      return "";
  }
}

std::string describe(const std::string& words, svn_error_t* error) {
  std::string text = words;
  // svn's messages from the outermost to the cause, each once: "Unable to
  // connect" alone would not say that the password was wrong.
  std::vector<std::string> said;
  for (svn_error_t* link = error ? svn_error_purge_tracing(error) : nullptr; link; link = link->child) {
    char buffer[1024];
    const std::string message = svn_err_best_message(link, buffer, sizeof buffer);
    if (message.empty() || std::find(said.begin(), said.end(), message) != said.end()) continue;
    said.push_back(message);
    text += (text.ends_with('.') ? " " : ": ") + message;
  }
  if (error != nullptr && svn_error_find_cause(error, SVN_ERR_WC_LOCKED) != nullptr)
    text += (text.ends_with('.') ? " " : ". ") +
            std::string("Another Subversion program is working on it; if none is, run \"svn cleanup\" there.");
  svn_error_clear(error);
  return text;
}

Outcome failure(const Call& call, const std::string& words, svn_error_t* error) {
  Outcome outcome;
  outcome.ok = false;
  // A command stopped by its cancel callback is not a failure to explain.
  outcome.cancelled = call.wasCancelled() && svn_error_find_cause(error, SVN_ERR_CANCELLED) != nullptr;
  if (outcome.cancelled) {
    svn_error_clear(error);
    outcome.error = words + ": cancelled";
  } else {
    outcome.error = describe(words, error);
  }
  return outcome;
}

}  // namespace svnclient::detail
