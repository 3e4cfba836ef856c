// Follows the link the video crosses, from what the receiver reports in its
// RTCP receiver reports (loss fraction and round-trip time): backs off within
// two reports on heavy loss or a standing queue, then holds while it drains;
// climbs fast from a low start until the first cut or loss, then probes up
// slowly, never far above what the encoder really sends. Under pressure the
// picture keeps its size; the frame rate falls with the bitrate, and the
// encoder's quality with both.
//
// A pure value: the owner feeds reports with its clock's time and applies
// the target to the encoder.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "protocol/peer_engine.h"
#include "runtime/event_loop.h"

namespace kx {

struct LinkReport {
  double lossFraction = 0;      // 0...1, of the packets sent since the last report
  double roundTripSeconds = 0;  // as the last receiver report measured it; 0 when it measured none
  double sentBitrate = 0;       // what the video really sent since the last report; 0 when unknown
};

struct VideoTarget {
  int bitrate = 0;  // bits per second
  int framesPerSecond = 0;
  bool operator==(const VideoTarget&) const = default;
};

class BitrateController {
 public:
  static constexpr int kMinBitrate = 150'000;
  static constexpr int kStartBitrate = 500'000;
  static constexpr int kMinFramesPerSecond = 10;

  BitrateController(int maxBitrate, int maxFramesPerSecond);

  // One receiver report at `now` (seconds); returns the new target.
  VideoTarget update(const LinkReport& report, double now);
  VideoTarget target() const;

 private:
  const int maxBitrate_;
  const int maxFramesPerSecond_;
  double bitrate_;
  std::optional<double> baseRoundTrip_;  // the smallest round trip seen: the link without a queue
  std::optional<double> lastUpdate_;
  std::optional<double> lastRoundTrip_;
  double holdUntil_ = 0;
  bool starting_ = true;  // no cut or loss yet
};

// Paces the encoder's key frames: each costs several frames' worth of the
// link, and a burst of losses asks for one per loss. A request within
// `interval` of the last key frame is served at the interval's end, and all
// requests until then are served by that one; none is dropped. A pure value:
// the owner passes its clock's time and keeps the timer.
class KeyFrameLimiter {
 public:
  static constexpr double kIntervalSeconds = 1.0;

  explicit KeyFrameLimiter(double interval = kIntervalSeconds) : interval_(interval) {}

  // A request at `now`. Returns when to make the key frame (`now` itself
  // when it may go at once, the caller then calls made()), or nothing when
  // one is already due and this request rides on it.
  std::optional<double> request(double now);
  // A key frame was made at `now`: the due one, or one sent at once.
  void made(double now);

 private:
  const double interval_;
  std::optional<double> last_;
  bool due_ = false;
};

// The receiver's side: a key frame request is a packet like any other and
// can be lost (or sent into a link that is down), and the picture then waits
// for the sender's periodic key frame, seconds away. While a request is
// unanswered, a packet arriving `interval` after it asks again. Arriving
// packets are the clock, so a dead link is asked nothing. A pure value.
class KeyFrameWait {
 public:
  // Longer than a key frame takes to arrive on a narrow link, so a request
  // still being answered is not repeated.
  static constexpr double kRepeatSeconds = 1.0;

  explicit KeyFrameWait(double interval = kRepeatSeconds) : interval_(interval) {}

  // A request went to the sender at `now`.
  void requested(double now) { since_ = now; }
  // A key frame arrived: nothing is awaited any more.
  void keyFrame() { since_.reset(); }
  // A packet arrived at `now`. True when the caller should ask again (the
  // repeat counts as the request from then on).
  bool repeatDue(double now) {
    if (!since_ || now - *since_ < interval_) return false;
    since_ = now;
    return true;
  }

 private:
  const double interval_;
  std::optional<double> since_;  // the last unanswered request
};

// Runs a BitrateController on a live connection: reads the latest receiver
// report every half second and applies the target to the source. Loop
// thread only; `readStats` must answer on the loop thread.
class RateFollower {
 public:
  using ReadStats = std::function<void(std::function<void(std::vector<StatsEntry>)>)>;
  static constexpr double kPeriodSeconds = 0.5;

  RateFollower(EventLoop& loop, VideoSource& source, ReadStats readStats, int maxBitrate, int maxFramesPerSecond);
  RateFollower(const RateFollower&) = delete;
  RateFollower& operator=(const RateFollower&) = delete;

  // Loss is measured over at least this many of the video's packets: one
  // receiver report covers a tenth of a second, a handful of packets on a
  // narrow link, and its own fraction swings between 0 and 20 %.
  static constexpr double kLossWindowPackets = 50;

  // Feeds one stats reply taken at `now` (seconds).
  void onStats(const std::vector<StatsEntry>& entries, double now);
  VideoTarget applied() const { return applied_; }

 private:
  // The loss since the last window closed, from the receiver's running count
  // of lost packets against the packets sent; the report's own fraction when
  // either count is missing.
  double lossOver(const StatsEntry& remote, const StatsEntry* local);

  VideoSource& source_;
  ReadStats readStats_;
  BitrateController rate_;
  std::optional<LinkReport> lastReport_;
  std::optional<std::pair<double, int64_t>> lastSent_;  // (time, bytes) of the last report read
  std::optional<std::pair<double, double>> lossBase_;  // (packets sent, packets lost) where the window began
  double lossFraction_ = 0;  // of the last window that closed
  VideoTarget applied_;
  int ticks_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  Timer timer_;
};

}  // namespace kx
