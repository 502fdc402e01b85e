// One item's change against BASE, as svn diff shows it.
#include <svn_io.h>
#include <svn_props.h>
#include <svn_wc.h>

#include <fstream>
#include <sstream>

#include "call.h"
#include "svnclient.h"

namespace svnclient {

namespace {

svn_error_t* diffOf(const detail::Call& call, const std::string& path, std::string* text) {
  svn_opt_revision_t base{}, working{};
  base.kind = svn_opt_revision_base;
  working.kind = svn_opt_revision_working;
  svn_stringbuf_t* out = svn_stringbuf_create_empty(call.pool());
  svn_stringbuf_t* err = svn_stringbuf_create_empty(call.pool());
  // show_copies_as_adds: a copied or added file shows all its lines.
  SVN_ERR(svn_client_diff7(apr_array_make(call.pool(), 0, sizeof(const char*)), path.c_str(), &base, path.c_str(),
                           &working, nullptr, svn_depth_empty, FALSE, FALSE, FALSE, TRUE, FALSE, FALSE, FALSE, FALSE,
                           TRUE, "UTF-8", svn_stream_from_stringbuf(out, call.pool()),
                           svn_stream_from_stringbuf(err, call.pool()), nullptr, call.context(), call.pool()));
  *text = std::string(out->data, out->len);
  return SVN_NO_ERROR;
}

// All of a file's lines as one hunk, each marked `mark` ('+' or '-'), or
// svn's words for a binary file.
std::string wholeFile(const std::string& path, const std::string& text, bool binary, char mark,
                      const std::string& what) {
  std::string diff = "Index: " + path + " (" + what + ")\n" + std::string(67, '=') + "\n";
  if (binary) return diff + "Cannot display: file marked as a binary type.\n";
  std::istringstream lines(text);
  std::string body;
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) body += mark + line + "\n";
  const std::string hunk = mark == '+' ? "-0,0 +1," + std::to_string(count) : "-1," + std::to_string(count) + " +0,0";
  return diff + "--- " + path + "\t(" + (mark == '+' ? "nonexistent" : "BASE") + ")\n+++ " + path + "\t(" +
         (mark == '+' ? "working copy" : "nonexistent") + ")\n@@ " + hunk + " @@\n" + body;
}

// An unversioned file has no BASE: all its lines are new.
svn_error_t* unversionedDiff(const detail::Call& call, const std::string& path, std::string* text) {
  const char* mimeType = nullptr;
  SVN_ERR(svn_io_detect_mimetype2(&mimeType, path.c_str(), nullptr, call.pool()));
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  *text = wholeFile(path, content.str(), mimeType != nullptr && svn_mime_type_is_binary(mimeType), '+',
                    "unversioned");
  return SVN_NO_ERROR;
}

// A missing file is committed as a deletion, but svn diff shows nothing for
// it: all of BASE's lines go.
svn_error_t* missingDiff(const detail::Call& call, const std::string& path, std::string* text) {
  svn_opt_revision_t base{};
  base.kind = svn_opt_revision_base;
  svn_stringbuf_t* content = svn_stringbuf_create_empty(call.pool());
  apr_hash_t* properties = nullptr;
  SVN_ERR(svn_client_cat3(&properties, svn_stream_from_stringbuf(content, call.pool()), path.c_str(), &base, &base,
                          FALSE, call.context(), call.pool(), call.pool()));
  const svn_string_t* mimeType =
      properties ? static_cast<const svn_string_t*>(apr_hash_get(properties, SVN_PROP_MIME_TYPE, APR_HASH_KEY_STRING))
                 : nullptr;
  *text = wholeFile(path, std::string(content->data, content->len),
                    mimeType != nullptr && svn_mime_type_is_binary(mimeType->data), '-', "missing");
  return SVN_NO_ERROR;
}

}  // namespace

std::optional<std::string> diffAgainstBase(const std::string& path, const Session& session, std::string* error) {
  detail::Call call(session);
  if (call.setUpError()) {
    *error = detail::failure(call, "Could not prepare Subversion", call.setUpError()).error;
    return std::nullopt;
  }
  std::string text;
  svn_node_kind_t kind = svn_node_none;
  svn_error_t* failure = svn_io_check_path(path.c_str(), &kind, call.pool());
  svn_wc_status3_t* status = nullptr;
  if (!failure) failure = svn_wc_status3(&status, call.context()->wc_ctx, path.c_str(), call.pool(), call.pool());
  if (!failure) {
    if (status->node_status == svn_wc_status_unversioned) {
      if (kind == svn_node_file) failure = unversionedDiff(call, path, &text);
    } else if (status->node_status == svn_wc_status_missing) {
      if (status->kind == svn_node_file) failure = missingDiff(call, path, &text);
    } else {
      failure = diffOf(call, path, &text);
    }
  }
  if (failure) {
    *error = detail::failure(call, "Could not show the change of " + path, failure).error;
    return std::nullopt;
  }
  return text;
}

}  // namespace svnclient
