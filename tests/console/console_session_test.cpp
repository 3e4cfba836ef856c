// A support session at the console: access request, poll cycle, signals,
// end, and the control channel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_fixture.h"

namespace kx {
namespace {

using testing::ConsoleTest;

constexpr std::string_view kWaiting = kPlatformTexts.waitingForApproval;

// --- Access request -------------------------------------------------------

TEST_F(ConsoleTest, AccessRequestCarriesFreshSecrets) {
  startSession();
  EXPECT_TRUE(isCanonicalUuid(request["id"].get<std::string>()));
  EXPECT_EQ(request["device"], "mac-1");
  const std::string browserKey = request["browserKey"].get<std::string>();
  EXPECT_EQ(browserKey.size(), 88u);
  auto point = base64Decode(browserKey);
  ASSERT_TRUE(point);
  EXPECT_TRUE(isValidP256PublicKey(*point));
  const std::string salt = request["salt"].get<std::string>();
  EXPECT_EQ(salt.size(), 24u);
  ASSERT_TRUE(base64Decode(salt));
  EXPECT_EQ(base64Decode(salt)->size(), 16u);
  EXPECT_EQ(request.size(), 4u);
}

TEST_F(ConsoleTest, AccessRequestStartsTheSession) {
  const int64_t epochBefore = console->epoch();
  startSession();
  EXPECT_EQ(console->sid(), request["id"]);
  EXPECT_EQ(console->epoch(), epochBefore + 1);
  EXPECT_EQ(console->sequence(), 0);
  EXPECT_TRUE(console->hasPeer());
  EXPECT_EQ(fakes.view.status, kWaiting);
  EXPECT_TRUE(fakes.view.endEnabled);
  ASSERT_EQ(fakes.view.rows.size(), 1u);
  EXPECT_FALSE(fakes.view.rows[0].enabled);
}

TEST_F(ConsoleTest, ConsoleAndMacDeriveTheSameKey) {
  startSession();
  EXPECT_EQ(console->cipher()->key(), macCipher->key());
  // The header shows the code the person at the computer reads out.
  EXPECT_EQ(fakes.view.sessionHeader, "Verification code: " + macCipher->verificationCode());
  console->queueSignal(Json{{"type", "answer"}, {"sdp", "x"}});
  ASSERT_EQ(console->outgoing().size(), 1u);
  auto opened = openFromBase64(*macCipher, console->outgoing()[0]);
  ASSERT_TRUE(opened);
  EXPECT_EQ(Json::parse(*opened)["sdp"], "x");
}

TEST_F(ConsoleTest, EachAccessRequestHasItsOwnSecrets) {
  startSession();
  const Json first = request;
  console->end();
  startSession();
  EXPECT_NE(request["id"], first["id"]);
  EXPECT_NE(request["browserKey"], first["browserKey"]);
  EXPECT_NE(request["salt"], first["salt"]);
}

TEST_F(ConsoleTest, MalformedDeviceKeyShowsTheCipherError) {
  Json record = deviceRecord("mac-1", "Studio", true);
  record["publicKey"] = base64Encode(Bytes(33, 2));
  loadDevices(Json::array({record}));
  fakes.view.pressRequestAccess(0);
  EXPECT_EQ(fakes.view.status, "Invalid session encryption envelope");
  EXPECT_FALSE(http.find("/api/admin/request"));
  EXPECT_TRUE(console->sid().empty());
}

TEST_F(ConsoleTest, RecordWithoutKeyOrOutOfRangeIndexDoesNothing) {
  Json record = deviceRecord("mac-1", "Studio", true);
  record.erase("publicKey");
  loadDevices(Json::array({record}));
  const std::string status = fakes.view.status;
  fakes.view.pressRequestAccess(0);
  fakes.view.pressRequestAccess(5);
  EXPECT_EQ(fakes.view.status, status);
  EXPECT_EQ(http.pending(), 0u);
}

TEST_F(ConsoleTest, RefusedAccessRequestShowsServiceText) {
  // Whatever shape the refusal takes (a repeat after a denial is throttled),
  // the technician reads the service's own sentence.
  const struct {
    int status;
    Json body;
    std::string shown;
  } cases[] = {
      {403, Json{{"error", "This Mac belongs to another team."}}, "This Mac belongs to another team."},
      {429, Json{{"error", "throttled"}, {"description", "The person refused. Try again in 5 minutes."}},
       "The person refused. Try again in 5 minutes."},
      {429, Json{{"error", Json{{"domain", "Kestrelix"}, {"description", "Try again in 30 minutes."}}}},
       "Try again in 30 minutes."},
  };
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  for (const auto& c : cases) {
    fakes.view.pressRequestAccess(0);
    http.respondTo("/api/admin/request", c.status, dumpJson(c.body));
    EXPECT_EQ(fakes.view.status, c.shown);
    EXPECT_TRUE(console->sid().empty());
  }
  EXPECT_FALSE(console->hasPeer());
  EXPECT_TRUE(engine.connections().empty());
}

TEST_F(ConsoleTest, RequestAccessIsIgnoredWhileASessionRuns) {
  startSession();
  console->connectDevice(0);
  EXPECT_EQ(countSent("/api/admin/request"), 1u);
}

TEST_F(ConsoleTest, SecondPressWhileTheRequestIsOnItsWayIsIgnored) {
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  fakes.view.pressRequestAccess(0);
  fakes.view.pressRequestAccess(0);
  EXPECT_EQ(countSent("/api/admin/request"), 1u);
}

TEST_F(ConsoleTest, AccessGrantedAfterSignOutIsWithdrawn) {
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  fakes.view.pressRequestAccess(0);
  const std::string id = http.at(*http.find("/api/admin/request")).json()["id"].get<std::string>();
  console->signOut();
  http.respondTo("/api/admin/request", 200, "{}");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_FALSE(console->hasPeer());
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
}

// --- Poll cycle -----------------------------------------------------------

TEST_F(ConsoleTest, PollsEverySecondUntilTheMacAnswersThenEveryThree) {
  startSession();
  std::vector<double> times;
  auto run = [&](double seconds) {
    for (double t = 0; t < seconds; t += 0.5) {
      loop.advance(0.5);
      if (http.find(sessionPath("/status"))) {
        times.push_back(loop.uptime());
        answerStatus(Json{{"state", "pending"}});
      }
    }
  };
  run(3);
  EXPECT_EQ(times, (std::vector<double>{1000.5, 1001.5, 1002.5}));
  openChannel();
  macReportsState(true);
  times.clear();
  run(7);
  EXPECT_EQ(times, (std::vector<double>{1003.5, 1006.5, 1009.5}));
}

TEST_F(ConsoleTest, OnlyOnePollCycleAtATime) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  loop.advance(5);
  EXPECT_EQ(countSent(sessionPath("/status")), 1u);
  EXPECT_TRUE(console->busy());
  answerStatus(Json{{"state", "pending"}});
  EXPECT_FALSE(console->busy());
  loop.advance(0.5);
  EXPECT_EQ(countSent(sessionPath("/status")), 2u);
}

TEST_F(ConsoleTest, StatusAnsweredAfterEndSessionChangesNothing) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  const std::string oldStatus = sessionPath("/status");
  fakes.view.actions.end();
  startSession();
  http.respondTo(oldStatus, 200, dumpJson(Json{{"state", "ended"}}));
  EXPECT_FALSE(console->sid().empty());
  EXPECT_EQ(fakes.view.status, kWaiting);
  EXPECT_FALSE(console->busy());
}

TEST_F(ConsoleTest, ErrorOfAnEndedSessionLeavesTheNextOneAlone) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  const std::string oldStatus = sessionPath("/status");
  console->end();
  startSession();
  http.respondTo(oldStatus, 404, dumpJson(Json{{"error", "Unknown session."}}));
  EXPECT_FALSE(console->sid().empty());
  EXPECT_EQ(fakes.view.status, kWaiting);
}

TEST_F(ConsoleTest, TwentyQueuedSignalsArePostedEightEightFourInOrder) {
  startSession();
  for (int i = 0; i < 20; ++i) console->queueSignal(Json{{"type", "candidate"}, {"n", i}});
  std::vector<Json> posted;
  std::vector<size_t> batches;
  for (int cycle = 0; cycle < 4; ++cycle) {
    ASSERT_TRUE(advanceToPoll());
    answerStatus(approvedWith({}));
    if (auto post = http.find(sessionPath("/signal"))) {
      const auto& call = http.at(*post);
      EXPECT_EQ(call.method(), "POST");
      auto opened = openPayloads(call.json());
      batches.push_back(opened.size());
      posted.insert(posted.end(), opened.begin(), opened.end());
      http.respond(200, "{}", *post);
    }
  }
  EXPECT_EQ(batches, (std::vector<size_t>{8, 8, 4}));
  ASSERT_EQ(posted.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(posted[i]["n"], i);
    EXPECT_TRUE(isCanonicalUuid(posted[i]["messageId"].get<std::string>()));
  }
  EXPECT_TRUE(console->outgoing().empty());
}

TEST_F(ConsoleTest, SignalsQueuedDuringAPostWaitBehindIt) {
  startSession();
  for (int i = 0; i < 10; ++i) console->queueSignal(Json{{"type", "candidate"}, {"n", i}});
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({}));
  console->queueSignal(Json{{"type", "candidate"}, {"n", 10}});
  http.respondTo(sessionPath("/signal"), 200, "{}");
  ASSERT_EQ(console->outgoing().size(), 3u);
  EXPECT_EQ(Json::parse(*openFromBase64(*macCipher, console->outgoing()[0]))["n"], 8);
  EXPECT_EQ(Json::parse(*openFromBase64(*macCipher, console->outgoing()[2]))["n"], 10);
}

TEST_F(ConsoleTest, OutgoingQueueHoldsAtMost128) {
  startSession();
  for (int i = 0; i < 130; ++i) console->queueSignal(Json{{"type", "candidate"}, {"n", i}});
  ASSERT_EQ(console->outgoing().size(), 128u);
  EXPECT_EQ(Json::parse(*openFromBase64(*macCipher, console->outgoing().back()))["n"], 127);
}

TEST_F(ConsoleTest, QueuedSignalGetsItsOwnMessageId) {
  startSession();
  console->queueSignal(Json{{"type", "answer"}, {"messageId", "chosen-by-caller"}});
  auto opened = Json::parse(*openFromBase64(*macCipher, console->outgoing()[0]));
  EXPECT_TRUE(isCanonicalUuid(opened["messageId"].get<std::string>()));
}

TEST_F(ConsoleTest, OfferIsAnsweredThroughTheServiceInTheSameCycle) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("m1")}));
  ASSERT_TRUE(connection->remoteDescription());
  EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=mac-offer\r\n");
  // The answer leaves before the cycle ends, not a whole cycle later.
  auto post = http.find(sessionPath("/signal"));
  ASSERT_TRUE(post);
  auto opened = openPayloads(http.at(*post).json());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]["type"], "answer");
  EXPECT_EQ(opened[0]["sdp"], connection->localDescription()->second);
  http.respond(200, "{}", *post);
  loop.runUntilIdle();
  EXPECT_TRUE(console->outgoing().empty());
  EXPECT_FALSE(console->busy());
  for (const char* step : {"access requested", "approved", "offer received", "answer made", "answer posted"}) {
    EXPECT_TRUE(console->timeline().has(step)) << step;
  }
}

TEST_F(ConsoleTest, SignalsInTheStatusAnswerAvoidTheSeparateFetch) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({}));
  EXPECT_EQ(countSent(sessionPath("/signal")), 0u);
  EXPECT_FALSE(console->busy());
}

TEST_F(ConsoleTest, WithoutSignalsInTheStatusTheyAreFetched) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(Json{{"state", "approved"}});
  auto fetch = http.find(sessionPath("/signal"));
  ASSERT_TRUE(fetch);
  EXPECT_EQ(http.at(*fetch).method(), "GET");
  http.respond(200, dumpJson(Json{{"signals", {offer("m1")}}}), *fetch);
  loop.runUntilIdle();
  EXPECT_TRUE(connection->remoteDescription());
}

TEST_F(ConsoleTest, RepeatedMessageIdsAreTakenOnce) {
  startSession();
  const std::string c1 = "candidate:1 1 udp 2122260223 10.0.0.5 50000 typ host";
  const std::string c2 = "candidate:2 1 udp 2122260223 10.0.0.5 50001 typ host";
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("m1"), candidate("c1", c1), candidate("c1", c1)}));
  http.respondTo(sessionPath("/signal"), 200, "{}");  // the answer
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("m1"), candidate("c1", c1), candidate("c2", c2)}));
  if (auto post = http.find(sessionPath("/signal"))) http.respond(200, "{}", *post);
  loop.runUntilIdle();
  const auto added = connection->addedCandidates();
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0].candidate, c1);
  EXPECT_EQ(added[1].candidate, c2);
  EXPECT_EQ(console->seenCount(), 3u);
}

TEST_F(ConsoleTest, UnreadableSignalsAreSkippedSilently) {
  startSession();
  auto otherCipher = SessionCipher::fromKey({});
  std::vector<Json> signals = {
      Json{{"payload", "%%%not base64"}},
      Json{{"payload", 5}},
      Json{{"payload", *sealToBase64(otherCipher, R"({"type":"offer","sdp":"x","messageId":"a"})")}},
      Json{{"payload", *sealToBase64(*macCipher, "not json")}},
      Json{{"payload", *sealToBase64(*macCipher, R"({"type":"offer","sdp":"x"})")}},
      Json{{"payload", *sealToBase64(*macCipher, R"({"type":"offer","sdp":"x","messageId":7})")}},
      offer("m1"),
  };
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith(signals));
  EXPECT_EQ(console->seenCount(), 1u);
  EXPECT_TRUE(connection->remoteDescription());
  EXPECT_FALSE(console->sid().empty());
}

TEST_F(ConsoleTest, SignalListThatIsNotAListOfObjectsCountsAsEmpty) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(Json{{"state", "approved"}, {"signals", {offer("m1"), 3}}});
  EXPECT_EQ(console->seenCount(), 0u);
  EXPECT_EQ(countSent(sessionPath("/signal")), 0u);
}

TEST_F(ConsoleTest, AtMost512IncomingSignalsPerSession) {
  startSession();
  std::vector<Json> noise;
  for (int i = 0; i < 513; ++i) noise.push_back(sealedSignal(Json{{"type", "noise"}, {"messageId", std::to_string(i)}}));
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith(noise));
  EXPECT_EQ(console->seenCount(), 512u);
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("late")}));
  EXPECT_FALSE(connection->remoteDescription());
  EXPECT_FALSE(console->sid().empty());
}

TEST_F(ConsoleTest, DeniedSessionEndsAndStopsPolling) {
  startSession();
  const std::string id = console->sid();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(Json{{"state", "denied"}});
  EXPECT_EQ(fakes.view.status, "Session denied");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_TRUE(fakes.view.rows[0].enabled);
  EXPECT_FALSE(fakes.view.endEnabled);
  auto endCall = http.find("/api/admin/session/" + id + "/end");
  ASSERT_TRUE(endCall);
  EXPECT_EQ(http.at(*endCall).method(), "POST");
  EXPECT_EQ(http.at(*endCall).body(), "{}");
  const size_t statusCalls = countSent("/api/admin/session/" + id + "/status");
  loop.advance(10);
  EXPECT_EQ(countSent("/api/admin/session/" + id + "/status"), statusCalls);
}

TEST_F(ConsoleTest, EndedSessionShowsSessionEnded) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(Json{{"state", "ended"}});
  EXPECT_EQ(fakes.view.status, "Session ended");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_TRUE(connection->closed());
}

TEST_F(ConsoleTest, PollErrorEndsTheSessionWithItsText) {
  startSession();
  const std::string id = console->sid();
  ASSERT_TRUE(advanceToPoll());
  http.respondTo(sessionPath("/status"), 404, dumpJson(Json{{"error", "Unknown session."}}));
  EXPECT_EQ(fakes.view.status, "Unknown session.");
  EXPECT_TRUE(console->sid().empty());
  EXPECT_FALSE(console->busy());
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
}

TEST_F(ConsoleTest, FailedSignalPostEndsTheSession) {
  startSession();
  console->queueSignal(Json{{"type", "answer"}});
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({}));
  http.respondTo(sessionPath("/signal"), 500, "oops");
  EXPECT_EQ(fakes.view.status, "Unable to connect to the support service");
  EXPECT_TRUE(console->sid().empty());
}

TEST_F(ConsoleTest, OfferRefusedByThePeerEndsTheSession) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("m1", std::string(48001, 'v'))}));
  EXPECT_EQ(fakes.view.status, "The operation couldn’t be completed. (Invalid offer error 1.)");
  EXPECT_TRUE(console->sid().empty());
}

TEST_F(ConsoleTest, EndWhileThePeerAppliesAnOfferIsSafe) {
  engine.options.deferCompletions = true;
  startSession();
  ASSERT_TRUE(advanceToPoll());
  answerStatus(approvedWith({offer("m1")}));
  ASSERT_GT(connection->pendingCompletions(), 0u);
  console->end();
  EXPECT_FALSE(console->hasPeer());
  connection->completeAll();
  loop.runUntilIdle();
  EXPECT_TRUE(console->outgoing().empty());
  EXPECT_FALSE(console->busy());
}

TEST_F(ConsoleTest, PeerClosingEndsTheSession) {
  startSession();
  connection->emitIceState(IceConnectionState::kFailed);
  loop.runUntilIdle();
  EXPECT_EQ(fakes.view.status, "Connection ended. Request a new approved session.");
  EXPECT_TRUE(console->sid().empty());
}

TEST_F(ConsoleTest, PeerConnectingChangesNothing) {
  startSession();
  connection->emitIceState(IceConnectionState::kChecking);
  connection->emitIceState(IceConnectionState::kConnected);
  loop.runUntilIdle();
  EXPECT_EQ(fakes.view.status, kWaiting);
  EXPECT_FALSE(console->sid().empty());
}

// --- End ------------------------------------------------------------------

TEST_F(ConsoleTest, EndSessionTellsTheMacAndTheService) {
  startControlledSession();
  const std::string id = console->sid();
  fakes.view.actions.end();
  const auto sent = sentMessages();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), (Json{{"kind", "end"}, {"seq", 1}}));
  EXPECT_TRUE(http.find("/api/admin/session/" + id + "/end"));
  EXPECT_TRUE(connection->closed());
  EXPECT_FALSE(console->cipher());
  EXPECT_FALSE(console->canControl());
  EXPECT_FALSE(console->display().allowed());
  EXPECT_EQ(console->lastPong(), 0);
  EXPECT_FALSE(fakes.view.endEnabled);
  EXPECT_TRUE(fakes.view.rows[0].enabled);
  EXPECT_EQ(fakes.view.status, "Session ended");
}

TEST_F(ConsoleTest, QuitWaitsForTheEndRequestButNotLong) {
  const struct {
    bool answered;
    double wait;  // virtual seconds before quitting may go on
  } cases[] = {{true, 0}, {false, AdminConsole::kQuitTimeout}};
  for (const auto& c : cases) {
    startSession();
    const std::string id = console->sid();
    int quits = 0;
    console->quit([&] { ++quits; });
    EXPECT_TRUE(console->sid().empty());
    EXPECT_EQ(fakes.view.sessionHeader, "");
    ASSERT_TRUE(http.find("/api/admin/session/" + id + "/end"));
    EXPECT_EQ(quits, 0);
    if (c.answered) http.respondTo("/api/admin/session/" + id + "/end", 200, "{}");
    loop.advance(c.wait);
    EXPECT_EQ(quits, 1);
    loop.advance(5);
    EXPECT_EQ(quits, 1);
    http.abandonAll();
  }
  int quits = 0;
  console->quit([&] { ++quits; });  // no session: at once
  EXPECT_EQ(quits, 1);
}

TEST_F(ConsoleTest, SignOutEndsTheSessionWithTheTokenItHad) {
  startSession();
  const std::string id = console->sid();
  fakes.view.actions.signOut();
  ASSERT_TRUE(http.find("/api/admin/session/" + id + "/end"));
  EXPECT_EQ(http.at(*http.find("/api/admin/session/" + id + "/end")).header("Authorization"),
            std::string("Bearer ") + testing::kToken);
  EXPECT_EQ(console->token(), "");
}

TEST_F(ConsoleTest, EndLetsGoOfAHeldButtonFirst) {
  startControlledSession();
  console->display().setBounds(1600, 1000);
  console->display().mouseDown(MouseButton::kLeft, {800, 500}, 1);
  console->end();
  const auto sent = sentMessages();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1]["action"], "up");
  EXPECT_EQ(sent[1]["seq"], 2);
  EXPECT_EQ(sent[2]["kind"], "end");
}

TEST_F(ConsoleTest, EndWithoutSessionOnlyAdvancesTheEpoch) {
  const int64_t epoch = console->epoch();
  console->end();
  EXPECT_EQ(console->epoch(), epoch + 1);
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(ConsoleTest, ClosingTheWindowEndsTheSessionAndHidesTheApp) {
  startSession();
  fakes.view.actions.windowWillClose();
  EXPECT_TRUE(console->sid().empty());
  EXPECT_EQ(fakes.view.regular, false);
}

TEST_F(ConsoleTest, ConsoleGoneWithASessionRunningIsSafe) {
  startSession();
  ASSERT_TRUE(advanceToPoll());
  const std::string statusPath = sessionPath("/status");
  console.reset();
  EXPECT_TRUE(connection->closed());
  http.respondTo(statusPath, 200, dumpJson(approvedWith({offer("m1")})));
  loop.advance(5);
  EXPECT_FALSE(connection->remoteDescription());
}

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

TEST_F(ConsoleTest, EachControlLevelSendsWhatTheMacUnderstands) {
  const std::pair<int64_t, std::vector<std::string>> levels[] = {
      {2, {"pointer:down"}}, {3, {"pointer:hover", "pointer:down"}}, {4, {"pointer:hover", "scroll", "pointer:down"}}};
  for (const auto& [level, expected] : levels) {
    startControlledSession(level);
    console->sendInput(pointer("hover"));
    console->sendInput(scroll());
    console->sendInput(pointer("down"));
    EXPECT_EQ(kinds(sentMessages()), expected) << level;
    console->end();
  }
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
