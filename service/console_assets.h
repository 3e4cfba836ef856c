// The technician's browser console: static files read once at start and served
// under /console/ on the portal origin.
//
// /console/ is the page itself, never cached, with the version of the files
// written into its asset links. /console/<version>/<file> are the scripts and
// styles, cached for a year: a new set of files has a new version, so a page
// never mixes two sets. Every answer carries a Content-Security-Policy that
// allows only this origin's own scripts, styles and requests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"
#include "service/http_message.h"

namespace kx::service {

inline constexpr const char* kConsoleSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "media-src 'self' blob:; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

class ConsoleAssets {
 public:
  // Reads index.html and every .js, .css and .svg file directly in `folder`.
  // The page must name its assets as "/console/%VERSION%/<file>".
  static Expected<ConsoleAssets> load(const std::string& folder);

  // From already-read files (name → content); tests use it.
  static Expected<ConsoleAssets> fromFiles(std::map<std::string, std::string> files);

  // The answer for a path under /console, or nothing for every other path.
  std::optional<Response> serve(const Request& request) const;

  const std::string& version() const { return version_; }

 private:
  std::map<std::string, std::string> files_;  // without index.html
  std::string page_;                          // index.html with the version filled in
  std::string version_;                       // 16 hex digits of the files' SHA-256
};

// The folder the files are installed in: "console" beside the running binary,
// or ../share/kx-service/console from it in an installed copy.
std::string consoleAssetsFolder();

}  // namespace kx::service
