#include "platform/url/url.h"

#include <glib.h>

namespace url {
namespace {

std::optional<std::string> text(const char* part) {
  if (part == nullptr) return std::nullopt;
  return std::string(part);
}

}  // namespace

std::optional<URL> URL::parse(const std::string& text_) {
  GUri* uri = g_uri_parse(text_.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return std::nullopt;
  URL result;
  result.scheme = text(g_uri_get_scheme(uri));
  result.user = text(g_uri_get_user(uri));
  result.host = text(g_uri_get_host(uri));
  result.port = g_uri_get_port(uri);
  result.path = text(g_uri_get_path(uri)).value_or("");
  result.query = text(g_uri_get_query(uri));
  result.fragment = text(g_uri_get_fragment(uri));
  g_uri_unref(uri);
  return result;
}

}  // namespace url
