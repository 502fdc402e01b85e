// Add, Ignore and Commit: the commands that act on the items as named.
#include <svn_error_codes.h>
#include <svn_props.h>
#include <svn_string.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "call.h"
#include "svnclient.h"

namespace svnclient {

namespace {

// An svn:ignore pattern matching exactly name: glob characters are escaped.
std::string ignorePattern(const std::string& name) {
  std::string pattern;
  for (char c : name) {
    if (c == '[' || c == ']' || c == '*' || c == '?' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

std::string joined(const std::vector<std::string>& errors) {
  std::string text;
  for (const auto& error : errors) text += (text.empty() ? "" : "\n") + error;
  return text;
}

Outcome outcomeOf(const std::vector<std::string>& errors) {
  Outcome outcome;
  outcome.ok = errors.empty();
  outcome.error = joined(errors);
  return outcome;
}

// The folder's svn:ignore: nullopt in *value when it has none. An error
// when it cannot be read, which is never taken for "none".
svn_error_t* readIgnore(const detail::Call& call, const std::string& folder, std::optional<std::string>* value) {
  svn_opt_revision_t working{};
  working.kind = svn_opt_revision_working;
  apr_hash_t* properties = nullptr;
  svn_error_t* error = svn_client_propget5(&properties, nullptr, SVN_PROP_IGNORE, folder.c_str(), &working, &working,
                                           nullptr, svn_depth_empty, nullptr, call.context(), call.pool(),
                                           call.pool());
  *value = std::nullopt;
  if (error != nullptr && error->apr_err == SVN_ERR_PROPERTY_NOT_FOUND) {
    svn_error_clear(error);
    return SVN_NO_ERROR;
  }
  SVN_ERR(error);
  if (properties == nullptr) return SVN_NO_ERROR;
  for (apr_hash_index_t* item = apr_hash_first(call.pool(), properties); item; item = apr_hash_next(item)) {
    const auto* text = static_cast<const svn_string_t*>(apr_hash_this_val(item));
    if (text != nullptr) *value = std::string(text->data, text->len);
  }
  return SVN_NO_ERROR;
}

}  // namespace

Outcome add(const std::vector<std::string>& paths, const Session& session) {
  detail::Call call(session);
  if (call.setUpError()) return detail::failure(call, "Could not prepare Subversion", call.setUpError());
  std::vector<std::string> errors;
  for (const auto& path : paths) {
    svn_error_t* error =
        svn_client_add5(path.c_str(), svn_depth_infinity, TRUE, FALSE, FALSE, TRUE, call.context(), call.pool());
    if (error) errors.push_back(detail::failure(call, "Could not add " + path, error).error);
  }
  return outcomeOf(errors);
}

std::optional<std::string> ignoreValueAdding(const std::optional<std::string>& current,
                                             const std::vector<std::string>& names) {
  std::vector<std::string> patterns;
  std::istringstream lines(current.value_or(""));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) patterns.push_back(line);
  for (const auto& name : names) {
    // The property holds one pattern a line.
    if (name.find_first_of("\r\n") != std::string::npos) return std::nullopt;
    const std::string pattern = ignorePattern(name);
    if (std::find(patterns.begin(), patterns.end(), pattern) == patterns.end()) patterns.push_back(pattern);
  }
  std::string value;
  for (const auto& pattern : patterns) value += pattern + "\n";
  return value;
}

Outcome ignore(const std::vector<std::string>& paths, const Session& session) {
  detail::Call call(session);
  if (call.setUpError()) return detail::failure(call, "Could not prepare Subversion", call.setUpError());
  std::map<std::string, std::vector<std::string>> namesByFolder;
  std::vector<std::string> errors;
  for (const auto& path : paths) {
    const std::filesystem::path item(path);
    if (item.has_filename() && item.has_parent_path()) {
      namesByFolder[item.parent_path().string()].push_back(item.filename().string());
    } else {
      errors.push_back("Could not ignore " + path + ": it has no folder to hold the pattern");
    }
  }
  for (const auto& [folder, names] : namesByFolder) {
    std::optional<std::string> current;
    if (svn_error_t* error = readIgnore(call, folder, &current)) {
      errors.push_back(
          detail::failure(call, "Could not read the ignore list of " + folder + ", so it was left as it was", error)
              .error);
      continue;
    }
    const auto value = ignoreValueAdding(current, names);
    if (!value) {
      errors.push_back("Could not ignore a name with a line break in " + folder);
      continue;
    }
    const svn_string_t* property = svn_string_create(value->c_str(), call.pool());
    apr_array_header_t* targets = call.paths({folder});
    svn_error_t* error = svn_client_propset_local(SVN_PROP_IGNORE, property, targets, svn_depth_empty, FALSE, nullptr,
                                                  call.context(), call.pool());
    if (error) {
      std::string items;
      for (const auto& name : names) items += (items.empty() ? "" : ", ") + name;
      errors.push_back(detail::failure(call, "Could not ignore " + items + " in " + folder, error).error);
    }
  }
  return outcomeOf(errors);
}

namespace {

svn_error_t* logMessage(const char** message, const char** temporaryFile, const apr_array_header_t*, void* baton,
                        apr_pool_t* pool) {
  *message = apr_pstrdup(pool, static_cast<const std::string*>(baton)->c_str());
  *temporaryFile = nullptr;
  return SVN_NO_ERROR;
}

}  // namespace

Outcome commit(const std::vector<std::string>& paths, const std::string& message, const Session& session) {
  detail::Call call(session);
  if (call.setUpError()) return detail::failure(call, "Could not prepare Subversion", call.setUpError());
  call.context()->log_msg_func3 = logMessage;
  call.context()->log_msg_baton3 = const_cast<std::string*>(&message);
  svn_error_t* error = svn_client_commit6(call.paths(paths), svn_depth_infinity, FALSE, FALSE, TRUE, FALSE, FALSE,
                                          nullptr, nullptr, nullptr, nullptr, call.context(), call.pool());
  if (error) return detail::failure(call, "Could not commit", error);
  return {};
}

}  // namespace svnclient
