#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_fixture.h"

namespace kx {
namespace {

using testing::ConsoleTest;

constexpr char kUnavailable[] = "Input connection unavailable. End and reconnect.";
constexpr char kShortcutHint[] = "Update the remote client to 0.5.0 for keyboard shortcuts.";

Json pointer(const std::string& action) {
  return Json{{"kind", "pointer"}, {"action", action}, {"button", "left"}, {"clicks", 1}, {"x", 0.5}, {"y", 0.5}};
}
Json keycode(int code, uint64_t flags, const std::string& key) {
  return Json{{"kind", "keycode"}, {"code", code}, {"flags", flags}, {"key", key}};
}
Json scroll() { return Json{{"kind", "scroll"}, {"x", 0.0}, {"y", -3.0}}; }

std::vector<std::string> kinds(const std::vector<Json>& messages) {
  std::vector<std::string> out;
  for (const Json& m : messages) {
    std::string kind = m["kind"].get<std::string>();
    if (m.contains("action")) kind += ":" + m["action"].get<std::string>();
    out.push_back(kind);
  }
  return out;
}

TEST_F(ConsoleTest, LevelTwoSendsNoHoverAndNoScroll) {
  startControlledSession(2);
  console->sendInput(pointer("hover"));
  console->sendInput(scroll());
  console->sendInput(pointer("down"));
  EXPECT_EQ(kinds(sentMessages()), std::vector<std::string>{"pointer:down"});
}

TEST_F(ConsoleTest, LevelThreeAddsHover) {
  startControlledSession(3);
  console->sendInput(pointer("hover"));
  console->sendInput(scroll());
  EXPECT_EQ(kinds(sentMessages()), std::vector<std::string>{"pointer:hover"});
}

TEST_F(ConsoleTest, LevelFourSendsScrollAndKeyCodesUnchanged) {
  startControlledSession(4);
  console->sendInput(pointer("hover"));
  console->sendInput(scroll());
  console->sendInput(keycode(8, 0x100000, "c"));
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], (Json{{"kind", "scroll"}, {"x", 0.0}, {"y", -3.0}, {"seq", 2}}));
  EXPECT_EQ(sent[2], (Json{{"kind", "keycode"}, {"code", 8}, {"flags", 0x100000}, {"key", "c"}, {"seq", 3}}));
}

TEST_F(ConsoleTest, OldMacGetsLegacyKeys) {
  startControlledSession(2);
  console->sendInput(keycode(0, 0, "a"));
  console->sendInput(keycode(0, 0x20000, "A"));  // Shift alone is no shortcut
  console->sendInput(keycode(122, 0x800000, ""));
  Json noKey = keycode(1, 0, "");
  noKey.erase("key");
  console->sendInput(noKey);
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], (Json{{"kind", "key"}, {"key", "a"}, {"seq", 1}}));
  EXPECT_EQ(sent[1], (Json{{"kind", "key"}, {"key", "A"}, {"seq", 2}}));
  EXPECT_EQ(sent[2], (Json{{"kind", "key"}, {"key", ""}, {"seq", 3}}));
  EXPECT_EQ(sent[3], (Json{{"kind", "key"}, {"key", ""}, {"seq", 4}}));
}

TEST_F(ConsoleTest, ShortcutsToAnOldMacAreDroppedWithAHint) {
  startControlledSession(3);
  for (uint64_t modifier : {0x40000u, 0x80000u, 0x100000u}) {
    fakes.view.status.clear();
    console->sendInput(keycode(8, modifier | 0x20000, "c"));
    EXPECT_EQ(fakes.view.status, kShortcutHint) << modifier;
  }
  EXPECT_TRUE(sentMessages().empty());
  EXPECT_EQ(console->sequence(), 0);
}

TEST_F(ConsoleTest, SequenceSkipsDroppedMessages) {
  startControlledSession(2);
  console->sendInput(pointer("down"));
  console->sendInput(scroll());
  console->sendInput(pointer("hover"));
  console->sendInput(keycode(8, 0x100000, "c"));
  console->sendInput(keycode(0, 0, "a"));
  console->sendInput(pointer("up"));
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0]["seq"], 1);
  EXPECT_EQ(sent[1]["seq"], 2);
  EXPECT_EQ(sent[1]["kind"], "key");
  EXPECT_EQ(sent[2]["seq"], 3);
}

TEST_F(ConsoleTest, SequenceStartsAgainWithEachSession) {
  startControlledSession();
  console->sendInput(pointer("down"));
  console->sendInput(pointer("up"));
  console->end();
  EXPECT_EQ(console->sequence(), 3);  // the "end" took the third number
  startControlledSession();
  console->sendInput(pointer("down"));
  EXPECT_EQ(sentMessages().back()["seq"], 1);
}

TEST_F(ConsoleTest, InputWaitsForTheMacsPermission) {
  startSession();
  openChannel();
  macReportsState(false);
  console->sendInput(pointer("down"));
  console->sendInput(Json{{"kind", "ping"}, {"token", 1.0}});
  EXPECT_EQ(kinds(sentMessages()), std::vector<std::string>{"ping"});
}

TEST_F(ConsoleTest, NothingIsSentWithoutASession) {
  console->sendInput(Json{{"kind", "ping"}, {"token", 1.0}});
  EXPECT_EQ(console->sequence(), 0);
}

TEST_F(ConsoleTest, RefusedSendSwitchesControlOff) {
  startControlledSession();
  channel->setAcceptSends(false);
  console->sendInput(pointer("down"));
  EXPECT_EQ(fakes.view.status, kUnavailable);
  EXPECT_FALSE(console->canControl());
  EXPECT_FALSE(console->display().allowed());
  channel->setAcceptSends(true);
  console->sendInput(pointer("down"));
  EXPECT_TRUE(sentMessages().empty());
  macReportsState(true);
  EXPECT_TRUE(console->canControl());
  EXPECT_EQ(fakes.view.status, "Connected · Live video and control ready");
}

TEST_F(ConsoleTest, CongestedChannelCountsAsUnavailable) {
  startControlledSession();
  channel->setBufferedAmount(65536);
  console->sendInput(pointer("down"));
  EXPECT_EQ(fakes.view.status, kUnavailable);
}

TEST_F(ConsoleTest, FailedEndMessageShowsNothing) {
  startControlledSession();
  channel->setAcceptSends(false);
  const std::string status = fakes.view.status;
  console->end();
  EXPECT_EQ(fakes.view.status, status);
}

TEST_F(ConsoleTest, PingBeforeApprovalReportsTheMissingChannel) {
  startSession();
  loop.advance(2);
  EXPECT_EQ(fakes.view.status, kUnavailable);
  EXPECT_FALSE(console->sid().empty());
  openChannel();
  macReportsState(false);
  EXPECT_EQ(fakes.view.status, kPlatformTexts.controlNotEnabled);
}

TEST_F(ConsoleTest, PingCarriesTheUptimeAndRenewsAHeldButton) {
  startControlledSession();
  console->display().setBounds(1600, 1000);
  console->display().mouseDown(MouseButton::kLeft, {800, 500}, 1);
  loop.advance(2);
  const auto sent = sentMessages();
  EXPECT_EQ(kinds(sent), (std::vector<std::string>{"pointer:down", "pointer:move", "ping"}));
  EXPECT_EQ(sent[2]["token"], 1002.0);
}

TEST_F(ConsoleTest, SilentMacEndsTheSessionAfterSixSeconds) {
  startControlledSession();  // the state report at 1000 is the last sign of life
  loop.advance(6);
  EXPECT_FALSE(console->sid().empty());
  loop.advance(2);
  EXPECT_TRUE(console->sid().empty());
  EXPECT_EQ(fakes.view.status, kPlatformTexts.deviceStoppedResponding);
}

TEST_F(ConsoleTest, AnsweringMacStaysConnected) {
  startControlledSession();
  for (int i = 0; i < 10; ++i) {
    loop.advance(2);
    const Json last = sentMessages().back();
    ASSERT_EQ(last["kind"], "ping");
    macSends(Json{{"kind", "pong"}, {"token", last["token"]}});
  }
  EXPECT_FALSE(console->sid().empty());
  EXPECT_EQ(fakes.view.measurement, "Input round trip: 0 ms");
}

TEST_F(ConsoleTest, NoTimeoutBeforeTheFirstAnswer) {
  startSession();
  for (int i = 0; i < 40; ++i) {
    loop.advance(0.5);
    if (http.find(sessionPath("/status"))) answerStatus(Json{{"state", "pending"}});
  }
  EXPECT_FALSE(console->sid().empty());
}

TEST_F(ConsoleTest, PongMeasuresTheRoundTripInWholeMilliseconds) {
  startControlledSession();
  macSends(Json{{"kind", "pong"}, {"token", loop.uptime() - 0.0123}});
  EXPECT_EQ(fakes.view.measurement, "Input round trip: 12 ms");
  EXPECT_EQ(console->lastPong(), loop.uptime());
}

TEST_F(ConsoleTest, HostilePongTokensAreIgnored) {
  startControlledSession();
  loop.advance(1);
  const double lastPong = console->lastPong();
  for (const Json& token : {Json(1e308), Json(-1e308), Json(loop.uptime() + 5), Json(-1.0), Json("1000"),
                            Json(nullptr)}) {
    macSends(Json{{"kind", "pong"}, {"token", token}});
  }
  EXPECT_EQ(fakes.view.measurement, "");
  EXPECT_EQ(console->lastPong(), lastPong);
}

TEST_F(ConsoleTest, StateReportNeedsControlAndStreaming) {
  startSession();
  openChannel();
  macSends(Json{{"kind", "state"}, {"canControl", true}});
  EXPECT_FALSE(console->canControl());
  EXPECT_FALSE(console->display().allowed());
  EXPECT_EQ(fakes.view.status, kPlatformTexts.controlNotEnabled);
  EXPECT_GT(console->lastPong(), 0);
  macSends(Json{{"kind", "state"}, {"canControl", "true"}, {"streaming", true}});
  EXPECT_FALSE(console->canControl());
  macReportsState(true);
  EXPECT_TRUE(console->canControl());
  EXPECT_TRUE(console->display().allowed());
}

TEST_F(ConsoleTest, ControlLevelIsKeptUntilTheMacReportsOne) {
  startControlledSession(4);
  macSends(Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 3.5}});
  EXPECT_EQ(console->controlVersion(), 4);
  console->end();
  startSession();
  openChannel();
  macSends(Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}});
  EXPECT_EQ(console->controlVersion(), 4);
}

TEST_F(ConsoleTest, MessagesOfAnotherSessionOrUnreadableOnesAreIgnored) {
  startSession();
  auto envelope = macCipher->encrypt(dumpJson(Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}}));
  console->receive(*envelope, console->epoch() - 1);
  EXPECT_FALSE(console->canControl());
  console->receive(Bytes(40, 1), console->epoch());
  console->receive(*macCipher->encrypt(std::string_view("[1,2]")), console->epoch());
  EXPECT_EQ(console->lastPong(), 0);
  console->receive(*envelope, console->epoch());
  EXPECT_TRUE(console->canControl());
}

TEST_F(ConsoleTest, InputFromTheViewReachesTheMac) {
  startControlledSession();
  RemoteInputView& display = console->display();
  display.setBounds(1600, 1000);
  display.videoSizeChanged(1920, 1080);
  display.mouseDown(MouseButton::kLeft, {400, 50}, 1);
  display.keyDown(36, 0, "\r");
  fakes.view.actions.windowDidResignKey();
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (Json{{"kind", "pointer"}, {"action", "down"}, {"button", "left"}, {"clicks", 1},
                           {"x", 0.25}, {"y", 0.0}, {"seq", 1}}));
  EXPECT_EQ(sent[1]["key"], "Enter");
  EXPECT_EQ(sent[2]["action"], "up");
}

}  // namespace
}  // namespace kx
