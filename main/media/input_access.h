// Whether this process may post input events. On X11 the permission is the
// XTest extension being usable on the display.
#pragma once

#include <string_view>

namespace kx {

struct InputAccessSnapshot {
  enum class Authorization { granted, denied, unknown };

  Authorization authorization = Authorization::unknown;
  bool accessibilityTrusted = false;
  bool eventPreflight = false;

  static constexpr InputAccessSnapshot unknownSnapshot() { return {}; }
  bool canPostEvents() const { return authorization == Authorization::granted; }
  // "granted", "denied" or "unknown".
  std::string_view authorizationText() const {
    switch (authorization) {
      case Authorization::granted: return "granted";
      case Authorization::denied: return "denied";
      case Authorization::unknown: break;
    }
    return "unknown";
  }
  bool operator==(const InputAccessSnapshot&) const = default;
};

// Reads and requests the permission. Both may block; callers run them off the
// loop thread (or accept a short block for cheap checks).
class InputAccess {
 public:
  virtual ~InputAccess() = default;
  virtual InputAccessSnapshot read() = 0;
  virtual void request() = 0;
};

}  // namespace kx
