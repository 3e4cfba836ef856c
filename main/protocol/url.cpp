#include "protocol/url.h"

namespace kx {
namespace {

// Character classes of RFC 3986 section 2.
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}

// True when every character of `text` is unreserved, a sub-delimiter, one of
// `extra`, or part of a well-formed percent escape.
bool isEscapedText(std::string_view text, std::string_view extra) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) return false;
  }
  return true;
}

std::string toLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool parseScheme(std::string_view scheme) {
  if (scheme.empty() || !isAlpha(scheme[0])) return false;
  for (char c : scheme) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

std::optional<int> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (!isDigit(c)) return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

// Host and port of an authority (after any userinfo).
bool parseHostPort(std::string_view text, Url& url) {
  std::string_view host;
  std::string_view rest;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    // IPv6 literals only; no zone identifiers or future address formats.
    if (host.find(':') == std::string_view::npos) return false;
    for (char c : host) {
      if (!isHex(c) && c != ':' && c != '.') return false;
    }
  } else {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    if (!isEscapedText(host, "")) return false;
  }
  if (host.empty()) return false;
  if (!rest.empty()) {
    if (rest[0] != ':') return false;
    const auto port = parsePort(rest.substr(1));
    if (!port) return false;
    url.port = port;
  }
  url.host = toLower(host);
  return true;
}

}  // namespace

std::optional<Url> parseUrl(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return std::nullopt;
  }
  Url url;
  url.text = std::string(text);

  const size_t sep = text.find("://");
  if (sep == std::string_view::npos || !parseScheme(text.substr(0, sep))) return std::nullopt;
  url.scheme = std::string(text.substr(0, sep));
  std::string_view rest = text.substr(sep + 3);

  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    const std::string_view fragment = rest.substr(hash + 1);
    if (!isEscapedText(fragment, ":@/?")) return std::nullopt;
    url.fragment = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  const size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    const std::string_view query = rest.substr(question + 1);
    if (!isEscapedText(query, ":@/?")) return std::nullopt;
    url.query = std::string(query);
    rest = rest.substr(0, question);
  }
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    const std::string_view path = rest.substr(slash);
    if (!isEscapedText(path, ":@/")) return std::nullopt;
    url.path = std::string(path);
  }

  const size_t at = authority.find('@');
  if (at != std::string_view::npos) {
    const std::string_view userinfo = authority.substr(0, at);
    if (!isEscapedText(userinfo, ":")) return std::nullopt;
    const size_t colon = userinfo.find(':');
    url.user = std::string(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) url.password = std::string(userinfo.substr(colon + 1));
    authority = authority.substr(at + 1);
  }
  if (!parseHostPort(authority, url)) return std::nullopt;  // a second "@" fails here
  return url;
}

}  // namespace kx
