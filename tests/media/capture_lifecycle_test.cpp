#include "media/capture_lifecycle.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(CaptureLifecycle, RunsThroughThePhasesOfOneSession) {
  CaptureLifecycle lifecycle;
  EXPECT_EQ(lifecycle.phaseText(), "idle");
  lifecycle.approved("A");
  EXPECT_EQ(lifecycle.phaseText(), "choosing");
  EXPECT_TRUE(lifecycle.selected("A"));
  EXPECT_EQ(lifecycle.phaseText(), "starting");
  EXPECT_FALSE(lifecycle.mayControl());
  EXPECT_TRUE(lifecycle.started("A"));
  EXPECT_EQ(lifecycle.phaseText(), "streaming");
  EXPECT_TRUE(lifecycle.mayControl());
  lifecycle.end();
  EXPECT_EQ(lifecycle.phaseText(), "idle");
  EXPECT_FALSE(lifecycle.session());
}

TEST(CaptureLifecycle, GuardsRefuseOtherSessionsAndRepeats) {
  CaptureLifecycle lifecycle;
  EXPECT_FALSE(lifecycle.selected("A"));  // no session
  lifecycle.approved("A");
  EXPECT_FALSE(lifecycle.selected("B"));
  EXPECT_FALSE(lifecycle.started("A"));  // not starting yet
  EXPECT_TRUE(lifecycle.selected("A"));
  EXPECT_FALSE(lifecycle.selected("A"));  // a second pick
  EXPECT_FALSE(lifecycle.started("B"));
  EXPECT_EQ(lifecycle.phaseText(), "starting");
}

TEST(CaptureLifecycle, PausedSessionNeverStreamsAgain) {
  CaptureLifecycle lifecycle;
  lifecycle.approved("A");
  lifecycle.failed();
  EXPECT_EQ(lifecycle.phaseText(), "paused");
  EXPECT_FALSE(lifecycle.selected("A"));
  EXPECT_FALSE(lifecycle.started("A"));
  EXPECT_EQ(lifecycle.session(), "A");
}

TEST(CaptureLifecycle, FailureWithoutSessionChangesNothing) {
  CaptureLifecycle lifecycle;
  lifecycle.failed();
  EXPECT_EQ(lifecycle.phaseText(), "idle");
}

TEST(CaptureConfiguration, HeightFollowsTheAspectRatioAndIsEven) {
  EXPECT_EQ(captureConfigurationFor({0, 0, 2560, 1440})->height, 810);
  EXPECT_EQ(captureConfigurationFor({0, 0, 1512, 982})->height, 934);
  EXPECT_EQ(captureConfigurationFor({0, 0, 1440, 900})->height, 900);
  EXPECT_EQ(captureConfigurationFor({0, 0, 1440, 900})->width, 1440);
}

TEST(CaptureConfiguration, VeryWideDisplayGetsTheMinimumHeight) {
  EXPECT_EQ(captureConfigurationFor({0, 0, 100000, 10})->height, 2);
}

TEST(CaptureConfiguration, DisplayWithoutSizeIsRefused) {
  EXPECT_FALSE(captureConfigurationFor({0, 0, 0, 900}));
  EXPECT_FALSE(captureConfigurationFor({0, 0, 1440, -1}));
}

TEST(CaptureConfiguration, FrameRateAndQueue) {
  const auto configuration = captureConfigurationFor({0, 0, 1920, 1080});
  EXPECT_EQ(configuration->minimumFrameIntervalDen, 30);
  EXPECT_EQ(configuration->queueDepth, 3);
  EXPECT_TRUE(configuration->showsCursor);
}

}  // namespace
}  // namespace kx
