#include "media/bitrate_controller.h"

#include <algorithm>
#include <cmath>

namespace kx {
namespace {

// Loss below this is the link's own noise (Wi-Fi, mobile) more than a full
// queue: hold, as loss-based senders do (2 % and 10 % in RFC 8836's sense).
constexpr double kCleanLoss = 0.02;
constexpr double kHeavyLoss = 0.10;
// Queueing delay above the base round trip that counts as a standing queue.
constexpr double kQueueSeconds = 0.04;
constexpr double kCalmQueueSeconds = 0.015;
// Growth per second while the link is clean: slow, so a full queue is met
// gently; the fall on a queue is fast.
constexpr double kProbeGrowthPerSecond = 0.08;
constexpr double kQueueBackOff = 0.7;
// The full frame rate needs about this much; below it frames go first.
constexpr double kFullRateBitrate = 1'200'000;

}  // namespace

BitrateController::BitrateController(int maxBitrate, int maxFramesPerSecond)
    : maxBitrate_(std::max(kMinBitrate, maxBitrate)),
      maxFramesPerSecond_(std::max(1, maxFramesPerSecond)),
      bitrate_(std::min(kStartBitrate, maxBitrate_)) {}

VideoTarget BitrateController::update(const LinkReport& report, double now) {
  const double elapsed = lastUpdate_ ? std::clamp(now - *lastUpdate_, 0.0, 2.0) : 1.0;
  lastUpdate_ = now;
  const double rtt = std::max(0.0, report.roundTripSeconds);
  // The base drifts up slowly, so a route that got longer stops looking like a queue.
  baseRoundTrip_ = baseRoundTrip_ ? std::min(*baseRoundTrip_ + 0.001 * elapsed, rtt) : rtt;
  const double queue = rtt - *baseRoundTrip_;
  const double loss = std::clamp(report.lossFraction, 0.0, 1.0);

  if (queue > kQueueSeconds) {
    bitrate_ *= kQueueBackOff;
  } else if (loss > kHeavyLoss) {
    bitrate_ *= 1.0 - 0.5 * loss;
  } else if (loss < kCleanLoss || queue < kCalmQueueSeconds) {
    bitrate_ *= std::pow(1.0 + kProbeGrowthPerSecond, elapsed);
  }
  bitrate_ = std::clamp(bitrate_, double(kMinBitrate), double(maxBitrate_));
  return target();
}

VideoTarget BitrateController::target() const {
  const double share = std::min(1.0, bitrate_ / kFullRateBitrate);
  const int fps = std::clamp(int(std::lround(maxFramesPerSecond_ * share)), std::min(kMinFramesPerSecond, maxFramesPerSecond_),
                             maxFramesPerSecond_);
  return VideoTarget{int(std::lround(bitrate_)), fps};
}

}  // namespace kx
