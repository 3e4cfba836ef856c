// The client's media logic: what it makes of the technician's control
// messages and the pointer state it keeps from them, the capture's life, and
// the encoder's rate under loss and queueing, and how long a retransmission
// request waits for a reordered packet.
#include <gtest/gtest.h>

#include <limits>

#include "media/bitrate_controller.h"
#include "media/capture_lifecycle.h"
#include "media/control_messages.h"
#include "media/pointer_state.h"
#include "media/reorder_window.h"
#include "runtime/basic_loop.h"
#include "support/fake_peer_engine.h"

namespace kx {
namespace {

Json parse(std::string_view text) { return parseJson(text).value(); }
// f(*o), or nothing when `o` holds nothing.
template <typename O, typename F>
auto mapped(const O& o, F f) -> std::optional<decltype(f(*o))> {
  return o ? std::optional(f(*o)) : std::nullopt;
}

TEST(ControlMessages, PingGetsPongWithTheSameNumber) {
  EXPECT_EQ(pongFor(parse(R"({"kind":"ping","token":12.75})")), parse(R"({"kind":"pong","token":12.75})"));
  for (const char* noPong : {R"({"kind":"ping","token":"7"})", R"({"kind":"pong","token":1})"}) {
    EXPECT_FALSE(pongFor(parse(noPong))) << noPong;
  }
}

TEST(ControlMessages, FieldsAreReadWithinTheirRangesAndKeysAsNamedKeysOrUtf16Text) {
  EXPECT_EQ(inputSequence(parse(R"({"seq":5})")), 5);
  EXPECT_FALSE(inputSequence(parse(R"({"seq":5.5})")));
  const std::pair<const char*, std::optional<std::pair<std::string, int>>> pointers[] = {
      {R"({"action":"down","x":0.5,"y":0.25})", std::pair{"left", 1}}, {R"({"x":0.5,"y":0.5})", std::nullopt},
      {R"({"action":"down","x":0,"y":0,"clicks":0})", std::pair{"left", 1}},
      {R"({"action":"down","x":0,"y":0,"clicks":9})", std::pair{"left", 3}},
      {R"({"action":"down","x":0,"y":0,"button":"right"})", std::pair{"right", 1}},
      {R"({"action":"down","x":"0.5","y":0.5})", std::nullopt},
  };
  for (const auto& [text, expected] : pointers) {
    EXPECT_EQ(mapped(readPointer(parse(text)), [](auto& p) { return std::pair(p.button, p.clicks); }), expected) << text;
  }
  EXPECT_EQ(readClick(parse(R"({"x":1,"y":0})")), (Point{1, 0}));
  EXPECT_FALSE(readClick(parse(R"({"x":1.01,"y":0})")) || readClick(parse(R"({"x":-0.1,"y":0})")));
  // Command + shift survive; bit 0x1 and bit 0x1000000 do not.
  const std::pair<const char*, std::optional<uint64_t>> keycodes[] = {
      {R"({"code":128})", std::nullopt}, {R"({"code":-1})", std::nullopt}, {R"({"code":127})", 0},
      {R"({"code":12,"flags":17956865})", kFlagCommand | kFlagShift}, {R"({"code":12,"flags":-131072})", 0},
  };
  for (const auto& [text, flags] : keycodes) {
    EXPECT_EQ(mapped(readKeycode(parse(text)), [](auto& k) { return k.flags; }), flags) << text;
  }
  const std::pair<Json, std::optional<std::pair<int, int>>> scrolls[] = {
      {parse(R"({"x":0,"y":4000})"), std::pair{0, 1500}}, {parse(R"({"x":-12.9,"y":-12.9})"), std::pair{-12, -12}},
      {parse(R"({"x":-9999,"y":1})"), std::pair{-1500, 1}},
      {Json{{"x", std::numeric_limits<double>::infinity()}, {"y", 1}}, std::nullopt},
  };
  for (const auto& [message, expected] : scrolls) {
    EXPECT_EQ(mapped(readScroll(message), [](auto& s) { return std::pair(int(s.horizontal), int(s.vertical)); }), expected)
        << message;
  }
  const auto escape = readKey(parse(R"({"key":"Escape"})"));
  ASSERT_EQ(escape->size(), 2u);
  EXPECT_TRUE((*escape)[0].virtualKeyCode == 53 && (*escape)[0].down && !(*escape)[1].down && (*escape)[0].text.empty());
  const auto typed = readKey(parse(R"({"key":"é😀"})"));
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->front().virtualKeyCode, 0);
  EXPECT_EQ(typed->front().text, u"é😀");  // one BMP unit and a surrogate pair
  EXPECT_FALSE(readKey(parse(R"({"key":""})")));
}

constexpr Rect kScreen{0, 0, 1440, 900};
using E = MouseEventType;

TEST(PointerState, ButtonsDragAndReleaseAtTheirPositionsAndAHeldButtonExpiresAfterThreeQuietSeconds) {
  PointerState p;
  const struct {
    const char* action;
    double x, y;
    const char* button;
    std::vector<PointerEvent> events;
  } steps[] = {
      {"hover", 0.5, 0.5, "", {{E::kMouseMoved, {720, 450}}}},
      {"move", 0.5, 0.5, "left", {}},  // nothing held
      {"down", 0.1, 0.1, "right", {{E::kRightMouseDown, {144, 90}}}},
      {"hover", 0.9, 0.9, "", {}},  // not while held
      {"move", 0.2, 0.2, "left", {{E::kRightMouseDragged, {288, 180}}}},  // the stored button
      {"down", 0.5, 0.5, "left", {{E::kRightMouseUp, {288, 180}}, {E::kLeftMouseDown, {720, 450}}}},
      {"down", 1.0001, 0.5, "left", {}},  // out of range
      {"down", std::numeric_limits<double>::quiet_NaN(), 0.5, "left", {}},
      {"up", 0.75, 0.5, "right", {{E::kLeftMouseUp, {1080, 450}}}},
  };
  for (const auto& s : steps) EXPECT_EQ(p.receive(s.action, s.x, s.y, kScreen, 1, s.button), s.events) << s.action;
  EXPECT_EQ(p.receive("hover", 1.0, 1.0, Rect{100, 50, 1000, 500}, 1, ""),
            (std::vector<PointerEvent>{{E::kMouseMoved, {1100, 550}}}));
  EXPECT_TRUE(p.receive("down", 0.5, 0.5, Rect{0, 0, 0, 900}, 1, "left").empty());
  p.receive("down", 0.5, 0.5, kScreen, 100, "left");
  p.receive("move", 0.6, 0.5, kScreen, 102.5, "left");
  EXPECT_TRUE(p.expire(105.4).empty());
  EXPECT_EQ(p.expire(105.7), (std::vector<PointerEvent>{{E::kLeftMouseUp, {864, 450}}}));
  EXPECT_TRUE(p.expire(200).empty());
  p.receive("down", 0.5, 0.5, kScreen, 300, "right");
  EXPECT_EQ(p.release(), (std::vector<PointerEvent>{{E::kRightMouseUp, {720, 450}}}));
  EXPECT_TRUE(p.release().empty());
}

TEST(CaptureLifecycle, OnlyTheApprovedSessionMovesThroughThePhasesInOrder) {
  CaptureLifecycle lifecycle;
  lifecycle.approved("A");
  EXPECT_FALSE(lifecycle.selected("B"));
  EXPECT_FALSE(lifecycle.started("A"));  // not starting yet
  EXPECT_TRUE(lifecycle.selected("A"));
  EXPECT_FALSE(lifecycle.selected("A"));  // a second pick
  EXPECT_FALSE(lifecycle.started("B"));   // a stale capture of another session
  EXPECT_FALSE(lifecycle.mayControl());
  EXPECT_TRUE(lifecycle.started("A"));
  EXPECT_TRUE(lifecycle.mayControl());
  lifecycle.end();
  EXPECT_FALSE(lifecycle.session());
  lifecycle.approved("C");
  lifecycle.failed();
  EXPECT_FALSE(lifecycle.selected("C"));  // a paused session never streams again
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
}

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

TEST(BitrateController, BacksOffOnAQueueOrHeavyLossDeeperTheLongerTheQueueAndHoldsOnNoiseLoss) {
  struct Case {
    LinkReport report;
    int reports;
    double low, high;  // the new rate over the old
    const char* what;
  } cases[] = {
      {{0.00, 0.150}, 2, 0.0, 0.9, "round trip 130 ms above the base twice: a standing queue"},
      {{0.00, 0.080}, 2, 0.65, 0.7, "a short queue: a shallow cut"},
      {{0.00, 0.600}, 2, 0.5, 0.5, "a long queue: half"},
      {{0.00, 0.150}, 1, 0.9, 1.0, "one late report: jitter, or a key frame's burst; no cut, no growth"},
      {{0.30, 0.020}, 2, 0.0, 0.9, "30 % loss"},
      {{0.03, 0.020}, 2, 1.001, 2.0, "3 % random loss, no queue: the link's noise"},
      {{0.05, 0.045}, 2, 0.9, 1.0, "5 % loss with a small queue: hold"},
      {{0.00, 0.000}, 2, 0.9, 1.0, "no round trip measured: says nothing about a queue"},
  };
  for (const Case& k : cases) {
    BitrateController c(3'000'000, 30);
    double clock = 0;
    const double before = run(c, {0, 0.02}, 3, clock).bitrate;  // base round trip 20 ms
    const double factor = run(c, k.report, k.reports, clock).bitrate / before;
    EXPECT_GE(factor, k.low) << k.what;
    EXPECT_LE(factor, k.high) << k.what;
  }
}

TEST(BitrateController, AboveTheFullFrameRateGrowsOnlyAHalfAboveWhatIsReallySentAndUnderPressureFallsToTheFloor) {
  BitrateController c(3'000'000, 30);
  double clock = 0;
  const VideoTarget quiet = run(c, {0, 0.02, 200'000}, 20, clock);
  EXPECT_LE(quiet.bitrate, 800'000) << "a quiet picture's target ran away from its output";
  EXPECT_EQ(quiet.framesPerSecond, 30);
  const int busy = run(c, {0, 0.02, 1'500'000}, 20, clock).bitrate;
  EXPECT_GT(busy, 2'000'000);
  EXPECT_LE(busy, 2'250'000);
  // Under pressure the frame rate falls, but never below the floor.
  EXPECT_EQ(run(c, {0, 0.5}, 30, clock), (VideoTarget{BitrateController::kMinBitrate, BitrateController::kMinFramesPerSecond}));
  // 400 kbit/s: half the frames, not a smaller picture.
  BitrateController mid(400'000, 30);
  EXPECT_EQ(mid.target().framesPerSecond, 15);
}

TEST(RateFollower, LossIsTheVideosRunningCountOverFiftyPacketsNotOneReportsFraction) {
  // One report covers 100 ms: its own fraction swings while the running
  // count of lost packets says what the link loses.
  const struct {
    int64_t sent, lost;  // since the first reply
    double fraction;
    bool cut;
  } cases[] = {{60, 0, 0.5, false}, {60, 12, 0.0, true}, {30, 30, 0.0, false}};
  for (const auto& c : cases) {
    VirtualLoop loop;
    FakeVideoSource source;
    RateFollower follower(loop, source, [](auto) {}, 3'000'000, 30);
    auto reply = [](int64_t sent, int64_t lost, double fraction, double rtt) {
      return std::vector<StatsEntry>{{{"type", std::string("remote-inbound-rtp")}, {"local-id", std::string("video")},
                                      {"round-trip-time", rtt}, {"fraction-lost", fraction}, {"packets-lost", lost}},
                                     {{"type", std::string("outbound-rtp")}, {"id", std::string("video")},
                                      {"packets-sent", sent}, {"bytes-sent", sent * 1000}}};
    };
    follower.onStats(reply(100, 3, 0.0, 0.050), 0.5);
    const int before = follower.applied().bitrate;
    follower.onStats(reply(100 + c.sent, 3 + c.lost, c.fraction, 0.051), 1.0);
    EXPECT_EQ(follower.applied().bitrate < before, c.cut) << c.sent << " " << c.lost << " " << c.fraction;
  }
}

TEST(KeyFrameLimiter, DelaysAndCoalescesRequestsWithinTheIntervalAndNeverDropsOne) {
  KeyFrameLimiter limiter(1.0);
  EXPECT_EQ(limiter.request(0.5), 0.5);  // the first goes at once
  limiter.made(0.5);
  EXPECT_EQ(limiter.request(0.6), 1.5);  // within the interval: at its end
  EXPECT_EQ(limiter.request(0.9), std::nullopt);  // served by the one due
  limiter.made(1.5);
  EXPECT_EQ(limiter.request(1.8), 2.5);  // after the delayed one, its own interval
  limiter.made(2.5);
  EXPECT_EQ(limiter.request(3.5), 3.5);  // at the interval's end: at once, so nothing is left due
  EXPECT_EQ(limiter.request(3.6), 3.6);
}

TEST(KeyFrameWait, AsksAgainOnlyWhileUnansweredAndOnlyAsPacketsArrive) {
  KeyFrameWait wait(1.0);
  EXPECT_FALSE(wait.repeatDue(5.0));  // nothing asked yet
  wait.requested(10.0);
  EXPECT_FALSE(wait.repeatDue(10.9));
  EXPECT_TRUE(wait.repeatDue(11.0));  // the request is presumed lost
  EXPECT_FALSE(wait.repeatDue(11.5));  // the repeat restarted the wait
  wait.requested(11.8);  // a fresh request from the decoder does too
  EXPECT_FALSE(wait.repeatDue(12.2));
  EXPECT_TRUE(wait.repeatDue(14.0));  // the first packet after an outage
  wait.keyFrame();
  EXPECT_FALSE(wait.repeatDue(20.0));
}


TEST(ReorderWindow, HoldsFirstRequestsForTheLongestRecentReordering) {
  ReorderWindow window;
  for (uint16_t s = 0; s < 3; ++s) window.arrived(s, 0.0, false);
  window.arrived(4, 1.000, false);  // 3 goes missing
  EXPECT_TRUE(window.missing(3));
  EXPECT_EQ(window.holdFor(3, 1.000), 0);  // no reordering seen: ask at once
  window.arrived(3, 1.015, false);  // it was only late
  EXPECT_FALSE(window.missing(3));

  window.arrived(6, 2.000, false);  // 5 goes missing
  EXPECT_NEAR(window.holdFor(5, 2.005), 0.010, 1e-9);  // 15 ms from when it went missing
  EXPECT_EQ(window.holdFor(5, 2.020), 0);
  EXPECT_EQ(window.holdFor(7, 2.005), 0);  // not missing: nothing to hold
  window.arrived(5, 2.300, true);  // repaired by a resend: not a reordering
  EXPECT_FALSE(window.missing(5));

  window.arrived(8, 3.000, false);
  window.arrived(7, 3.400, false);  // very late: the hold stays bounded
  window.arrived(10, 4.000, false);
  EXPECT_NEAR(window.holdFor(9, 4.000), ReorderWindow::kMaxHoldSeconds, 1e-9);
  window.arrived(12, 4.000 + ReorderWindow::kMemorySeconds + 1, false);  // long after: forgotten
  EXPECT_EQ(window.holdFor(11, 4.000 + ReorderWindow::kMemorySeconds + 1), 0);
}

TEST(ReorderWindow, FollowsSequenceNumbersAcrossTheWrapAndForgetsOldGaps) {
  ReorderWindow window;
  window.arrived(65534, 0.0, false);
  window.arrived(1, 0.0, false);
  for (uint16_t s : {65535, 0}) EXPECT_TRUE(window.missing(s)) << s;
  window.arrived(65533, 0.1, false);  // older than anything missing: ignored
  EXPECT_FALSE(window.missing(65533));
  window.arrived(2, 1.5, false);  // a second on, the gap is past waiting for
  for (uint16_t s : {65535, 0}) EXPECT_FALSE(window.missing(s)) << s;
  window.arrived(2000, 1.6, false);  // a jump tracks only its newest packets
  EXPECT_TRUE(window.missing(1999));
  EXPECT_FALSE(window.missing(3));
}

}  // namespace
}  // namespace kx
