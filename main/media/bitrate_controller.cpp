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
// A cut takes 30 % off, more the longer the queue (up to half).
constexpr double kQueueBackOff = 0.7;
constexpr double kDeepestBackOff = 0.5;
// Above the full frame rate's need, growth stops this far above the rate
// really sent: a quiet picture sends far below its target, and the next busy
// one would burst at all of it.
constexpr double kSentHeadroom = 1.5;
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
  // A report that measured no round trip (none of our sender reports had come
  // back) says nothing about a queue: only its loss counts.
  const bool measured = report.roundTripSeconds > 0;
  const double rtt = measured ? report.roundTripSeconds : baseRoundTrip_.value_or(0);
  // The base drifts up slowly, so a route that got longer stops looking like a queue.
  if (measured) baseRoundTrip_ = baseRoundTrip_ ? std::min(*baseRoundTrip_ + 0.001 * elapsed, rtt) : rtt;
  // A queue stands when two reports in a row see it: one late report is
  // jitter, or the burst of a key frame. Growth needs a calm link now.
  const double base = baseRoundTrip_.value_or(rtt);
  const double standing = std::min(rtt, lastRoundTrip_.value_or(rtt)) - base;
  const double queue = rtt - base;
  if (measured) lastRoundTrip_ = rtt;
  const double loss = std::clamp(report.lossFraction, 0.0, 1.0);

  // Any loss says the link is not clean: the climb ends there as well.
  if (loss > 0) starting_ = false;
  if (now < holdUntil_) {
    // draining after a cut
  } else if (standing > kQueueSeconds) {
    bitrate_ *= std::clamp(kQueueBackOff + kQueueSeconds - standing, kDeepestBackOff, kQueueBackOff);
    holdUntil_ = now + kHoldSeconds;
    starting_ = false;
  } else if (loss > kHeavyLoss) {
    bitrate_ *= 1.0 - 0.5 * loss;
    holdUntil_ = now + kHoldSeconds;
    starting_ = false;
  } else if (measured && queue < kQueueSeconds && (loss < kCleanLoss || queue < kCalmQueueSeconds)) {
    const bool clean = loss < kCleanLoss && queue < kCalmQueueSeconds;
    const double grown =
        bitrate_ * std::pow(1.0 + (starting_ && clean ? kStartGrowthPerSecond : kProbeGrowthPerSecond), elapsed);
    const double ceiling =
        report.sentBitrate > 0 ? std::max({bitrate_, kFullRateBitrate, kSentHeadroom * report.sentBitrate}) : grown;
    bitrate_ = std::min(grown, ceiling);
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

namespace {

std::optional<double> number(const StatsEntry& entry, const char* key) {
  auto it = entry.find(key);
  if (it == entry.end()) return std::nullopt;
  if (const double* d = std::get_if<double>(&it->second)) return *d;
  if (const int64_t* i = std::get_if<int64_t>(&it->second)) return double(*i);
  return std::nullopt;
}

std::string text(const StatsEntry& entry, const char* key) {
  auto it = entry.find(key);
  const std::string* s = it == entry.end() ? nullptr : std::get_if<std::string>(&it->second);
  return s ? *s : std::string();
}

}  // namespace

double RateFollower::lossOver(const StatsEntry& remote, const StatsEntry* local) {
  const std::optional<double> lost = number(remote, "packets-lost");
  const std::optional<double> sent = local ? number(*local, "packets-sent") : std::nullopt;
  if (!lost || !sent) return number(remote, "fraction-lost").value_or(0);
  if (!lossBase_ || *sent < lossBase_->first) lossBase_ = {*sent, *lost};
  if (*sent - lossBase_->first >= kLossWindowPackets) {
    lossFraction_ = std::clamp((*lost - lossBase_->second) / (*sent - lossBase_->first), 0.0, 1.0);
    lossBase_ = {*sent, *lost};
  }
  return lossFraction_;
}

void RateFollower::onStats(const std::vector<StatsEntry>& entries, double now) {
  // The video's report, not the retransmission stream's: of the reports
  // with a round trip, the one whose stream sent the most bytes.
  const StatsEntry* remote = nullptr;
  const StatsEntry* local = nullptr;  // the stream the chosen report is about
  for (const StatsEntry& entry : entries) {
    if (text(entry, "type") != "remote-inbound-rtp" || number(entry, "round-trip-time").value_or(0) <= 0) continue;
    const std::string localId = text(entry, "local-id");
    const StatsEntry* stream = nullptr;
    for (const StatsEntry& candidate : entries) {
      if (!localId.empty() && text(candidate, "id") == localId) stream = &candidate;
    }
    auto bytes = [&](const StatsEntry* s) { return s ? number(*s, "bytes-sent").value_or(-1) : -1; };
    if (!remote || bytes(stream) > bytes(local)) {
      remote = &entry;
      local = stream;
    }
  }
  if (!remote) return;
  LinkReport report;
  report.roundTripSeconds = *number(*remote, "round-trip-time");
  report.lossFraction = lossOver(*remote, local);
  const double sentBytes = local ? number(*local, "bytes-sent").value_or(-1) : -1;
  if (sentBytes >= 0) {
    if (lastSent_ && now > lastSent_->first && sentBytes >= double(lastSent_->second)) {
      report.sentBitrate = (sentBytes - double(lastSent_->second)) * 8 / (now - lastSent_->first);
    }
    lastSent_ = {now, int64_t(sentBytes)};
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
}

}  // namespace kx
