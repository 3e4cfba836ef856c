// Which step of a support session's capture may run. Every capture callback
// names the session it belongs to; the guards here make callbacks of an older
// session (or a second pick in the same one) do nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "media/capture.h"

namespace kx {

class CaptureLifecycle {
 public:
  // Raw texts are reported to the service and in the status file.
  enum class Phase { idle, choosing, starting, streaming, paused };

  Phase phase() const { return phase_; }
  const std::optional<std::string>& session() const { return session_; }
  // "idle", "choosing", "starting", "streaming" or "paused".
  std::string_view phaseText() const;

  // A request was approved: the person now picks a display for `session`.
  void approved(const std::string& session);
  // choosing → starting, only for the current session.
  bool selected(const std::string& session);
  // starting → streaming, only for the current session.
  bool started(const std::string& session);
  // Any phase with a session → paused. A paused session never streams again.
  void failed();
  void end();

  // Remote input and incoming signals are only applied while streaming.
  bool mayControl() const { return phase_ == Phase::streaming; }

 private:
  Phase phase_ = Phase::idle;
  std::optional<std::string> session_;
};

// Capture width, whatever the display's resolution.
inline constexpr int kCaptureWidth = 1440;

// The stream configuration for a display with these bounds (points): 1440
// wide, height following the aspect ratio, truncated, rounded down to even,
// at least 2. nullopt for bounds without a positive, finite width and height.
std::optional<CaptureConfiguration> captureConfigurationFor(const Rect& displayBounds);

}  // namespace kx
