#include "media/capture_lifecycle.h"

#include <algorithm>
#include <cmath>

namespace kx {

std::string_view CaptureLifecycle::phaseText() const {
  switch (phase_) {
    case Phase::idle:
      return "idle";
    case Phase::choosing:
      return "choosing";
    case Phase::starting:
      return "starting";
    case Phase::streaming:
      return "streaming";
    case Phase::paused:
      return "paused";
  }
  return "idle";
}

void CaptureLifecycle::approved(const std::string& session) {
  phase_ = Phase::choosing;
  session_ = session;
}

bool CaptureLifecycle::selected(const std::string& session) {
  if (!session_ || *session_ != session || phase_ != Phase::choosing) return false;
  phase_ = Phase::starting;
  return true;
}

bool CaptureLifecycle::started(const std::string& session) {
  if (!session_ || *session_ != session || phase_ != Phase::starting) return false;
  phase_ = Phase::streaming;
  return true;
}

void CaptureLifecycle::failed() {
  if (session_) phase_ = Phase::paused;
}

void CaptureLifecycle::end() {
  phase_ = Phase::idle;
  session_.reset();
}

std::optional<CaptureConfiguration> captureConfigurationFor(const Rect& displayBounds) {
  const double width = displayBounds.width;
  const double height = displayBounds.height;
  if (!std::isfinite(width) || !std::isfinite(height) || width <= 0 || height <= 0) return std::nullopt;
  // Multiply first, as the capture size is specified; keeps 1512 × 982 at 934.
  const double scaled = std::trunc(height * kCaptureWidth / width);
  // Anything taller than this is no display; cap before converting.
  const double capped = std::min(scaled, 1'000'000.0);
  int even = static_cast<int>(capped) / 2 * 2;
  CaptureConfiguration configuration;
  configuration.width = kCaptureWidth;
  configuration.height = even < 2 ? 2 : even;
  configuration.minimumFrameIntervalDen = 30;
  configuration.queueDepth = 3;
  configuration.showsCursor = true;
  return configuration;
}

}  // namespace kx
