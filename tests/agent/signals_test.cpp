// Sealed signals: the outgoing queue and its batches, incoming signals and
// their de-duplication.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

Json candidateSignal(int n) {
  return Json{{"type", "candidate"},
              {"candidate",
               {{"candidate", "candidate:" + std::to_string(n) + " 1 udp 1 127.0.0.1 9 typ host"},
                {"sdpMid", "0"},
                {"sdpMLineIndex", 0}}}};
}

TEST(Signals, OfferIsSealedAndPostedBeforeThePoll) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  ASSERT_EQ(h.client->outgoingSignals().size(), 1u);
  h.loop.advance(5);
  ASSERT_TRUE(h.pending("/api/device/DEV-1/signal"));
  EXPECT_FALSE(h.pending("/api/device/DEV-1/poll"));
  const Json body = h.respond("/api/device/DEV-1/signal", Json::object()).json();
  EXPECT_EQ(body["session"], h.technician.id);
  ASSERT_EQ(body["payloads"].size(), 1u);
  const auto opened = openFromBase64(h.technicianCipher(), body["payloads"][0].get<std::string>());
  ASSERT_TRUE(opened);
  const Json offer = parseJson(*opened).value();
  EXPECT_EQ(offer["type"], "offer");
  EXPECT_TRUE(offer["sdp"].get<std::string>().starts_with("v=0"));
  EXPECT_TRUE(isCanonicalUuid(offer["messageId"].get<std::string>()));
  EXPECT_TRUE(h.client->outgoingSignals().empty());
  EXPECT_TRUE(h.pending("/api/device/DEV-1/poll"));
}

TEST(Signals, TheStatusFileTimesEachStepOfTheSessionStart) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  h.loop.advance(1);
  ASSERT_TRUE(h.pending("/api/device/DEV-1/signal"));
  h.respond("/api/device/DEV-1/signal", Json::object());
  h.client->writeStatus();
  const Json status = h.statusFile();
  std::vector<std::string> steps;
  double previous = 0;
  for (const Json& step : status["sessionTimeline"]) {
    steps.push_back(step["step"]);
    EXPECT_GE(step["uptime"].get<double>(), previous) << step;
    previous = step["uptime"];
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"approved", "display picked", "capture started", "offer made",
                                             "offer sealed", "offer posted"}));
}

TEST(Signals, QueueHoldsAtMost256) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  for (int i = 0; i < 300; ++i) h.client->queueSignal(candidateSignal(i));
  EXPECT_EQ(h.client->outgoingSignals().size(), 256u);
  // A batch of 16 leaves room for exactly 16 more.
  ASSERT_TRUE(h.advanceUntilPending("/api/device/DEV-1/signal"));
  EXPECT_EQ(h.respond("/api/device/DEV-1/signal", Json::object()).json()["payloads"].size(), 16u);
  for (int i = 0; i < 20; ++i) h.client->queueSignal(candidateSignal(i));
  EXPECT_EQ(h.client->outgoingSignals().size(), 256u);
}

TEST(Signals, OnlyWhatWasSentLeavesTheQueue) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  for (int i = 0; i < 20; ++i) h.client->queueSignal(candidateSignal(i));
  const std::vector<std::string> before = h.client->outgoingSignals();
  ASSERT_TRUE(h.advanceUntilPending("/api/device/DEV-1/signal"));
  for (int i = 20; i < 23; ++i) h.client->queueSignal(candidateSignal(i));
  h.respond("/api/device/DEV-1/signal", Json::object());
  const auto& after = h.client->outgoingSignals();
  ASSERT_EQ(after.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 4),
            std::vector<std::string>(before.begin() + 16, before.end()));
}

TEST(Signals, NothingIsQueuedWithoutASession) {
  AgentHarness h;
  h.startRegistered();
  h.client->queueSignal(candidateSignal(1));
  EXPECT_TRUE(h.client->outgoingSignals().empty());
}

TEST(Signals, FailedPostEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.client->queueSignal(candidateSignal(1));
  ASSERT_TRUE(h.advanceUntilPending("/api/device/DEV-1/signal"));
  h.respond("/api/device/DEV-1/signal", Json{{"error", "Too many signals"}}, 429);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Connection ended: Server 429: Too many signals");
  EXPECT_FALSE(h.pending("/api/device/DEV-1/poll"));
}

// Streams, then answers the next poll with these signals.
void deliverSignals(AgentHarness& h, const std::vector<Json>& messages) {
  Json signals = Json::array();
  for (const Json& m : messages) signals.push_back(Json{{"payload", h.sealText(m)}});
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession(signals)}});
}

TEST(Signals, AnswerAndCandidatesReachThePeerOnce) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  Json answer{{"type", "answer"}, {"sdp", "v=0\r\ns=answer\r\n"}, {"messageId", newUuid()}};
  Json candidate = candidateSignal(7);
  candidate["messageId"] = newUuid();
  deliverSignals(h, {candidate, answer});
  auto connection = h.engine.last();
  EXPECT_TRUE(connection->remoteDescription());
  ASSERT_EQ(connection->addedCandidates().size(), 1u);
  EXPECT_EQ(h.client->seenSignals().size(), 2u);

  // The service relays the same signals again: nothing is applied twice.
  deliverSignals(h, {candidate, answer});
  EXPECT_EQ(connection->addedCandidates().size(), 1u);
  int remoteSets = 0;
  for (const auto& call : connection->calls()) remoteSets += call == "setRemoteDescription:answer" ? 1 : 0;
  EXPECT_EQ(remoteSets, 1);
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Signals, ReflectedOwnSignalsAreNotTakenAsTheTechnicians) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.engine.last()->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 1 127.0.0.1 9 typ host", 0, "0"});
  h.loop.runUntilIdle();
  // The service sends our own sealed offer and candidate back, and a forged
  // offer under a fresh id (only this side ever makes offers).
  std::vector<std::string> own = h.client->outgoingSignals();
  ASSERT_EQ(own.size(), 2u);
  Json signals = Json::array();
  for (const std::string& payload : own) signals.push_back(Json{{"payload", payload}});
  signals.push_back(Json{{"payload", h.sealText(Json{{"type", "offer"}, {"sdp", "v=0\r\n"}, {"messageId", newUuid()}})}});
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession(signals)}});
  EXPECT_TRUE(h.engine.last()->addedCandidates().empty());
  EXPECT_TRUE(h.client->seenSignals().empty());
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Signals, IgnoredUntilStreaming) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  deliverSignals(h, {Json{{"type", "answer"}, {"sdp", "v=0\r\n"}, {"messageId", newUuid()}}});
  EXPECT_TRUE(h.client->seenSignals().empty());
}

TEST(Signals, UnreadablePayloadsAreSkippedSilently) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const SessionCipher stranger = SessionCipher::fromKey(std::array<uint8_t, 32>{});
  Json signals = Json::array({
      Json{{"payload", "not base64!"}},
      Json{{"payload", sealToBase64(stranger, R"({"type":"answer","sdp":"x","messageId":"A"})").value()}},
      Json{{"payload", h.sealText(Json::array({1, 2}))}},
      Json{{"payload", h.sealText(Json{{"type", "answer"}, {"sdp", "v=0\r\n"}})}},
      Json{{"payload", 5}},
  });
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession(signals)}});
  EXPECT_TRUE(h.client->seenSignals().empty());
  EXPECT_FALSE(h.engine.last()->remoteDescription());
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Signals, SeenIdsStopAt512) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  std::vector<Json> messages;
  for (int i = 0; i < 513; ++i) messages.push_back(Json{{"type", "note"}, {"messageId", "M" + std::to_string(i)}});
  deliverSignals(h, messages);
  EXPECT_EQ(h.client->seenSignals().size(), 512u);
  EXPECT_FALSE(h.client->seenSignals().count("M512"));
  // Once full, even a real answer is skipped.
  deliverSignals(h, {Json{{"type", "answer"}, {"sdp", "v=0\r\n"}, {"messageId", newUuid()}}});
  EXPECT_FALSE(h.engine.last()->remoteDescription());
}

TEST(Signals, OversizedAnswerEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const std::string session = h.client->active();
  deliverSignals(h, {Json{{"type", "answer"}, {"sdp", std::string(48001, 'a')}, {"messageId", newUuid()}}});
  EXPECT_EQ(h.client->active(), "");
  EXPECT_TRUE(h.menu.line().starts_with("Connection ended: "));
  EXPECT_NE(h.menu.line().find("Invalid WebRTC answer"), std::string::npos);
  const auto end = h.http.find("/api/device/DEV-1/end");
  ASSERT_TRUE(end);
  EXPECT_EQ(h.http.at(*end).json()["session"], session);
  EXPECT_TRUE(h.pending("/api/enroll"));
}

TEST(Signals, QueuesAreEmptiedWhenCaptureStops) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  deliverSignals(h, {Json{{"type", "note"}, {"messageId", "X"}}});
  h.client->queueSignal(candidateSignal(1));
  h.client->stopCapture();
  EXPECT_TRUE(h.client->outgoingSignals().empty());
  EXPECT_TRUE(h.client->seenSignals().empty());
  EXPECT_EQ(h.client->rtcState(), "idle");
}

}  // namespace
}  // namespace kx::testing
