// The web portal's pages and form handling: the technician sign-in page that
// the console opens in the browser, and the download page for new Macs.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kx::service {

// application/x-www-form-urlencoded (also a URL's query): "+" is a space,
// %XX a byte. The first occurrence of a key wins. Nothing on a malformed
// escape or more than 32 fields.
std::optional<std::map<std::string, std::string>> parseForm(std::string_view text);

std::string htmlEscape(std::string_view text);

// Where a finished sign-in goes: the installed app's callback scheme, or the
// browser console on this origin.
enum class SignInReturn { app, console };

// "" is the app, "console" the browser console; nothing for any other value.
std::optional<SignInReturn> parseSignInReturn(std::string_view text);

// The Location of the redirect that hands the one-time code back. Both parts
// need no escaping: the code is base64url and the state lower-case hex.
std::string signInCallback(SignInReturn to, std::string_view code, std::string_view state);

// The sign-in form; `message` (may be empty) explains a failed attempt.
std::string signInPage(std::string_view challenge, std::string_view state, SignInReturn to,
                       std::string_view message);

// A page that only says something (bad link, too many attempts).
std::string messagePage(std::string_view title, std::string_view message);

// `installerUrl` may be empty: the page then tells the person to ask their
// support team for the installer.
std::string downloadPage(std::string_view installerUrl);

// Headers every portal page carries: no caching, no framing, no scripts.
inline constexpr const char* kPortalSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'";

}  // namespace kx::service
