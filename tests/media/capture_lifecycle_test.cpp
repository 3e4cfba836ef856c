#include "media/capture_lifecycle.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(CaptureLifecycle, OnlyTheApprovedSessionMovesThroughThePhasesInOrder) {
  CaptureLifecycle lifecycle;
  lifecycle.failed();  // no session: nothing to pause
  EXPECT_EQ(lifecycle.phaseText(), "idle");
  EXPECT_FALSE(lifecycle.selected("A"));
  lifecycle.approved("A");
  EXPECT_EQ(lifecycle.phaseText(), "choosing");
  EXPECT_FALSE(lifecycle.selected("B"));
  EXPECT_FALSE(lifecycle.started("A"));  // not starting yet
  EXPECT_TRUE(lifecycle.selected("A"));
  EXPECT_FALSE(lifecycle.selected("A"));  // a second pick
  EXPECT_FALSE(lifecycle.started("B"));   // a stale capture of another session
  EXPECT_FALSE(lifecycle.mayControl());
  EXPECT_TRUE(lifecycle.started("A"));
  EXPECT_EQ(lifecycle.phaseText(), "streaming");
  EXPECT_TRUE(lifecycle.mayControl());
  lifecycle.end();
  EXPECT_EQ(lifecycle.phaseText(), "idle");
  EXPECT_FALSE(lifecycle.session());
  lifecycle.approved("C");
  lifecycle.failed();
  EXPECT_EQ(lifecycle.phaseText(), "paused");
  EXPECT_FALSE(lifecycle.selected("C"));  // a paused session never streams again
  EXPECT_FALSE(lifecycle.started("C"));
}

TEST(CaptureConfiguration, EvenHeightOfTheAspectRatioAtTheCaptureWidth) {
  const std::pair<Rect, int> heights[] = {{{0, 0, 2560, 1440}, 810}, {{0, 0, 1512, 982}, 934},
                                          {{0, 0, 1440, 900}, 900},   {{0, 0, 100000, 10}, 2}};
  for (const auto& [display, height] : heights) {
    const auto configuration = captureConfigurationFor(display);
    EXPECT_EQ(configuration->width, 1440);
    EXPECT_EQ(configuration->height, height) << display.width;
  }
  EXPECT_FALSE(captureConfigurationFor({0, 0, 0, 900}));
  EXPECT_FALSE(captureConfigurationFor({0, 0, 1440, -1}));
}

}  // namespace
}  // namespace kx
