// The poll tick: cadence, single flight, the service's word on the session,
// consent expiry and the failure path.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

size_t sentTo(const AgentHarness& h, std::string_view path) {
  size_t count = 0;
  for (const auto& request : h.http.sent()) count += request.path() == path ? 1 : 0;
  return count;
}

TEST(PollLoop, IdleAgentContactsTheServiceEveryFiveSeconds) {
  AgentHarness h;
  h.startRegistered();
  h.loop.advance(0.5);
  ASSERT_TRUE(h.pending("/api/device/DEV-1/poll"));
  const Json body = h.respond("/api/device/DEV-1/poll", Json::object()).json();
  EXPECT_EQ(body, (Json{{"videoTransport", "webrtc"},
                        {"rtcState", "idle"},
                        {"controlVersion", 4},
                        {"screenPermission", false},
                        {"inputPermission", true},
                        {"captureError", ""},
                        {"captureState", "idle"}}));
  h.loop.advance(4.5);
  EXPECT_FALSE(h.pending("/api/device/DEV-1/poll"));
  h.loop.advance(0.5);
  EXPECT_TRUE(h.pending("/api/device/DEV-1/poll"));
}

TEST(PollLoop, ApprovedSessionContactsEverySecond) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession()}});
  h.loop.advance(0.5);
  EXPECT_FALSE(h.pending("/api/device/DEV-1/poll"));
  h.loop.advance(0.5);
  EXPECT_TRUE(h.pending("/api/device/DEV-1/poll"));
}

TEST(PollLoop, TickWaitingForTheServiceKeepsOthersAway) {
  AgentHarness h;
  h.startRegistered();
  h.loop.advance(0.5);
  ASSERT_TRUE(h.pending("/api/device/DEV-1/poll"));
  h.loop.advance(30);
  EXPECT_EQ(sentTo(h, "/api/device/DEV-1/poll"), 1u);
  EXPECT_TRUE(h.client->processing());
}

TEST(PollLoop, MissingSessionClearsLocalStateWithoutEndRequest) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  ASSERT_FALSE(h.client->active().empty());
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json::object());
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
  EXPECT_EQ(sentTo(h, "/api/device/DEV-1/end"), 0u);
  EXPECT_FALSE(h.picker.active);
}

TEST(PollLoop, ApprovalForAnotherSessionClearsOurs) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  const int64_t generation = h.client->generation();
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", {{"id", newUuid()}, {"state", "approved"}}}});
  EXPECT_EQ(h.client->active(), "");
  EXPECT_GT(h.client->generation(), generation);
}

TEST(PollLoop, ApprovalOfOurSessionKeepsIt) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"session", h.approvedSession()}});
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_FALSE(h.client->processing());
}

TEST(PollLoop, ConsentEndsWithinHalfASecondOfItsDeadline) {
  AgentHarness h;
  h.startRegistered();
  h.approve(/*expiresIn=*/30);
  const double deadline = *h.client->consentLease().deadline();
  // A contact that hangs must not delay the expiry.
  ASSERT_TRUE(h.advanceUntilPoll());
  h.loop.advance(deadline - h.loop.uptime() - 0.01);
  EXPECT_FALSE(h.client->active().empty());
  h.loop.advance(0.5);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Support session expired · request fresh approval");
  const auto end = h.http.find("/api/device/DEV-1/end");
  ASSERT_TRUE(end);
  EXPECT_EQ(h.http.at(*end).json(), (Json{{"session", h.technician.id}}));
}

TEST(PollLoop, FailedContactEndsSessionAndRegistersAgain) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  ASSERT_TRUE(h.advanceUntilPoll());
  h.respond("/api/device/DEV-1/poll", Json{{"error", "Device unknown"}}, 404);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.client->captureError(), "Connection ended: Server 404: Device unknown");
  EXPECT_EQ(h.menu.line(), "Connection ended: Server 404: Device unknown");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
  ASSERT_TRUE(h.pending("/api/enroll"));
  EXPECT_FALSE(h.client->processing());
  // No polling until the registration succeeds.
  h.loop.advance(10);
  EXPECT_EQ(sentTo(h, "/api/device/DEV-1/poll"), 2u);
  h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
  EXPECT_TRUE(h.advanceUntilPoll(1));
}

TEST(PollLoop, HungRequestDoesNotOutliveAReplacedTransport) {
  AgentHarness h;
  h.startRegistered();
  h.loop.advance(0.5);
  ASSERT_TRUE(h.pending("/api/device/DEV-1/poll"));
  // A setup code or import replaces the transport while a poll waits; the
  // old request still completes and the tick ends normally.
  const std::string path = h.root + "/other.json";
  ASSERT_TRUE(writeFileAtomically(path, dumpJson(AgentHarness::enrollmentFile("NEW"))));
  h.client->importEnrollment();
  h.dialogs.choose(path);
  h.respond("/api/device/DEV-1/poll", Json::object());
  EXPECT_FALSE(h.client->processing());
  h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  EXPECT_TRUE(h.advanceUntilPoll(1));
}

}  // namespace
}  // namespace kx::testing
