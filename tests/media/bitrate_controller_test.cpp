#include "media/bitrate_controller.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace kx {
namespace {

// Feeds one report a second for `seconds`, from `start`.
VideoTarget run(BitrateController& c, LinkReport report, int seconds, double& clock) {
  VideoTarget t = c.target();
  for (int i = 0; i < seconds; ++i) t = c.update(report, clock += 1);
  return t;
}

TEST(BitrateController, ClimbsFastFromALowStartUntilTheFirstCutOrLossThenProbesSlowly) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  EXPECT_EQ(c.target(), (VideoTarget{500'000, 19}));
  EXPECT_GT(run(c, {0, 0.02}, 3, clock).bitrate, 1'600'000) << "a clean link is climbed at about 50 % a second";
  EXPECT_EQ(run(c, {0, 0.02}, 10, clock), (VideoTarget{3'000'000, 30}));
  const int cut = run(c, {0, 0.15}, 2, clock).bitrate;
  EXPECT_LT(cut, 2'200'000);
  run(c, {0, 0.02}, 1, clock);  // the hold while the queue drains
  const int later = run(c, {0, 0.02}, 5, clock).bitrate;
  EXPECT_GT(later, cut * 1.3);
  EXPECT_LT(later, cut * 1.6) << "probing faster than about 8 % a second after a cut";

  BitrateController lossy(3'000'000, 30);
  EXPECT_LT(run(lossy, {0.01, 0.02}, 3, clock).bitrate, 650'000) << "loss ends the fast climb too";
}

TEST(BitrateController, BacksOffFastOnAQueueOrHeavyLossAndHoldsOnNoiseLoss) {
  struct Case {
    LinkReport report;
    int reports;
    const char* what;
    bool falls;  // by a tenth at least
    bool rises;
  } cases[] = {
      {{0.00, 0.150}, 2, "round trip 130 ms above the base twice: a standing queue", true, false},
      {{0.00, 0.150}, 1, "one late report: jitter, or a key frame's burst; no cut, no growth", false, false},
      {{0.30, 0.020}, 2, "30 % loss", true, false},
      {{0.03, 0.020}, 2, "3 % random loss, no queue: the link's noise", false, true},
      {{0.05, 0.045}, 2, "5 % loss with a small queue: hold", false, false},
      {{0.00, 0.000}, 2, "no round trip measured: says nothing about a queue", false, false},
  };
  for (const Case& k : cases) {
    BitrateController c(3'000'000, 30);
    double clock = 0;
    const int before = run(c, {0, 0.02}, 3, clock).bitrate;  // base round trip 20 ms
    const int after = run(c, k.report, k.reports, clock).bitrate;
    EXPECT_EQ(after < before * 0.9, k.falls) << k.what;
    EXPECT_EQ(after > before, k.rises) << k.what;
  }
}

TEST(BitrateController, CutsDeeperTheLongerTheQueue) {
  struct Case {
    double roundTrip;
    double low, high;  // the cut's factor
  } cases[] = {{0.08, 0.65, 0.7}, {0.6, 0.5, 0.5}};
  for (const Case& k : cases) {
    BitrateController c(3'000'000, 30);
    double clock = 0;
    const double before = run(c, {0, 0.02}, 3, clock).bitrate;
    const double factor = run(c, {0, k.roundTrip}, 2, clock).bitrate / before;
    EXPECT_GE(factor, k.low) << k.roundTrip;
    EXPECT_LE(factor, k.high) << k.roundTrip;
  }
}

TEST(BitrateController, AboveTheFullFrameRateGrowsOnlyAHalfAboveWhatIsReallySent) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  const VideoTarget quiet = run(c, {0, 0.02, 200'000}, 20, clock);
  EXPECT_LE(quiet.bitrate, 800'000) << "a quiet picture's target ran away from its output";
  EXPECT_EQ(quiet.framesPerSecond, 30);
  const int busy = run(c, {0, 0.02, 1'500'000}, 20, clock).bitrate;
  EXPECT_GT(busy, 2'000'000);
  EXPECT_LE(busy, 2'250'000);
}

TEST(BitrateController, UnderPressureTheFrameRateFallsButNeverBelowTheFloor) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  run(c, {0, 0.02}, 1, clock);
  const VideoTarget floor = run(c, {0, 0.5}, 30, clock);
  EXPECT_EQ(floor, (VideoTarget{BitrateController::kMinBitrate, BitrateController::kMinFramesPerSecond}));
  // 400 kbit/s: half the frames, not a smaller picture.
  BitrateController mid(400'000, 30);
  EXPECT_EQ(mid.target().framesPerSecond, 15);
}

// Key frames made for requests at `requests` (seconds, ascending), with the
// owner's timer firing exactly when the limiter says.
std::vector<double> keyFrames(const std::vector<double>& requests) {
  KeyFrameLimiter limiter(1.0);
  std::vector<double> made;
  std::optional<double> timer;
  auto fire = [&](double now) {
    limiter.made(now);
    made.push_back(now);
  };
  for (double now : requests) {
    if (timer && *timer <= now) fire(*std::exchange(timer, std::nullopt));
    const std::optional<double> at = limiter.request(now);
    if (at && *at <= now) fire(now);
    else if (at) timer = at;
  }
  if (timer) fire(*timer);
  return made;
}

TEST(KeyFrameLimiter, DelaysAndCoalescesRequestsWithinTheIntervalAndNeverDropsOne) {
  struct Case {
    std::vector<double> requests;
    std::vector<double> made;
    const char* what;
  } cases[] = {
      {{0, 2, 5}, {0, 2, 5}, "requests far apart go at once"},
      {{0, 0.1, 0.2, 0.5}, {0, 1}, "a burst: one at once, the rest served by one at the interval's end"},
      {{0, 0.3, 1.2}, {0, 1, 2}, "a request after the delayed one waits for its own interval"},
      {{0, 1}, {0, 1}, "a request at the interval's end goes at once"},
      {{0.5}, {0.5}, "the first request goes at once"},
  };
  for (const Case& k : cases) EXPECT_EQ(keyFrames(k.requests), k.made) << k.what;
}

}  // namespace
}  // namespace kx
