// The control protocol on the data channel: currency, sequence numbers, the
// permission gate, ping/pong, end, and each input kind.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

using Mouse = FakeInputInjector::Mouse;

Json pointer(int64_t seq, std::string action, double x, double y) {
  return Json{{"kind", "pointer"}, {"seq", seq}, {"action", std::move(action)}, {"x", x}, {"y", y}};
}

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    h.startRegistered();
    h.startStreaming();
  }
  AgentHarness h;
};

TEST_F(Control, SequenceMustStartAtOneAndKeepRising) {
  h.control(pointer(0, "hover", 0.5, 0.5));
  EXPECT_TRUE(h.injector.mouse.empty());
  h.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_EQ(h.injector.mouse.size(), 1u);
  h.control(pointer(1, "hover", 0.6, 0.5));
  EXPECT_EQ(h.injector.mouse.size(), 1u);
  h.control(pointer(5, "hover", 0.7, 0.5));  // gaps are fine
  EXPECT_EQ(h.injector.mouse.size(), 2u);
  h.control(pointer(4, "hover", 0.8, 0.5));
  Json unnumbered = pointer(9, "hover", 0.9, 0.5);
  unnumbered.erase("seq");
  h.control(unnumbered);
  EXPECT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_EQ(h.client->lastInputSequence(), 5);
}

TEST_F(Control, UnknownKindStillUsesItsNumber) {
  h.control(Json{{"kind", "teleport"}, {"seq", 3}});
  EXPECT_EQ(h.client->lastInputSequence(), 3);
  EXPECT_EQ(h.injector.total(), 0u);
}

TEST_F(Control, InputWithoutPermissionKeepsItsNumber) {
  h.access.deny();
  h.loop.advance(1.0);
  h.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_TRUE(h.injector.mouse.empty());
  EXPECT_EQ(h.client->lastInputSequence(), 0);
  h.access.grant();
  h.loop.advance(1.0);
  h.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_EQ(h.injector.mouse.size(), 1u);
}

TEST_F(Control, PingIsAnsweredWithItsToken) {
  const size_t before = h.channelMessages().size();
  h.control(Json{{"kind", "ping"}, {"token", 1234.5}});
  const auto messages = h.channelMessages();
  ASSERT_EQ(messages.size(), before + 1);
  EXPECT_EQ(messages.back(), (Json{{"kind", "pong"}, {"token", 1234.5}}));
  EXPECT_EQ(h.client->lastInputSequence(), 0);
}

TEST_F(Control, EndFromTheTechnicianEndsTheSession) {
  const std::string session = h.client->active();
  h.control(Json{{"kind", "end"}});
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.respond("/api/device/DEV-1/end", Json::object()).json()["session"], session);
}

TEST_F(Control, MessagesOfAnotherSessionOrEpochAreDropped) {
  const std::string session = h.client->active();
  const int64_t epoch = h.client->generation();
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch - 1);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), "OTHER", epoch);
  EXPECT_EQ(h.client->active(), session);
  h.client->receiveInput(toBytes("not an envelope at all"), session, epoch);
  h.client->receiveInput(h.seal(Json::array({1})), session, epoch);
  EXPECT_EQ(h.client->active(), session);
}

TEST_F(Control, PointerDownMoveUpMapsIntoTheDisplay) {
  h.control(pointer(1, "down", 0.5, 0.5));
  h.control(pointer(2, "move", 0.75, 0.5));
  h.control(pointer(3, "up", 0.75, 0.5));
  EXPECT_EQ(h.injector.mouse, (std::vector<Mouse>{
                                  {MouseEventType::kLeftMouseDown, {720, 450}, MouseButton::kLeft, 1},
                                  {MouseEventType::kLeftMouseDragged, {1080, 450}, MouseButton::kLeft, 1},
                                  {MouseEventType::kLeftMouseUp, {1080, 450}, MouseButton::kLeft, 1},
                              }));
}

TEST_F(Control, RightDragCarriesTheRightButton) {
  Json down = pointer(1, "down", 0.1, 0.1);
  down["button"] = "right";
  h.control(down);
  h.control(pointer(2, "move", 0.2, 0.2));
  ASSERT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_EQ(h.injector.mouse[1].type, MouseEventType::kRightMouseDragged);
  EXPECT_EQ(h.injector.mouse[1].button, MouseButton::kRight);
}

TEST_F(Control, DoubleClickCountsAreClamped) {
  Json down = pointer(1, "down", 0.5, 0.5);
  down["clicks"] = 2;
  Json up = pointer(2, "up", 0.5, 0.5);
  up["clicks"] = 9;
  h.control(down);
  h.control(up);
  EXPECT_EQ(h.injector.mouse[0].clicks, 2);
  EXPECT_EQ(h.injector.mouse[1].clicks, 3);
}

TEST_F(Control, HeldButtonIsLetGoBetweenThreeAndThreeAndAHalfSeconds) {
  h.control(pointer(1, "down", 0.5, 0.5));
  h.loop.advance(2.9);
  EXPECT_EQ(h.injector.mouse.size(), 1u);
  h.loop.advance(0.6);
  ASSERT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_EQ(h.injector.mouse[1], (Mouse{MouseEventType::kLeftMouseUp, {720, 450}, MouseButton::kLeft, 1}));
}

TEST_F(Control, ClickIsADownAndUpAtThePoint) {
  h.control(Json{{"kind", "click"}, {"seq", 1}, {"x", 1.0}, {"y", 0.0}});
  EXPECT_EQ(h.injector.mouse, (std::vector<Mouse>{
                                  {MouseEventType::kLeftMouseDown, {1440, 0}, MouseButton::kLeft, 1},
                                  {MouseEventType::kLeftMouseUp, {1440, 0}, MouseButton::kLeft, 1},
                              }));
  h.control(Json{{"kind", "click"}, {"seq", 2}, {"x", 1.0001}, {"y", 0.0}});
  EXPECT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_FALSE(h.client->pointer().held());
}

TEST_F(Control, KeycodeCarriesOnlyModifierBits) {
  h.control(Json{{"kind", "keycode"}, {"seq", 1}, {"code", 8}, {"flags", 0x120000 | 0x1 | 0x4000000}});
  ASSERT_EQ(h.injector.keys.size(), 2u);
  EXPECT_EQ(h.injector.keys[0].virtualKeyCode, 8);
  EXPECT_TRUE(h.injector.keys[0].down);
  EXPECT_FALSE(h.injector.keys[1].down);
  EXPECT_EQ(h.injector.keys[0].flags, kFlagCommand | kFlagShift);
  EXPECT_EQ(h.injector.keys[1].flags, kFlagCommand | kFlagShift);
  h.control(Json{{"kind", "keycode"}, {"seq", 2}, {"code", 128}});
  EXPECT_EQ(h.injector.keys.size(), 2u);
}

TEST_F(Control, ScrollIsClampedToFifteenHundredPixels) {
  h.control(Json{{"kind", "scroll"}, {"seq", 1}, {"x", -12.9}, {"y", 4000}});
  ASSERT_EQ(h.injector.scrolls.size(), 1u);
  EXPECT_EQ(h.injector.scrolls[0], (std::pair<int32_t, int32_t>{1500, -12}));
}

TEST_F(Control, NamedKeyAndTypedText) {
  h.control(Json{{"kind", "key"}, {"seq", 1}, {"key", "Escape"}});
  h.control(Json{{"kind", "key"}, {"seq", 2}, {"key", "ñ"}});
  ASSERT_EQ(h.injector.keys.size(), 4u);
  EXPECT_EQ(h.injector.keys[0].virtualKeyCode, 53);
  EXPECT_TRUE(h.injector.keys[0].text.empty());
  EXPECT_EQ(h.injector.keys[2].virtualKeyCode, 0);
  EXPECT_EQ(h.injector.keys[2].text, u"ñ");
  EXPECT_EQ(h.injector.keys[3].text, u"ñ");
  EXPECT_FALSE(h.injector.keys[3].down);
}

TEST(ControlPhases, NothingActsOnceTheConsentRanOut) {
  AgentHarness h;
  h.startRegistered();
  h.approve(/*expiresIn=*/0);  // over at this very moment; no tick has seen it yet
  const std::string session = h.client->active();
  ASSERT_FALSE(session.empty());
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, h.client->generation());
  EXPECT_EQ(h.client->active(), session);
  EXPECT_FALSE(h.pending("/api/device/DEV-1/end"));
}

TEST(ControlPhases, PingIsAnsweredBeforeStreamingAndWithoutPermission) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.capture.next.deferStart = true;  // the peer exists, capture has not started yet
  h.pick();
  h.access.deny();
  h.loop.advance(1.0);
  auto channel = h.engine.last()->dataChannel();
  channel->setState(DataChannelState::kOpen);
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->lifecycle().phaseText(), "starting");
  h.control(Json{{"kind", "ping"}, {"token", 7}});
  const auto messages = h.channelMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), (Json{{"kind", "pong"}, {"token", 7}}));
  h.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_TRUE(h.injector.mouse.empty());
}

}  // namespace
}  // namespace kx::testing
