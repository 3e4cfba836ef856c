#include "console/sign_in_callback.h"

#include <algorithm>
#include <cctype>

namespace kx {
namespace {

constexpr std::string_view kCallbackHost = "admin-sign-in";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// Characters RFC 3986 allows unescaped in a URL (any component), plus "%".
bool allowedInUrl(unsigned char c) {
  if (std::isalnum(c)) return true;
  return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::optional<CallbackUrl> splitCallbackUrl(std::string_view text) {
  if (!std::all_of(text.begin(), text.end(), [](char c) { return allowedInUrl(static_cast<unsigned char>(c)); })) {
    return std::nullopt;
  }
  const size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  CallbackUrl url;
  url.scheme = std::string(text.substr(0, colon));
  if (!std::isalpha(static_cast<unsigned char>(url.scheme[0])) ||
      !std::all_of(url.scheme.begin(), url.scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
      })) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(colon + 1);
  if (const size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  std::optional<std::string_view> query;
  if (const size_t question = rest.find('?'); question != std::string_view::npos) {
    query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  if (rest.starts_with("//")) {
    const size_t pathStart = rest.find('/', 2);
    std::string_view authority =
        rest.substr(2, pathStart == std::string_view::npos ? std::string_view::npos : pathStart - 2);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
    if (const size_t port = authority.find(':'); port != std::string_view::npos) {
      const std::string_view digits = authority.substr(port + 1);
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
      }
      authority = authority.substr(0, port);
    }
    auto host = percentDecode(authority);
    if (!host) return std::nullopt;
    url.host = std::move(*host);
  }
  if (query) {
    std::vector<QueryItem> items;
    if (!query->empty()) {
      size_t start = 0;
      while (true) {
        const size_t amp = query->find('&', start);
        const std::string_view item = query->substr(start, amp == std::string_view::npos ? amp : amp - start);
        QueryItem parsed;
        const size_t equals = item.find('=');
        auto name = percentDecode(item.substr(0, equals));
        if (!name) return std::nullopt;
        parsed.name = std::move(*name);
        if (equals != std::string_view::npos) {
          auto value = percentDecode(item.substr(equals + 1));
          if (!value) return std::nullopt;
          parsed.value = std::move(*value);
        }
        items.push_back(std::move(parsed));
        if (amp == std::string_view::npos) break;
        start = amp + 1;
      }
    }
    url.queryItems = std::move(items);
  }
  return url;
}

namespace {

// The value of the first item `name` of a portal callback.
std::optional<std::string> callbackItem(std::string_view callbackUrl, std::string_view name) {
  const auto url = splitCallbackUrl(callbackUrl);
  if (!url || url->host != kCallbackHost || !url->queryItems) return std::nullopt;
  const auto& items = *url->queryItems;
  const auto item =
      std::find_if(items.begin(), items.end(), [&](const QueryItem& candidate) { return candidate.name == name; });
  if (item == items.end()) return std::nullopt;
  return item->value;
}

}  // namespace

bool belongsToSignIn(std::string_view callbackUrl, std::string_view expectedState) {
  return callbackItem(callbackUrl, "state") == expectedState;
}

std::optional<std::string> signInCode(std::string_view callbackUrl, std::string_view expectedState) {
  if (!belongsToSignIn(callbackUrl, expectedState)) return std::nullopt;
  // An empty code could never be exchanged; it counts as missing.
  auto code = callbackItem(callbackUrl, "code");
  if (!code || code->empty()) return std::nullopt;
  return code;
}

}  // namespace kx
