// The consent prompt, the decision, the lease and the session keys.
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

}  // namespace
}  // namespace kx::testing
