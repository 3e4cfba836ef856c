// A support session on the agent: consent, signalling, capture and the
// technician's control messages.

#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

// Polls until the pending request is on screen.
void showPrompt(AgentHarness& h, Json session) {
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", std::move(session)}});
  ASSERT_EQ(h.dialogs.consent.size(), 1u);
}

TEST(Consent, PromptNamesTheTechnicianAndTheTerms) {
  AgentHarness h;
  h.startRegistered();
  showPrompt(h, h.pendingSession());
  const ConsentPrompt& prompt = h.dialogs.prompts.back();
  EXPECT_EQ(prompt.message, "Alex requests access");
  // The code the technician's cipher gives: the two people can compare them.
  EXPECT_EQ(prompt.informativeText, std::string(kPlatformTexts.consentDetail) +
                                        "\n\nVerification code: " + h.technicianCipher().verificationCode());
  EXPECT_EQ(prompt.approveTitle, "Approve");
  EXPECT_EQ(prompt.denyTitle, "Deny");
}

TEST(Consent, UnnamedTechnician) {
  AgentHarness h;
  h.startRegistered();
  Json session = h.pendingSession();
  session.erase("technician");
  showPrompt(h, session);
  EXPECT_EQ(h.dialogs.prompts.back().message, "Technician requests access");
}

TEST(Consent, NoContactWhileThePromptIsOpen) {
  AgentHarness h;
  h.startRegistered();
  showPrompt(h, h.pendingSession());
  const size_t sent = h.http.sent().size();
  h.loop.advance(20);
  EXPECT_EQ(h.http.sent().size(), sent);
  EXPECT_TRUE(h.client->processing());
}

TEST(Consent, DenialIsReportedAndChangesNothing) {
  AgentHarness h;
  h.startRegistered();
  showPrompt(h, h.pendingSession());
  h.dialogs.answerConsent(ConsentDecision::kDeny);
  h.loop.runUntilIdle();
  const auto decision = h.respond("/api/device/DEV-1/decision", Json::object());
  EXPECT_EQ(decision.json(), (Json{{"session", h.technician.id}, {"approve", false}}));
  EXPECT_EQ(h.client->active(), "");
  EXPECT_FALSE(h.client->processing());
  EXPECT_EQ(h.picker.presented, 0);
}

TEST(Consent, LateOrLostDecisionLeavesTheAgentOnline) {
  // The request ended while the prompt was up, or the answer was lost.
  const struct {
    ConsentDecision decision;
    std::optional<int> status;  // nullopt: the request failed in transport
    std::string line;
  } cases[] = {
      {ConsentDecision::kDeny, 409, "Online · awaiting requests"},
      {ConsentDecision::kDeny, std::nullopt, "Online · awaiting requests"},
      {ConsentDecision::kApprove, 409, "Support request expired · the technician can request again"},
  };
  for (const auto& c : cases) {
    AgentHarness h;
    h.startRegistered();
    showPrompt(h, h.pendingSession());
    h.dialogs.answerConsent(c.decision);
    h.loop.runUntilIdle();
    if (c.status) {
      h.respond("/api/device/DEV-1/decision", Json{{"error", "The request has expired."}}, *c.status);
    } else {
      h.http.fail(makeError("libcurl", 28, "Timeout"), *h.http.find("/api/device/DEV-1/decision"));
      h.loop.runUntilIdle();
    }
    EXPECT_EQ(h.menu.line(), c.line);
    EXPECT_EQ(h.client->active(), "");
    EXPECT_FALSE(h.client->processing());
    EXPECT_FALSE(h.pending("/api/enroll"));
    EXPECT_TRUE(h.client->hasServiceTimer());
    // A refused request the service still offers is refused again, unasked.
    ASSERT_TRUE(h.advanceUntilPoll());
    h.respond("/api/device/DEV-1/poll", Json{{"session", h.pendingSession()}});
    EXPECT_EQ(h.dialogs.prompts.size(), c.decision == ConsentDecision::kDeny ? 1u : 2u);
    if (c.decision == ConsentDecision::kDeny) {
      EXPECT_EQ(h.respond("/api/device/DEV-1/decision", Json::object()).json()["approve"], false);
    }
  }
}

TEST(Consent, ApprovalStartsTheDisplayChoice) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  EXPECT_EQ(h.http.sent()[h.http.sent().size() - 1].json(), (Json{{"session", h.technician.id}, {"approve", true}}));
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_EQ(h.client->lifecycle().phaseText(), "choosing");
  EXPECT_EQ(h.menu.line(), "Approved · choose a display to share");
  EXPECT_TRUE(h.picker.active);
  EXPECT_EQ(h.picker.presented, 1);
  EXPECT_TRUE(h.client->hasSessionKey());
  EXPECT_FALSE(h.client->processing());
}

TEST(Consent, LeaseFollowsTheServiceExpiryWithinThirtyMinutes) {
  struct Case {
    std::optional<double> expiresIn;
    double lease;
  };
  for (const Case c : {Case{600, 600}, Case{7200, 1800}, Case{std::nullopt, 1800}}) {
    AgentHarness h;
    h.startRegistered();
    h.approve(c.expiresIn);
    EXPECT_NEAR(*h.client->consentLease().deadline() - h.loop.uptime(), c.lease, 1e-6);
  }
}

TEST(Consent, PastExpiryEndsTheSessionAtTheNextTick) {
  AgentHarness h;
  h.startRegistered();
  h.approve(-60);
  h.loop.advance(0.5);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Support session expired · request fresh approval");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
}

TEST(Consent, MovingTheWallClockForwardDoesNotEndIt) {
  AgentHarness h;
  h.startRegistered();
  h.approve(600);
  h.loop.setWallTime(h.loop.wallTime() + 86400);
  for (int i = 0; i < 20; ++i) {
    h.loop.advance(1);
    if (h.pending("/api/device/DEV-1/poll"))
      h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession()}});
  }
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Consent, MissingSessionKeysEndTheJustApprovedSession) {
  AgentHarness h;
  h.startRegistered();
  Json session = h.pendingSession();
  session.erase("salt");
  showPrompt(h, session);
  h.dialogs.answerConsent(ConsentDecision::kApprove);
  h.loop.runUntilIdle();
  h.respond("/api/device/DEV-1/decision", Json::object());
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(),
            "Connection ended: The operation couldn\u2019t be completed. (Missing session encryption error 1.)");
  const auto end = h.http.find("/api/device/DEV-1/end");
  ASSERT_TRUE(end);
  EXPECT_EQ(h.http.at(*end).json()["session"], h.technician.id);
  EXPECT_TRUE(h.pending("/api/enroll"));
}

TEST(Consent, MalformedBrowserKeyEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  Json session = h.pendingSession();
  session["browserKey"] = base64Encode(randomBytes(33));
  showPrompt(h, session);
  h.dialogs.answerConsent(ConsentDecision::kApprove);
  h.loop.runUntilIdle();
  h.respond("/api/device/DEV-1/decision", Json::object());
  EXPECT_EQ(h.client->active(), "");
  EXPECT_FALSE(h.client->hasSessionKey());
  EXPECT_TRUE(h.menu.line().starts_with("Connection ended: "));
}

TEST(Consent, FailedDecisionRequestTakesTheFailurePath) {
  AgentHarness h;
  h.startRegistered();
  showPrompt(h, h.pendingSession());
  h.dialogs.answerConsent(ConsentDecision::kApprove);
  h.loop.runUntilIdle();
  h.respond("/api/device/DEV-1/decision", Json{{"error", "Session expired"}}, 410);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Connection ended: Server 410: Session expired");
  EXPECT_TRUE(h.pending("/api/enroll"));
}

TEST(Consent, NewApprovalReplacesARunningSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const std::string first = h.client->active();
  auto firstStream = h.capture.last();
  h.technician = Technician();
  showPrompt(h, h.pendingSession());
  h.dialogs.answerConsent(ConsentDecision::kApprove);
  h.loop.runUntilIdle();
  h.respond("/api/device/DEV-1/decision", Json::object());
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_EQ(firstStream->stops, 1);
  const auto end = h.http.find("/api/device/DEV-1/end");
  ASSERT_TRUE(end);
  EXPECT_EQ(h.http.at(*end).json()["session"], first);
}

TEST(EndSession, MenuEndsAndReportsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  EXPECT_EQ(h.menu.sharing, "Alex");
  const std::string session = h.client->active();
  h.client->endSession();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "idle");
  EXPECT_EQ(h.menu.title(), "KX Test");
  EXPECT_EQ(h.menu.sharing, std::nullopt);
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
  EXPECT_EQ(h.respond("/api/device/DEV-1/end", Json::object()).json(), (Json{{"session", session}}));
}

TEST(EndSession, WithoutSessionOnlyClears) {
  AgentHarness h;
  h.startRegistered();
  const size_t sent = h.http.sent().size();
  const int64_t generation = h.client->generation();
  h.client->endSession();
  EXPECT_EQ(h.http.sent().size(), sent);
  EXPECT_EQ(h.client->generation(), generation + 1);
}

TEST(EndSession, NotEnrolledStaysNotEnrolled) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  h.client->endSession();
  EXPECT_EQ(h.menu.line(), "Not enrolled · import enrollment file");
}

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

// Releases the engine's completions until none is left (each may start the next step).
void settle(AgentHarness& h, FakePeerConnection& connection) {
  h.loop.runUntilIdle();
  while (connection.pendingCompletions() > 0) {
    connection.completeAll();
    h.loop.runUntilIdle();
  }
}

bool called(const FakePeerConnection& connection, std::string_view call) {
  for (const auto& c : connection.calls())
    if (c == call) return true;
  return false;
}

TEST(Capture, PickedDisplayIsSharedAtFixedWidth) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick(Rect{0, 0, 2560, 1440});
  auto stream = h.capture.last();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->configuration.width, 1440);
  EXPECT_EQ(stream->configuration.height, 810);
  EXPECT_EQ(stream->outputs.size(), 1u);
  EXPECT_EQ(h.engine.last()->videoSource()->format(), (FakeVideoSource::Format{1440, 810, 30}));
  EXPECT_EQ(h.client->displayBounds(), (Rect{0, 0, 2560, 1440}));
  EXPECT_EQ(h.client->lifecycle().phaseText(), "streaming");
  EXPECT_EQ(h.client->rtcState(), "connecting");
  EXPECT_TRUE(called(*h.engine.last(), "createOffer"));
  EXPECT_EQ(h.menu.line(), "Sharing · approved technician");
  EXPECT_EQ(h.menu.title(), "● KX Sharing");
  EXPECT_EQ(h.statusFile()["captureState"], "streaming");
}

TEST(Capture, SecondPickInTheSameSessionDoesNothing) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  h.pick();
  EXPECT_EQ(h.capture.streams.size(), 1u);
  EXPECT_EQ(h.engine.connections().size(), 1u);
}

TEST(Capture, PickWithoutDisplayPausesForGood) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.didUpdate(ContentFilter{});
  h.loop.runUntilIdle();
  EXPECT_EQ(h.menu.line(), "Capture paused: No display was selected");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
  EXPECT_EQ(h.client->active(), h.technician.id);
  h.pick();
  EXPECT_TRUE(h.capture.streams.empty());
}

TEST(Capture, PickAfterConsentRanOutDoesNothing) {
  AgentHarness h;
  h.startRegistered();
  h.approve(-1);
  h.pick();
  EXPECT_TRUE(h.capture.streams.empty());
  EXPECT_EQ(h.client->lifecycle().phaseText(), "choosing");
}

TEST(Capture, CancelledPickerEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.didCancel();
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_FALSE(h.picker.active);
  EXPECT_EQ(h.respond("/api/device/DEV-1/end", Json::object()).json()["session"], h.technician.id);
}

TEST(Capture, PickerFailurePausesWithItsDescription) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.startDidFail(makeError("Picker", 3, "The display picker could not open"));
  EXPECT_EQ(h.menu.line(), "Capture paused: The display picker could not open");
  EXPECT_EQ(h.client->captureError(), "Capture paused: The display picker could not open");
  EXPECT_EQ(h.statusFile()["captureError"], "Capture paused: The display picker could not open");
}

TEST(Capture, StartFailurePausesAndTearsDown) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.capture.next.startResult = makeError("X11", 2, "Display :1 is gone");
  h.pick();
  EXPECT_EQ(h.menu.line(), "Capture paused: Display :1 is gone");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
  EXPECT_EQ(h.client->peer(), nullptr);
  EXPECT_TRUE(h.engine.last()->closed());
  EXPECT_EQ(h.capture.last()->stops, 1);
}

TEST(Capture, SessionClearedWhileStartingStopsTheNewStream) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.capture.next.deferStart = true;
  h.pick();
  auto stream = h.capture.last();
  h.client->endSession();
  const std::string line = h.menu.line();
  stream->pendingStart(Status{});
  h.loop.runUntilIdle();
  EXPECT_GE(stream->stops, 1);
  EXPECT_FALSE(called(*h.engine.last(), "createOffer"));
  EXPECT_EQ(h.menu.line(), line);
  EXPECT_EQ(h.client->lifecycle().phaseText(), "idle");
}

TEST(Capture, OfferFailingAfterTheSessionEndedLeavesTheMenuAlone) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.engine.options.deferCompletions = true;
  h.pick();
  auto connection = h.engine.last();
  connection->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  h.client->endSession();
  settle(h, *connection);
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
}

TEST(Capture, OfferFailurePauses) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.engine.options.deferCompletions = true;
  h.pick();
  auto connection = h.engine.last();
  connection->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  settle(h, *connection);
  EXPECT_EQ(h.menu.line(), "Capture paused: Local description refused");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
}

TEST(Capture, StopOfTheCurrentStreamEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.capture.last()->onStop(makeError("X11", 1, "The display was disconnected"));
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Sharing ended · The display was disconnected");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
}

TEST(Capture, StopReportOfAnEarlierStreamIsIgnored) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  auto first = h.capture.last();
  h.client->endSession();
  h.technician = Technician();
  h.startStreaming();
  ASSERT_NE(h.capture.last(), first);
  first->onStop(makeError("X11", 1, "gone"));
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Capture, StoppedStreamsAreReleasedOnceTheirStopIsConfirmed) {
  AgentHarness h;
  h.startRegistered();
  h.capture.next.deferStop = true;
  h.startStreaming();
  auto stream = h.capture.last();
  h.client->endSession();
  EXPECT_FALSE(stream->destroyed);
  stream->pendingStop(Status{});
  EXPECT_FALSE(stream->destroyed);  // not from inside its own call
  h.loop.runUntilIdle();
  EXPECT_TRUE(stream->destroyed);
}

TEST(Capture, PeerFailureEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.engine.last()->emitIceState(IceConnectionState::kFailed);
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.client->captureError(), "Real-time connection ended. A new approved session is needed.");
  EXPECT_EQ(h.menu.line(), "Real-time connection ended. A new approved session is needed.");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
}

TEST(Capture, ConnectingOnlyUpdatesTheState) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  h.engine.last()->emitIceState(IceConnectionState::kChecking);
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->rtcState(), "connecting");
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Capture, ConnectedPeerTellsTheTechnicianWhatItMayDo) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const auto messages = h.channelMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  EXPECT_EQ(h.client->rtcState(), "connected");
}

TEST(Capture, StopWithNothingRunningPostsNothing) {
  AgentHarness h;
  h.startRegistered();
  h.client->stopCapture();
  EXPECT_EQ(h.client->rtcState(), "idle");
  EXPECT_TRUE(h.injector.mouse.empty());
}

TEST(Capture, OnlyCompleteFramesAreCounted) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  CaptureOutput* output = h.capture.last()->outputs.front();
  output->onFrame(std::make_shared<FakeFrameBuffer>(1440, 900), 1000, FrameStatus::kIdle);
  output->onFrame(nullptr, 2000, FrameStatus::kComplete);
  output->onFrame(std::make_shared<FakeFrameBuffer>(1440, 900), 3000, FrameStatus::kComplete);
  EXPECT_EQ(h.client->peer()->framesSubmitted(), 1);
  h.client->writeStatus();
  EXPECT_EQ(h.statusFile()["capturedFrames"], 1);
}

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
