// URLs made from text, standing in for Foundation's URLWithString.
//
// Contract:
// - URL::parse() accepts an absolute URL as RFC 3986 describes it and
//   returns none for anything else (no scheme, spaces, a bad port, ...).
// - scheme, host and path are the URL's parts as text; host is percent-
//   decoded, IPv6 literals come without brackets. path is "" when the URL
//   has none. port is -1 when none is given. query and fragment are absent
//   when the URL has none.
// - A default-constructed URL stands for "no URL": every part is absent.
// - Parsing is done by GLib's GUri; pure, callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace url {

struct URL {
  std::optional<std::string> scheme;
  std::optional<std::string> user;
  std::optional<std::string> host;
  int port = -1;
  std::optional<std::string> path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  static std::optional<URL> parse(const std::string& text);
};

}  // namespace url
