// A small strict URL parser for the absolute https addresses the app uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kx {

struct Url {
  std::string scheme;        // as written (case kept)
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::string host;          // lower-cased; IPv6 literals without brackets
  std::optional<int> port;
  std::string path;          // "" or starting with "/"
  std::optional<std::string> query;     // without "?"
  std::optional<std::string> fragment;  // without "#"
  std::string text;          // the parsed text, unchanged
};

// Parses "scheme://[user[:password]@]host[:port][/path][?query][#fragment]".
// nullopt for anything else (relative references, spaces or control
// characters, bad ports, empty hosts).
std::optional<Url> parseUrl(std::string_view text);

}  // namespace kx
