#include "media/bitrate_controller.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

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
// Until the first cut or loss, a link without queue is climbed fast from the
// low start: a clean link reaches the ceiling within seconds, a narrow one is
// never flooded by a start at its own capacity.
constexpr double kStartGrowthPerSecond = 0.5;
constexpr double kQueueBackOff = 0.7;
// After a back-off the queue needs time to drain before the next report
// can say whether the cut was enough: no second cut, no growth until then.
constexpr double kHoldSeconds = 1.0;
// The full frame rate needs about this much; below it frames go first.
constexpr double kFullRateBitrate = 800'000;

}  // namespace

BitrateController::BitrateController(int maxBitrate, int maxFramesPerSecond)
    : maxBitrate_(std::max(kMinBitrate, maxBitrate)),
      maxFramesPerSecond_(std::max(1, maxFramesPerSecond)),
      bitrate_(std::min(kStartBitrate, maxBitrate_)) {}

VideoTarget BitrateController::update(const LinkReport& report, double now) {
  const double elapsed = lastUpdate_ ? std::clamp(now - *lastUpdate_, 0.0, 2.0) : 1.0;
  lastUpdate_ = now;
  // A report before any sender report came back measures no round trip
  // (zero): it says nothing about a queue, and as a base it would make the
  // link's own delay look like one.
  const double rtt = report.roundTripSeconds > 0 ? report.roundTripSeconds : baseRoundTrip_.value_or(0);
  // The base drifts up slowly, so a route that got longer stops looking like a queue.
  if (report.roundTripSeconds > 0) {
    baseRoundTrip_ = baseRoundTrip_ ? std::min(*baseRoundTrip_ + 0.001 * elapsed, rtt) : rtt;
  }
  // A queue stands when two reports in a row see it: one late report is
  // jitter, or the burst of a key frame. Growth needs a calm link now.
  const double base = baseRoundTrip_.value_or(rtt);
  const double standing = std::min(rtt, lastRoundTrip_.value_or(rtt)) - base;
  const double queue = rtt - base;
  lastRoundTrip_ = rtt;
  const double loss = std::clamp(report.lossFraction, 0.0, 1.0);

  // Any loss says the link is not clean: the climb ends there as well.
  if (loss > 0) starting_ = false;
  if (now < holdUntil_) {
    // draining after a cut
  } else if (standing > kQueueSeconds) {
    bitrate_ *= kQueueBackOff;
    holdUntil_ = now + kHoldSeconds;
    starting_ = false;
  } else if (loss > kHeavyLoss) {
    bitrate_ *= 1.0 - 0.5 * loss;
    holdUntil_ = now + kHoldSeconds;
    starting_ = false;
  } else if (queue < kQueueSeconds && (loss < kCleanLoss || queue < kCalmQueueSeconds)) {
    const bool clean = loss < kCleanLoss && queue < kCalmQueueSeconds;
    bitrate_ *= std::pow(1.0 + (starting_ && clean ? kStartGrowthPerSecond : kProbeGrowthPerSecond), elapsed);
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

std::optional<double> KeyFrameLimiter::request(double now) {
  if (due_) return std::nullopt;
  if (!last_ || now - *last_ >= interval_) return now;
  due_ = true;
  return *last_ + interval_;
}

void KeyFrameLimiter::made(double now) {
  due_ = false;
  last_ = now;
}

RateFollower::RateFollower(EventLoop& loop, VideoSource& source, ReadStats readStats, int maxBitrate,
                           int maxFramesPerSecond)
    : source_(source), readStats_(std::move(readStats)), rate_(maxBitrate, maxFramesPerSecond) {
  applied_ = rate_.target();
  source_.setRate(applied_.bitrate, applied_.framesPerSecond);
  timer_ = startRepeating(loop, kPeriodSeconds, [this] {
    const double now = ++ticks_ * kPeriodSeconds;
    readStats_([this, now, alive = std::weak_ptr<bool>(alive_)](std::vector<StatsEntry> entries) {
      if (alive.lock()) onStats(entries, now);
    });
  });
}

void RateFollower::onStats(const std::vector<StatsEntry>& entries, double now) {
  for (const StatsEntry& entry : entries) {
    auto type = entry.find("type");
    auto rtt = entry.find("round-trip-time");
    auto loss = entry.find("fraction-lost");
    if (type == entry.end() || std::get_if<std::string>(&type->second) == nullptr ||
        std::get<std::string>(type->second) != "remote-inbound-rtp" || rtt == entry.end()) {
      continue;
    }
    LinkReport report;
    if (const double* value = std::get_if<double>(&rtt->second)) report.roundTripSeconds = *value;
    if (loss != entry.end()) {
      if (const double* value = std::get_if<double>(&loss->second)) report.lossFraction = *value;
    }
    // The same report read twice says nothing new.
    if (lastReport_ && lastReport_->roundTripSeconds == report.roundTripSeconds &&
        lastReport_->lossFraction == report.lossFraction) {
      return;
    }
    lastReport_ = report;
    const VideoTarget target = rate_.update(report, now);
    if (target != applied_) {
      applied_ = target;
      source_.setRate(target.bitrate, target.framesPerSecond);
    }
    return;
  }
}

}  // namespace kx
