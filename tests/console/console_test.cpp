// The technician console against fakes of its window, web sign-in and
// keychain, and a managed computer's side of a session (the device key, the
// cipher it derives from the access request, the data channel it opens):
// sign-in and the device list, then a support session (access request, poll
// cycle, signals, end, the control channel), and the input view it sends from.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "console_fixture.h"

namespace kx {
namespace {

using namespace testing;
using ::testing::ElementsAre;

TEST(SignInCallback, CodeNeedsHostFirstStateAndCode) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {kCallback + "code=a%2Bb%20c&flag&state=s1#frag", "a+b c"}, {kCallback + "code=%4&state=s1", std::nullopt},
      {"kestrelixremote://admin sign-in?code=c&state=s1", std::nullopt}, {kCallback + "state=s1&state=bad&code=c", "c"},
      {kCallback + "code=first&code=second&state=s1", "first"}, {kCallback + "code=c1", std::nullopt},
      {"kestrelixremote://other-host?code=c1&state=s1", std::nullopt}, {kCallback + "code&state=s1", std::nullopt},
      {kCallback + "state=bad&state=s1&code=c", std::nullopt},
  };
  for (const auto& [callback, code] : cases) EXPECT_EQ(signInCode(callback, "s1"), code) << callback;
}

class SignInTest : public ConsoleTest {
 protected:
  void SetUp() override { makeConsole(std::nullopt); }
};

TEST_F(SignInTest, PortalGetsChallengeAndStateAndOnlyItsCallbackTheExchangeWithTheVerifier) {
  console->signIn();
  const std::string firstState = webSignIn.query("state");
  view.actions.signIn();  // a new attempt replaces the first
  const std::string state = webSignIn.query("state");
  for (const std::string& stray : {kCallback + "code=c&state=" + firstState, kCallback + "code=c",
                                   "kestrelixremote://elsewhere?code=c&state=" + state}) {
    webSignIn.complete(stray);
  }
  EXPECT_TRUE(http.sent().empty() && console->signingIn());
  // RFC 7636 appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  webSignIn.complete(kCallback + "code=one-time&state=" + state);
  EXPECT_FALSE(console->signingIn());
  const Json exchange = http.next().json();
  EXPECT_EQ(exchange["code"], "one-time");
  EXPECT_EQ(exchange["verifier"].get<std::string>().size(), 43u);
  EXPECT_EQ(pkceChallenge(exchange["verifier"].get<std::string>()), webSignIn.query("challenge"));
  http.respondJson(200, {{"token", "fresh"}, {"name", "Grace"}});
  EXPECT_EQ((keychain.items[{AdminConsole::kKeychainService, kApiBase}]), "fresh");
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(SignInTest, CancelOrTheTimeOutEndsTheWait) {
  view.actions.signIn();
  loop.advance(AdminConsole::kSignInTimeout - 1);
  view.actions.cancelSignIn();
  EXPECT_EQ(console->status(), "Sign-in cancelled");
  view.actions.signIn();
  loop.advance(AdminConsole::kSignInTimeout - 1);
  EXPECT_TRUE(console->signingIn());
  loop.advance(1);
  EXPECT_EQ(console->status(), "Sign-in timed out: the browser did not come back. Try again.");
  EXPECT_FALSE(console->signingIn() || webSignIn.completion);
}

TEST_F(ConsoleTest, SignOutRevokesTheTokenAndATokenOfAnotherServiceIsNotUsed) {
  loadDevices(Json::array({device("mac-1")}));
  console->refreshList();  // answered after the sign-out: ignored
  view.actions.signOut();
  http.respondTo("/api/admin/whoami", 200, R"({"name":"Eve"})");
  EXPECT_EQ(http.at(*http.find("/api/admin/logout")).header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_TRUE(keychain.items.empty() && view.rows.empty());
  keychain.items[{AdminConsole::kKeychainService, "https://other.test"}] = "other";
  makeConsole(std::nullopt);
  console->refreshList();
  EXPECT_TRUE(console->token().empty() && !http.find("/api/admin/devices"));
}

TEST_F(ConsoleTest, DeviceListRowsFollowTheServiceRecordsOfItsOwnHost) {
  selfDevice = "mac-5";
  Json noName = device("mac-2", "", false);
  noName.erase("name");
  loadDevices(Json::array({device("mac-1"), noName, device("mac-5", "This Mac")}));
  EXPECT_EQ(view.rows, (std::vector<DeviceRow>{{"Studio · Online", true}, {"Computer · Offline", false},
                                               {"This Mac · Online", false}}));
  loadDevices(Json::array({device("mac-1"), "junk"}));
  EXPECT_TRUE(view.rows.empty());
}

TEST_F(ConsoleTest, AccessRequestCarriesFreshSecretsBothSidesDeriveFromAndOnlyOneAtATime) {
  startSession();
  EXPECT_EQ(base64Decode(request["salt"].get<std::string>())->size(), 16u);
  EXPECT_EQ(console->sid(), request["id"]);
  EXPECT_EQ(console->cipher()->key(), macCipher->key());
  const Json first = request;
  console->end();
  startSession();
  for (const char* field : {"id", "browserKey", "salt"}) EXPECT_NE(request[field], first[field]) << field;
  console->end();
  http.abandonAll();

  // Requests that cannot or may not start a session.
  Json keyless = device("mac-2");
  keyless.erase("publicKey");
  loadDevices(Json::array({device("mac-1"), keyless}));
  view.requestAccess(1);
  view.requestAccess(7);
  view.requestAccess(0);
  view.requestAccess(0);  // a second press while the first is on its way
  EXPECT_EQ(http.pending(), 1u);
  // The technician reads the service's own sentence.
  http.respondTo("/api/admin/request", 429, R"({"error":{"domain":"Kestrelix","description":"Another team's."}})");
  EXPECT_EQ(console->status(), "Another team's.");
  EXPECT_TRUE(console->sid().empty() && engine.connections().size() == 2);
  // Access granted after the technician signed out is withdrawn.
  view.requestAccess(0);
  const std::string id = http.at(*http.find("/api/admin/request")).json()["id"].get<std::string>();
  console->signOut();
  http.respondTo("/api/admin/request", 200, "{}");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
}

TEST_F(ConsoleTest, PollsEverySecondUntilTheComputerAnswersThenEveryThreeOneAtATime) {
  startSession();
  auto pollTimes = [&](double seconds) {
    std::vector<double> times;
    for (double t = 0; t < seconds; t += 0.5) {
      loop.advance(0.5);
      if (!http.find(sessionPath("/status"))) continue;
      times.push_back(loop.uptime());
      http.respondTo(sessionPath("/status"), 200, R"({"state":"pending"})");
    }
    return times;
  };
  EXPECT_THAT(pollTimes(3), ElementsAre(1000.5, 1001.5, 1002.5));
  loop.advance(1);
  const size_t sent = http.sent().size();
  loop.advance(5);  // the cycle waits for its answer
  EXPECT_EQ(http.sent().size(), sent);
  http.respondTo(sessionPath("/status"), 200, R"({"state":"pending"})");
  openChannel();
  macSends(state(true));
  EXPECT_THAT(pollTimes(7), ElementsAre(1009.5, 1012.5, 1015.5));
}

TEST_F(ConsoleTest, AnswersOfAnEndedSessionLeaveTheNextOneAlone) {
  for (const auto& [status, body] : {std::pair{200, R"({"state":"ended"})"}, {404, R"({"error":"Unknown session."})"}}) {
    startSession();
    loop.advance(1);
    const std::string old = sessionPath("/status");
    view.actions.end();
    startSession();
    http.respondTo(old, status, body);
    EXPECT_FALSE(console->sid().empty());
    EXPECT_EQ(console->status(), kPlatformTexts.waitingForApproval);
    EXPECT_FALSE(console->busy());
    console->end();
    http.abandonAll();
  }
}

TEST_F(ConsoleTest, QueuedSignalsArePostedEightAtATimeInOrderWithTheirOwnIds) {
  startSession();
  console->queueSignal(Json{{"type", "candidate"}, {"n", 0}, {"messageId", "chosen-by-caller"}});
  for (int i = 1; i < 130; ++i) console->queueSignal(Json{{"type", "candidate"}, {"n", i}});
  ASSERT_EQ(console->outgoing().size(), 128u);
  std::vector<Json> sent;
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_TRUE(poll(approved({})));
    const auto post = http.find(sessionPath("/signal"));
    ASSERT_TRUE(post && http.at(*post).method() == "POST");
    const auto batch = posted(*post);
    EXPECT_EQ(batch.size(), 8u);
    sent.insert(sent.end(), batch.begin(), batch.end());
    http.respond(200, "{}", *post);
  }
  for (int i = 0; i < int(sent.size()); ++i) {
    EXPECT_EQ(sent[i]["n"], i);
    EXPECT_TRUE(isCanonicalUuid(sent[i]["messageId"].get<std::string>()));
  }
  ASSERT_TRUE(poll(approved({signal(sent[0])})));  // our own, reflected by the service
  http.respond(200, "{}", *http.find(sessionPath("/signal")));  // taken after the next batch is posted
  EXPECT_EQ(console->seenCount(), 0u);
}

TEST_F(ConsoleTest, SignalsAreFetchedTakenOnceWhenReadableAndTheOfferAnsweredInTheSameCycle) {
  startSession();
  auto candidate = [&](const std::string& id) {
    const Json line{{"candidate", "candidate:1 1 udp 2122260223 10.0.0.5 50000 typ host"}, {"sdpMLineIndex", 0}};
    return signal(Json{{"type", "candidate"}, {"candidate", line}, {"messageId", id}});
  };
  ASSERT_TRUE(poll(Json{{"state", "approved"}}));  // no signals in the status: they are fetched
  const auto fetch = http.find(sessionPath("/signal"));
  ASSERT_TRUE(fetch && http.at(*fetch).method() == "GET");
  http.respond(200, dumpJson(Json{{"signals", {
      Json{{"payload", 5}},
      Json{{"payload", *sealToBase64(SessionCipher::fromKey({}), R"({"type":"offer","sdp":"x","messageId":"a"})")}},
      Json{{"payload", *sealToBase64(*macCipher, R"({"type":"offer","sdp":"x","messageId":7})")}},
      offer("m1"), candidate("c1"), candidate("c1")}}}), *fetch);
  loop.runUntilIdle();
  EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=mac-offer\r\n");
  const auto post = http.find(sessionPath("/signal"));
  ASSERT_TRUE(post);
  EXPECT_EQ(posted(*post).at(0)["sdp"], connection->localDescription()->second);
  http.respond(200, "{}", *post);
  ASSERT_TRUE(poll(approved({offer("m1"), candidate("c1"), candidate("c2")})));
  EXPECT_EQ(connection->addedCandidates().size(), 2u);
  // A list with anything but objects counts as empty; 512 ids at most per session.
  ASSERT_TRUE(poll(Json{{"state", "approved"}, {"signals", {candidate("c3"), 3}}}));
  std::vector<Json> noise;
  for (int i = 0; i < 510; ++i) noise.push_back(signal(Json{{"type", "noise"}, {"messageId", std::to_string(i)}}));
  noise.push_back(candidate("c4"));
  ASSERT_TRUE(poll(approved(noise)));
  EXPECT_EQ(console->seenCount(), 512u);
  EXPECT_EQ(connection->addedCandidates().size(), 2u);
  EXPECT_FALSE(console->sid().empty());
}

TEST_F(ConsoleTest, SessionEndsWithTheTextOfWhatEndedItAndPollsNoMore) {
  const std::pair<std::function<void()>, std::string> causes[] = {
      {[this] { poll(Json{{"state", "denied"}}); }, "Session denied"},
      {[this] {
         loop.advance(1);
         http.respondTo(sessionPath("/status"), 404, R"({"error":"Unknown session."})");
       },
       "Unknown session."},
      {[this] { connection->emitIceState(IceConnectionState::kFailed); }, "Connection ended. Request a new approved session."},
  };
  for (const auto& [cause, status] : causes) {
    startSession();
    const std::string id = console->sid();
    cause();
    loop.runUntilIdle();
    EXPECT_EQ(console->status(), status);
    EXPECT_TRUE(console->sid().empty() && connection->closed() && !view.endEnabled) << status;
    EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end")) << status;
    const size_t requests = http.sent().size();
    loop.advance(10);
    EXPECT_EQ(http.sent().size(), requests) << status;
    http.abandonAll();
  }
}

Json pointer(const std::string& action) {
  return Json{{"kind", "pointer"}, {"action", action}, {"button", "left"}, {"clicks", 1}, {"x", 0.5}, {"y", 0.5}};
}

// Each session numbers its messages from 1 again.
TEST_F(ConsoleTest, EachSessionNumbersItsInputFromOne) {
  for (int session = 0; session < 2; ++session) {
    startControlledSession();
    console->sendInput(pointer("down"));
    console->sendInput(pointer("up"));
    EXPECT_EQ(sentMessages().back()["seq"], 2) << session;
    console->end();
  }
}

TEST_F(ConsoleTest, InputNeedsThePermissionAndAChannelThatTakesIt) {
  startSession();
  openChannel();
  macSends(state(true, Json()));  // not streaming
  EXPECT_EQ(console->status(), kPlatformTexts.controlNotEnabled);
  macSends(state("true"));
  console->sendInput(pointer("down"));
  EXPECT_TRUE(sentMessages().empty());
  macSends(state(true, true, 3.5));
  EXPECT_EQ(console->controlVersion(), 4);  // kept until the computer reports another
  for (const bool refuses : {true, false}) {
    channel->setAcceptSends(!refuses);
    channel->setBufferedAmount(refuses ? 0 : 65536);
    console->sendInput(pointer("down"));
    EXPECT_EQ(console->status(), "Input connection unavailable. End and reconnect.");
    EXPECT_FALSE(console->canControl() || console->display().allowed());
    macSends(state(true));
  }
}

TEST_F(ConsoleTest, PingsRenewAHeldButtonAndSilenceEndsTheSessionAfterSixSecondsLettingGoOfIt) {
  startSession();
  openChannel();
  macSends(state(true));  // the last sign of life
  console->display().setBounds(1600, 1000);
  console->display().mouseDown(MouseButton::kLeft, {800, 500}, 1);
  loop.advance(2);
  auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1]["action"], "move");
  EXPECT_EQ(sent[2]["token"], loop.uptime());
  macSends(Json{{"kind", "pong"}, {"token", loop.uptime() - 0.0123}});
  EXPECT_EQ(console->measurement(), "Input round trip: 12 ms");
  loop.advance(6);
  EXPECT_FALSE(console->sid().empty());
  const std::string id = console->sid();
  loop.advance(2);
  EXPECT_TRUE(console->sid().empty());
  EXPECT_EQ(console->status(), kPlatformTexts.deviceStoppedResponding);
  // The end lets go of the held button, then tells the computer and the service.
  sent = sentMessages();
  EXPECT_EQ(sent[sent.size() - 2]["action"], "up");
  EXPECT_EQ(sent.back()["kind"], "end");
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
  EXPECT_TRUE(!console->cipher() && !console->display().allowed());
}

TEST_F(ConsoleTest, HostilePongsAndMessagesOfAnotherSessionAreIgnored) {
  startControlledSession();
  loop.advance(1);
  const double lastPong = console->lastPong();
  for (const Json& token : {Json(1e308), Json(-1e308), Json(loop.uptime() + 5), Json(-1.0), Json("1000"), Json()}) {
    macSends(Json{{"kind", "pong"}, {"token", token}});
  }
  EXPECT_EQ(console->measurement(), "");
  EXPECT_EQ(console->lastPong(), lastPong);
  const Bytes stop = *macCipher->encrypt(dumpJson(state(false)));
  console->receive(stop, console->epoch() - 1);
  console->receive(Bytes(40, 1), console->epoch());
  console->receive(*macCipher->encrypt(std::string_view("[1,2]")), console->epoch());
  EXPECT_TRUE(console->canControl());
  console->receive(stop, console->epoch());
  EXPECT_FALSE(console->canControl());
}

// A 1600×1000 area showing a 1920×1080 picture: the picture is 1600×900 at y = 50.
class InputViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.setEmit([this](const Json& message) { emitted.push_back(message); });
    view.setBounds(1600, 1000);
    view.videoSizeChanged(1920, 1080);
    view.setAllowed(true);
  }
  static Json pointer(const char* action, double x, double y, const char* button = "left", int clicks = 1) {
    return Json{{"kind", "pointer"}, {"action", action}, {"button", button}, {"clicks", clicks}, {"x", x}, {"y", y}};
  }
  RemoteInputView view;
  std::vector<Json> emitted;
};

TEST_F(InputViewTest, PictureIsFittedAndCentredAndPointsMapIntoIt) {
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));
  for (const auto& [w, h] : {std::pair{0.0, 0.0}, {1280.0, -1.0}, {std::nan(""), 720.0}}) EXPECT_FALSE(view.videoSizeChanged(w, h));
  const std::pair<Point, Point> mapped[] = {
      {{800, 500}, {0.5, 0.5}}, {{0, 50}, {0, 0}},      {{1600, 950}, {1, 1}},
      {{-20, 10}, {0, 0}},      {{5000, 990}, {1, 1}}, {{std::nan(""), 500}, {0, 0.5}},
  };
  for (const auto& [in, out] : mapped) EXPECT_EQ(view.mapToPicture(in), out) << in.x << "," << in.y;
  EXPECT_TRUE(view.videoSizeChanged(1000, 1000));
  EXPECT_EQ(view.videoFrame(), (Rect{300, 0, 1000, 1000}));
}

TEST_F(InputViewTest, DragStaysPinnedKeepsItsButtonAndEndsWithOneUpAndScrollAndKeysCarryTheirValues) {
  view.mouseMoved({800, 20});  // hover outside the picture
  view.mouseMoved({800, 500});
  view.mouseDown(MouseButton::kRight, {800, 500}, 2);
  view.mouseMoved({900, 500});  // no hover while held
  view.mouseDragged({-50, 2000}, 1);
  view.mouseUp({2000, 2000}, 2);
  view.release();
  view.setWindowActive(false);
  view.mouseMoved({800, 500});
  view.setWindowActive(true);
  view.scroll(-1.5, 12);
  view.scroll(std::numeric_limits<double>::infinity(), 1);
  view.keyDown(0, 0x20000, "A");
  EXPECT_FALSE(view.keyEquivalent(8, 0x100000, "c", false));
  EXPECT_TRUE(view.keyEquivalent(36, 0x100000, "\r", true));
  const auto key = [](int code, uint64_t flags, const char* text) {
    return Json{{"kind", "keycode"}, {"code", code}, {"flags", flags}, {"key", text}};
  };
  EXPECT_EQ(emitted, (std::vector<Json>{pointer("hover", 0.5, 0.5, "left", 0), pointer("down", 0.5, 0.5, "right", 2),
                                        pointer("move", 0, 1, "right"), pointer("up", 1, 1, "right", 2),
                                        Json{{"kind", "scroll"}, {"x", -1.5}, {"y", 12.0}}, key(0, 0x20000, "A"),
                                        key(36, 0x100000, "Enter")}));
}

TEST_F(InputViewTest, ClickCountsFollowTimeDistanceAndButton) {
  const struct {
    MouseButton button;
    Point point;
    double seconds;
    int clicks;
  } presses[] = {
      {MouseButton::kLeft, {100, 100}, 10.0, 1},   {MouseButton::kLeft, {102, 101}, 10.3, 2},
      {MouseButton::kLeft, {101, 100}, 10.6, 3},   {MouseButton::kLeft, {101, 100}, 10.8, 3},
      {MouseButton::kLeft, {101, 100}, 11.5, 1},   {MouseButton::kLeft, {120, 100}, 11.6, 1},
      {MouseButton::kRight, {120, 100}, 11.7, 1},  {MouseButton::kRight, {120, 100}, 11.8, 2},
  };
  for (const auto& p : presses) EXPECT_EQ(view.countClick(p.button, p.point, p.seconds), p.clicks) << p.seconds;
}

TEST(MacKeyCodes, KeysymsMapToTheKeyInTheirPosition) {
  std::set<int> letters;
  for (uint32_t c = 'a'; c <= 'z'; ++c) {
    EXPECT_EQ(macKeyCodeForKeysym(c), macKeyCodeForKeysym(c - 'a' + 'A'));
    letters.insert(macKeyCodeForKeysym(c).value_or(-1));
  }
  EXPECT_EQ(letters.size(), 26u);
  const std::pair<uint32_t, std::optional<int>> keys[] = {
      {'a', 0}, {'c', 8}, {'q', 12}, {'m', 46},
      // digits and their shifted symbols share a key
      {'1', 18}, {'!', 18}, {'5', 23}, {'^', 22}, {'0', 29}, {')', 29}, {' ', 49}, {'_', 27}, {'}', 30}, {'~', 50},
      // editing and navigation, F1, F12, F13, the keypad with and without Num Lock, modifiers
      {0xff0d, 36}, {0xfe20, 48}, {0xffff, 117}, {0xff51, 123}, {0xff54, 125}, {0xff55, 116}, {0xffbe, 122},
      {0xffc9, 111}, {0xffca, 105}, {0xffb0, 82}, {0xff8d, 76}, {0xff96, 123}, {0xffe1, 56}, {0xffeb, 55},
      // no key: control characters, DEL, é, F21, garbage
      {0x1f, {}}, {0x7f, {}}, {0xe9, {}}, {0xffd2, {}}, {0xffffffff, {}},
  };
  for (const auto& [keysym, code] : keys) EXPECT_EQ(macKeyCodeForKeysym(keysym), code) << std::hex << keysym;
  for (uint32_t keysym : {0xffe1u, 0xffebu, 0xfe03u}) EXPECT_TRUE(isModifierKeysym(keysym)) << keysym;
  for (uint32_t keysym : {uint32_t('a'), 0xfe20u}) EXPECT_FALSE(isModifierKeysym(keysym));
  const uint64_t bits[] = {0x20000, 0x40000, 0x80000, 0x100000, 0x10000};  // Shift Control Option Command CapsLock
  for (int i = 0; i < 5; ++i) EXPECT_EQ(macFlagsForModifiers(i == 0, i == 1, i == 2, i == 3, i == 4), bits[i]);
}

}  // namespace
}  // namespace kx
