#include "media/bitrate_controller.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

// Feeds one report a second for `seconds`, from `start`.
VideoTarget run(BitrateController& c, LinkReport report, int seconds, double& clock) {
  VideoTarget t = c.target();
  for (int i = 0; i < seconds; ++i) t = c.update(report, clock += 1);
  return t;
}

TEST(BitrateController, ProbesUpSlowlyOnACleanLinkToTheCeiling) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  EXPECT_EQ(c.target(), (VideoTarget{1'000'000, 25}));
  const VideoTarget afterFive = run(c, {0, 0.02}, 5, clock);
  EXPECT_GT(afterFive.bitrate, 1'300'000);
  EXPECT_LT(afterFive.bitrate, 1'600'000) << "probing faster than about 8 % a second";
  EXPECT_EQ(run(c, {0, 0.02}, 60, clock), (VideoTarget{3'000'000, 30}));
}

TEST(BitrateController, BacksOffFastOnAQueueOrHeavyLossAndHoldsOnNoiseLoss) {
  struct Case {
    LinkReport report;
    const char* what;
    bool falls;  // within two reports
    bool rises;
  } cases[] = {
      {{0.00, 0.150}, "round trip 130 ms above the base: a standing queue", true, false},
      {{0.30, 0.020}, "30 % loss", true, false},
      {{0.03, 0.020}, "3 % random loss, no queue: the link's noise", false, true},
      {{0.05, 0.045}, "5 % loss with a small queue: hold", false, false},
  };
  for (const Case& k : cases) {
    BitrateController c(3'000'000, 30);
    double clock = 0;
    const int before = run(c, {0, 0.02}, 3, clock).bitrate;  // base round trip 20 ms
    const int after = run(c, k.report, 2, clock).bitrate;
    EXPECT_EQ(after < before * 0.8, k.falls) << k.what;
    EXPECT_EQ(after > before, k.rises) << k.what;
  }
}

TEST(BitrateController, UnderPressureTheFrameRateFallsButNeverBelowTheFloor) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  run(c, {0, 0.02}, 1, clock);
  const VideoTarget floor = run(c, {0, 0.5}, 30, clock);
  EXPECT_EQ(floor, (VideoTarget{BitrateController::kMinBitrate, BitrateController::kMinFramesPerSecond}));
  // 600 kbit/s: half the frames, not a smaller picture.
  BitrateController mid(600'000, 30);
  EXPECT_EQ(mid.target().framesPerSecond, 15);
}

}  // namespace
}  // namespace kx
