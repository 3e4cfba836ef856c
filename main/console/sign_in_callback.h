// Reading the URL the web portal redirects to at the end of a sign-in:
// "kestrelixremote://admin-sign-in?code=...&state=...".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // nothing for an item without "="
  bool operator==(const QueryItem&) const = default;
};

struct CallbackUrl {
  std::string scheme;
  std::string host;
  std::optional<std::vector<QueryItem>> queryItems;  // nothing without a "?"
};

// Splits an absolute URL into scheme, host and percent-decoded query items.
// Nothing when the text is not a well-formed URL (no scheme, characters that
// need escaping, bad percent escapes).
std::optional<CallbackUrl> splitCallbackUrl(std::string_view text);

// Whether a callback answers the sign-in of `expectedState` (host
// "admin-sign-in", the first "state" item equal to it). Any other callback is
// someone else's, or forged, and is ignored.
bool belongsToSignIn(std::string_view callbackUrl, std::string_view expectedState);

// The authorisation code of a portal callback, when the callback is one: host
// "admin-sign-in", the first "state" item equal to `expectedState`, and a
// non-empty first "code" item.
std::optional<std::string> signInCode(std::string_view callbackUrl, std::string_view expectedState);

}  // namespace kx
