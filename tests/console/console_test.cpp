// The technician console: sign-in and the device list, then a support
// session: access request, poll cycle, signals, end, and the control channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "console/sign_in_callback.h"
#include "console_fixture.h"

namespace kx {
namespace {

using ::testing::ElementsAre;
using testing::ConsoleTest;
using testing::kApiBase;
using testing::kToken;


const std::string kCallback = "kestrelixremote://admin-sign-in?";

TEST(SignInCallback, CodeNeedsHostFirstStateAndCode) {
  auto url = splitCallbackUrl(kCallback + "code=a%2Bb%20c&flag&state=&x=1#frag");
  ASSERT_TRUE(url && url->queryItems && url->host == "admin-sign-in");
  EXPECT_EQ(*url->queryItems, (std::vector<QueryItem>{{"code", "a+b c"}, {"flag", {}}, {"state", ""}, {"x", "1"}}));
  for (const char* malformed : {"kestrelixremote://admin-sign-in?code=%zz", "kestrelixremote://admin-sign-in?code=%4",
                                "kestrelixremote://admin sign-in?code=1", "no-scheme-here", "://admin-sign-in"}) {
    EXPECT_FALSE(splitCallbackUrl(malformed)) << malformed;
  }
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {kCallback + "code=c1&state=s1", "c1"},
      {kCallback + "state=s1&state=bad&code=c", "c"},
      {kCallback + "code=first&code=second&state=s1", "first"},
      {"kestrelixremote://other-host?code=c1&state=s1", std::nullopt},
      {kCallback + "code=c1&state=s2", std::nullopt},
      {kCallback + "state=bad&state=s1&code=c", std::nullopt},
      {kCallback + "code=c1", std::nullopt},
      {kCallback + "code=c1&state", std::nullopt},
      {kCallback + "code&state=s1", std::nullopt},
  };
  for (const auto& [callback, code] : cases) EXPECT_EQ(signInCode(callback, "s1"), code) << callback;
}

class SignInTest : public ConsoleTest {
 protected:
  void SetUp() override { makeConsole(std::nullopt); }
};

TEST_F(SignInTest, PortalGetsChallengeAndStateAndOnlyItsCallbackTheExchangeWithTheVerifier) {
  console->signIn();
  const std::string firstState = webSignIn.state();
  view.actions.signIn();  // a new attempt replaces the first
  EXPECT_TRUE(webSignIn.urls.back().starts_with("https://portal.test/native-sign-in?challenge="));
  const std::string state = webSignIn.state();
  EXPECT_EQ(state.size(), 32u);
  for (const std::string& stray : {kCallback + "code=c&state=" + firstState, kCallback + "code=c",
                                   "kestrelixremote://elsewhere?code=c&state=" + state}) {
    webSignIn.complete(stray);
  }
  EXPECT_TRUE(http.sent().empty() && console->signingIn());
  // RFC 7636 appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  webSignIn.complete(kCallback + "code=one-time&state=" + state);
  EXPECT_FALSE(console->signingIn());
  const auto& exchange = http.next();
  EXPECT_EQ(exchange.json()["code"], "one-time");
  const std::string verifier = exchange.json()["verifier"].get<std::string>();
  EXPECT_EQ(verifier.size(), 43u);
  EXPECT_EQ(pkceChallenge(verifier), webSignIn.query("challenge"));
  http.respondJson(200, {{"token", "fresh"}, {"name", "Grace"}});
  EXPECT_EQ((keychain.items[{AdminConsole::kKeychainService, kApiBase}]), "fresh");
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(SignInTest, WaysTheWaitEnds) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[this] { webSignIn.complete(kCallback + "state=" + webSignIn.state()); }, "Sign-in cancelled"},
      {[this] { view.actions.cancelSignIn(); }, "Sign-in cancelled"},
      {[this] { loop.advance(2); }, "Sign-in timed out: the browser did not come back. Try again."},
      {[this] { webSignIn.complete(std::nullopt, makeError("WebSignIn", 1, "The browser window was closed.")); },
       "The browser window was closed."},
  };
  for (const auto& [act, status] : cases) {
    view.actions.signIn();
    loop.advance(AdminConsole::kSignInTimeout - 1);
    act();
    EXPECT_EQ(view.status, status);
    EXPECT_FALSE(console->signingIn() || webSignIn.running()) << status;
  }
  EXPECT_TRUE(http.sent().empty());
  // A completion after the console is gone does nothing.
  console->signIn();
  const std::string state = webSignIn.state();
  console.reset();
  webSignIn.complete(kCallback + "code=c&state=" + state);
  loop.runUntilIdle();
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(ConsoleTest, StoredTokenOfThisServiceIsUsedUnlessTheTechnicianSignedInMeanwhile) {
  console->refreshList();
  EXPECT_EQ(http.next().header("Authorization"), std::string("Bearer ") + kToken);
  keychain.items.clear();
  keychain.items[{AdminConsole::kKeychainService, "https://other.test"}] = "other";
  makeConsole(std::nullopt);
  EXPECT_EQ(console->token(), "");

  keychain.deferLoads = true;
  makeConsole(kToken);
  console->show();
  EXPECT_EQ(console->token(), "");
  keychain.finishLoads();
  EXPECT_EQ(console->token(), kToken);
  makeConsole(std::nullopt);
  console->signIn();
  webSignIn.complete(kCallback + "code=c&state=" + webSignIn.state());
  http.respondTo("/api/admin/exchange", 200, R"({"token":"fresh"})");
  keychain.finishLoads();
  EXPECT_EQ(console->token(), "fresh");
}

TEST_F(ConsoleTest, SignOutForgetsTheTokenAndLogsOutWhenThereIsOne) {
  loadDevices(Json::array({device("mac-1")}));
  console->refreshList();  // answered after the sign-out: ignored
  const std::string statusBefore = view.status;
  view.actions.signOut();
  http.respondTo("/api/admin/whoami", 200, R"({"name":"Eve"})");
  const auto& logout = http.at(*http.find("/api/admin/logout"));
  EXPECT_EQ(logout.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_TRUE(keychain.items.empty() && view.rows.empty());
  EXPECT_FALSE(http.find("/api/admin/devices"));
  http.fail(makeError("libcurl", 7, "Couldn't connect to server"));
  EXPECT_EQ(view.status, statusBefore);
  const size_t sent = http.sent().size();
  console->signOut();
  EXPECT_EQ(http.sent().size(), sent);
  EXPECT_EQ(keychain.removes, 2);
  console->refreshList();
  EXPECT_EQ(view.status, "Sign in with technician rights to see your devices.");
}

TEST_F(ConsoleTest, DeviceListRowsFollowTheServiceRecords) {
  console->show();
  http.respondJson(200, Json::object());
  selfDevice = "mac-5";
  Json noName = device("mac-2", "", false);
  noName.erase("name");
  Json stringOnline = device("mac-4", "Lab");
  stringOnline["online"] = "true";
  http.respondJson(200, Json::array({device("mac-1"), noName, stringOnline, device("mac-5", "This Mac")}));
  EXPECT_EQ(view.rows, (std::vector<DeviceRow>{{"Studio · Online", true}, {"Computer · Offline", false},
                                                     {"Lab · Offline", false}, {"This Mac · Online", false}}));
  console->refreshList();
  http.respondJson(401, {{"error", "Your session has expired. Sign in again."}});
  EXPECT_EQ(view.status, "Your session has expired. Sign in again.");
  EXPECT_TRUE(console->token() == kToken && view.rows.size() == 4u);
  loadDevices(Json::array({device("mac-1"), "junk"}));
  EXPECT_TRUE(view.rows.empty());
}

TEST_F(ConsoleTest, RequestsOutsideTheServiceHostAreRefused) {
  makeConsole("t", "https://elsewhere.test");
  console->show();
  EXPECT_TRUE(http.sent().empty());
  EXPECT_EQ(view.status, "Invalid support service address.");
}


constexpr char kUnavailable[] = "Input connection unavailable. End and reconnect.";

TEST_F(ConsoleTest, AccessRequestCarriesFreshSecretsBothSidesDeriveFrom) {
  startSession();
  EXPECT_EQ(request.size(), 4u);
  EXPECT_EQ(request["device"], "mac-1");
  EXPECT_TRUE(isCanonicalUuid(request["id"].get<std::string>()));
  EXPECT_EQ(base64Decode(request["salt"].get<std::string>())->size(), 16u);
  EXPECT_EQ(console->sid(), request["id"]);
  EXPECT_EQ(console->cipher()->key(), macCipher->key());
  EXPECT_EQ(view.sessionHeader, "Verification code: " + macCipher->verificationCode());
  EXPECT_TRUE(view.endEnabled);
  console->connectDevice(0);  // ignored while a session runs
  EXPECT_EQ(countSent("/api/admin/request"), 1u);
  const Json first = request;
  console->end();
  startSession();
  for (const char* field : {"id", "browserKey", "salt"}) EXPECT_NE(request[field], first[field]) << field;
}

TEST_F(ConsoleTest, RequestsThatCannotOrMayNotStartASession) {
  Json keyless = device("mac-2"), badKey = device("mac-3");
  keyless.erase("publicKey");
  badKey["publicKey"] = base64Encode(Bytes(33, 2));
  loadDevices(Json::array({device("mac-1"), keyless, badKey}));
  view.requestAccess(1);
  view.requestAccess(7);
  EXPECT_EQ(http.pending(), 0u);
  view.requestAccess(2);
  EXPECT_EQ(view.status, "Invalid session encryption envelope");
  view.requestAccess(0);
  view.requestAccess(0);  // a second press while the first is on its way
  EXPECT_EQ(http.pending(), 1u);
  // The technician reads the service's own sentence.
  http.respondTo("/api/admin/request", 429, R"({"error":{"domain":"Kestrelix","description":"Another team's."}})");
  EXPECT_EQ(view.status, "Another team's.");
  EXPECT_TRUE(console->sid().empty() && engine.connections().empty());
  // Access granted after the technician signed out is withdrawn.
  view.requestAccess(0);
  const std::string id = http.at(*http.find("/api/admin/request")).json()["id"].get<std::string>();
  console->signOut();
  http.respondTo("/api/admin/request", 200, "{}");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
}

TEST_F(ConsoleTest, PollsEverySecondUntilTheMacAnswersThenEveryThreeOneAtATime) {
  startSession();
  std::vector<double> times;
  auto run = [&](double seconds) {
    times.clear();
    for (double t = 0; t < seconds; t += 0.5) {
      loop.advance(0.5);
      if (!http.find(sessionPath("/status"))) continue;
      times.push_back(loop.uptime());
      http.respondTo(sessionPath("/status"), 200, R"({"state":"pending"})");
    }
  };
  run(3);
  EXPECT_THAT(times, ElementsAre(1000.5, 1001.5, 1002.5));
  loop.advance(1);
  const size_t polls = countSent(sessionPath("/status"));
  loop.advance(5);  // the cycle waits for its answer
  EXPECT_EQ(countSent(sessionPath("/status")), polls);
  EXPECT_TRUE(console->busy());
  http.respondTo(sessionPath("/status"), 200, R"({"state":"pending"})");
  openChannel();
  macSends(state(true));
  run(7);
  EXPECT_THAT(times, ElementsAre(1009.5, 1012.5, 1015.5));
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
    EXPECT_EQ(view.status, kPlatformTexts.waitingForApproval);
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
  std::vector<Json> posted;
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_TRUE(poll(approved({})));
    const auto post = http.find(sessionPath("/signal"));
    ASSERT_TRUE(post && http.at(*post).method() == "POST");
    const auto batch = open(http.at(*post).json()["payloads"].get<std::vector<std::string>>());
    EXPECT_EQ(batch.size(), 8u);
    posted.insert(posted.end(), batch.begin(), batch.end());
    http.respond(200, "{}", *post);
  }
  for (int i = 0; i < int(posted.size()); ++i) {
    EXPECT_EQ(posted[i]["n"], i);
    EXPECT_TRUE(isCanonicalUuid(posted[i]["messageId"].get<std::string>()));
  }
  EXPECT_EQ(open({console->outgoing().back()})[0]["n"], 127);
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
      Json{{"payload", *sealToBase64(*macCipher, R"({"type":"offer","sdp":"x"})")}},
      Json{{"payload", *sealToBase64(*macCipher, R"({"type":"offer","sdp":"x","messageId":7})")}},
      offer("m1"), candidate("c1"), candidate("c1")}}}), *fetch);
  loop.runUntilIdle();
  EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=mac-offer\r\n");
  const auto post = http.find(sessionPath("/signal"));
  ASSERT_TRUE(post);
  const auto answer = open(http.at(*post).json()["payloads"].get<std::vector<std::string>>());
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0]["sdp"], connection->localDescription()->second);
  http.respond(200, "{}", *post);
  ASSERT_TRUE(poll(approved({offer("m1"), candidate("c1"), candidate("c2")})));
  EXPECT_EQ(connection->addedCandidates().size(), 2u);
  EXPECT_EQ(console->seenCount(), 3u);
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

TEST_F(ConsoleTest, SessionEndsWithTheTextOfWhatEndedIt) {
  const std::pair<std::function<void()>, std::string> causes[] = {
      {[this] { poll(Json{{"state", "denied"}}); }, "Session denied"},
      {[this] {
         loop.advance(1);
         http.respondTo(sessionPath("/status"), 404, R"({"error":"Unknown session."})");
       },
       "Unknown session."},
      {[this] {
         connection->emitIceState(IceConnectionState::kChecking);
         connection->emitIceState(IceConnectionState::kFailed);
         loop.runUntilIdle();
       },
       "Connection ended. Request a new approved session."},
  };
  for (const auto& [cause, status] : causes) {
    startSession();
    const std::string id = console->sid();
    cause();
    EXPECT_EQ(view.status, status);
    EXPECT_TRUE(console->sid().empty() && connection->closed() && !view.endEnabled) << status;
    EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end")) << status;
    const size_t polls = countSent("/api/admin/session/" + id + "/status");
    loop.advance(10);
    EXPECT_EQ(countSent("/api/admin/session/" + id + "/status"), polls) << status;
    http.abandonAll();
  }
}

TEST_F(ConsoleTest, EndTellsTheMacAndTheServiceAfterLettingGoOfAHeldButton) {
  startControlledSession();
  const std::string id = console->sid();
  console->display().setBounds(1600, 1000);
  console->display().mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.actions.end();
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1]["action"], "up");
  EXPECT_EQ(sent[2], (Json{{"kind", "end"}, {"seq", 3}}));
  EXPECT_EQ(http.at(*http.find("/api/admin/session/" + id + "/end")).body(), "{}");
  EXPECT_TRUE(!console->cipher() && !console->display().allowed());
  EXPECT_EQ(view.status, "Session ended");
  // The next session numbers its messages from 1 again; signing out ends it with the token it had.
  startControlledSession();
  console->sendInput(Json{{"kind", "scroll"}, {"x", 0.0}, {"y", 1.0}});
  EXPECT_EQ(sentMessages().back()["seq"], 1);
  const std::string second = console->sid();
  view.actions.signOut();
  EXPECT_EQ(http.at(*http.find("/api/admin/session/" + second + "/end")).header("Authorization"),
            std::string("Bearer ") + kToken);
}

Json pointer(const std::string& action) {
  return Json{{"kind", "pointer"}, {"action", action}, {"button", "left"}, {"clicks", 1}, {"x", 0.5}, {"y", 0.5}};
}
Json keycode(int code, uint64_t flags, const std::string& key) {
  return Json{{"kind", "keycode"}, {"code", code}, {"flags", flags}, {"key", key}};
}

TEST_F(ConsoleTest, EachControlLevelSendsWhatTheMacUnderstandsNumberedWithoutGaps) {
  const Json scroll{{"kind", "scroll"}, {"x", 0.0}, {"y", -3.0}}, copy = keycode(8, 0x100000, "c");
  const Json legacyKey{{"kind", "key"}, {"key", "A"}};  // Shift alone is no shortcut
  const char* hint = "Update the remote client to 0.5.0 for keyboard shortcuts.";
  const struct {
    int64_t level;
    std::vector<Json> sent;
    std::string status;
  } levels[] = {
      {2, {legacyKey, pointer("down")}, hint},
      {3, {pointer("hover"), legacyKey, pointer("down")}, hint},
      {4, {pointer("hover"), scroll, copy, keycode(0, 0x20000, "A"), pointer("down")}, ""},
  };
  for (const auto& l : levels) {
    startControlledSession(l.level);
    view.status.clear();
    for (const Json& m : {pointer("hover"), scroll, copy, keycode(0, 0x20000, "A"), pointer("down")}) console->sendInput(m);
    auto sent = sentMessages();
    ASSERT_EQ(sent.size(), l.sent.size()) << l.level;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i]["seq"], int64_t(i + 1)) << l.level;
      sent[i].erase("seq");
    }
    EXPECT_EQ(sent, l.sent) << l.level;
    EXPECT_EQ(view.status, l.status) << l.level;
    console->end();
  }
}

TEST_F(ConsoleTest, InputNeedsTheMacsPermissionAndAChannelThatTakesIt) {
  console->sendInput(Json{{"kind", "ping"}, {"token", 1.0}});  // no session
  EXPECT_EQ(console->sequence(), 0);
  startSession();
  loop.advance(2);  // the first ping finds no channel
  EXPECT_EQ(view.status, kUnavailable);
  openChannel();
  macSends(state(true, Json()));  // not streaming
  EXPECT_EQ(view.status, kPlatformTexts.controlNotEnabled);
  macSends(state("true"));
  console->sendInput(pointer("down"));
  EXPECT_TRUE(sentMessages().empty());
  macSends(state(true, true, 3.5));
  EXPECT_EQ(console->controlVersion(), 4);  // kept until the Mac reports another
  EXPECT_TRUE(console->display().allowed());
  for (const bool refuses : {true, false}) {
    channel->setAcceptSends(!refuses);
    channel->setBufferedAmount(refuses ? 0 : 65536);
    console->sendInput(pointer("down"));
    EXPECT_EQ(view.status, kUnavailable);
    EXPECT_FALSE(console->canControl() || console->display().allowed());
    macSends(state(true));
    EXPECT_EQ(view.status, "Connected · Live video and control ready");
  }
}

TEST_F(ConsoleTest, PingsRenewAHeldButtonAndSilenceEndsTheSessionAfterSixSeconds) {
  startSession();
  for (int i = 0; i < 40; ++i) {  // no time-out before the Mac first answers
    loop.advance(0.5);
    if (http.find(sessionPath("/status"))) http.respondTo(sessionPath("/status"), 200, R"({"state":"pending"})");
  }
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
  EXPECT_EQ(view.measurement, "Input round trip: 12 ms");
  loop.advance(6);
  EXPECT_FALSE(console->sid().empty());
  loop.advance(2);
  EXPECT_TRUE(console->sid().empty());
  EXPECT_EQ(view.status, kPlatformTexts.deviceStoppedResponding);
}

TEST_F(ConsoleTest, HostilePongsAndMessagesOfAnotherSessionAreIgnored) {
  startControlledSession();
  loop.advance(1);
  const double lastPong = console->lastPong();
  for (const Json& token : {Json(1e308), Json(-1e308), Json(loop.uptime() + 5), Json(-1.0), Json("1000"), Json()}) {
    macSends(Json{{"kind", "pong"}, {"token", token}});
  }
  EXPECT_EQ(view.measurement, "");
  EXPECT_EQ(console->lastPong(), lastPong);
  const Bytes stop = *macCipher->encrypt(dumpJson(state(false)));
  console->receive(stop, console->epoch() - 1);
  console->receive(Bytes(40, 1), console->epoch());
  console->receive(*macCipher->encrypt(std::string_view("[1,2]")), console->epoch());
  EXPECT_TRUE(console->canControl());
  console->receive(stop, console->epoch());
  EXPECT_FALSE(console->canControl());
}

}  // namespace
}  // namespace kx
