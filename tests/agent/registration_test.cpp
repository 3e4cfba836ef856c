// Registration: identity exchange, error texts, retry cadence, single flight.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

TEST(Registration, SendsTheEnrollmentAndStoresTheIdentity) {
  AgentHarness h;
  h.writeSettings(AgentHarness::enrollmentFile("ONE-TIME"));
  h.make().start();
  h.loop.runUntilIdle();
  ASSERT_TRUE(h.pending("/api/enroll"));
  const RecordedHttpRequest& request = h.http.next();
  EXPECT_EQ(request.url(), "https://support.kx.test/api/enroll");
  EXPECT_EQ(request.method(), "POST");
  EXPECT_EQ(request.header("Authorization"), "Bearer ");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  const Json body = request.json();
  EXPECT_EQ(body["token"], "ONE-TIME");
  EXPECT_TRUE(isCanonicalUuid(body["installation"].get<std::string>()));
  EXPECT_EQ(body["device"], "");
  EXPECT_EQ(body["key"], "");
  EXPECT_EQ(body["name"], "Test Host");
  const auto publicKey = base64Decode(body["publicKey"].get<std::string>());
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(publicKey->size(), 65u);
  EXPECT_EQ(body["publicKey"], h.devicePublicKey());

  h.respond("/api/enroll", Json{{"id", "DEV-9"}, {"key", "KEY-9"}});
  EXPECT_EQ(h.client->device(), "DEV-9");
  EXPECT_EQ(h.client->secret(), "KEY-9");
  EXPECT_EQ(h.client->enrollment(), "");
  const Json stored = h.storedSettings();
  EXPECT_EQ(stored["device"], "DEV-9");
  EXPECT_EQ(stored["key"], "KEY-9");
  EXPECT_EQ(stored["token"], "");
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
  EXPECT_EQ(h.client->registrationError(), "");
  EXPECT_TRUE(h.client->hasServiceTimer());
}

TEST(Registration, LaterRegistrationsSendTheEmptyTokenAndTheIdentity) {
  AgentHarness h;
  h.startRegistered();
  // A failed contact re-registers.
  ASSERT_TRUE(h.advanceUntilPending("/api/device/DEV-1/poll"));
  h.respond("/api/device/DEV-1/poll", Json{{"error", "gone"}}, 503);
  ASSERT_TRUE(h.pending("/api/enroll"));
  const RecordedHttpRequest& request = h.http.at(*h.http.find("/api/enroll"));
  EXPECT_EQ(request.header("Authorization"), "Bearer KEY-1");
  EXPECT_EQ(request.json()["token"], "");
  EXPECT_EQ(request.json()["device"], "DEV-1");
  EXPECT_EQ(request.json()["key"], "KEY-1");
}

TEST(Registration, ReplyWithoutKeyFailsAndRetriesEveryFiveSeconds) {
  AgentHarness h;
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  h.respond("/api/enroll", Json{{"id", "DEV-1"}});
  EXPECT_EQ(h.client->registrationError(),
            "Invalid registration (1): The operation couldn\u2019t be completed. (Invalid registration error 1.)");
  EXPECT_EQ(h.menu.line(), "Connection failed · see Connection details");
  EXPECT_EQ(h.client->device(), "");
  EXPECT_FALSE(h.storedSettings().contains("device"));
  EXPECT_EQ(h.statusFile()["registrationError"], h.client->registrationError());

  h.loop.advance(4.9);
  EXPECT_FALSE(h.pending("/api/enroll"));
  h.loop.advance(0.2);
  EXPECT_TRUE(h.pending("/api/enroll"));
  h.respond("/api/enroll", Json::object(), 500);
  h.loop.advance(5.0);
  EXPECT_TRUE(h.pending("/api/enroll"));
}

TEST(Registration, RefusalShowsTheServiceText) {
  AgentHarness h;
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  h.respond("/api/enroll", Json{{"error", "Enrollment token already used"}}, 401);
  EXPECT_EQ(h.client->registrationError(), "KestrelixService (401): Server 401: Enrollment token already used");
}

TEST(Registration, TransportFailureKeepsThePreviousIdentity) {
  AgentHarness h;
  Json file = AgentHarness::enrollmentFile();
  file["device"] = "DEV-OLD";
  file["key"] = "KEY-OLD";
  h.writeSettings(file);
  h.make().start();
  h.loop.runUntilIdle();
  h.http.fail(makeError("libcurl", 7, "Couldn't connect to server"));
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->registrationError(), "libcurl (7): Couldn't connect to server");
  EXPECT_EQ(h.client->device(), "DEV-OLD");
  EXPECT_EQ(h.client->secret(), "KEY-OLD");
}

TEST(Registration, HostWithoutNameGetsTheDefaultName) {
  AgentHarness h;
  h.hostName = "";
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  EXPECT_EQ(h.http.next().json()["name"], kPlatformTexts.defaultDeviceName);
}

TEST(Registration, OnlyOneRegistrationAtATime) {
  AgentHarness h;
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  ASSERT_EQ(h.http.pending(), 1u);
  TaskScope scope;
  scope.spawn(h.client->registerDevice());
  scope.spawn(h.client->registerDevice());
  EXPECT_EQ(h.http.pending(), 1u);
  h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  EXPECT_FALSE(h.client->registering());
}

TEST(Registration, FailureWhilePollingSchedulesNoRetry) {
  AgentHarness h;
  h.startRegistered();
  TaskScope scope;
  scope.spawn(h.client->registerDevice());
  h.respond("/api/enroll", Json::object(), 500);
  EXPECT_EQ(h.menu.line(), "Connection failed · see Connection details");
  // The poll timer goes on; no registration retry.
  EXPECT_TRUE(h.advanceUntilPending("/api/device/DEV-1/poll"));
  h.loop.advance(6);
  EXPECT_FALSE(h.pending("/api/enroll"));
}

TEST(Registration, NotEnrolledSendsNothing) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  TaskScope scope;
  scope.spawn(h.client->registerDevice());
  EXPECT_TRUE(h.http.sent().empty());
  EXPECT_EQ(h.client->registrationError(),
            "Not enrolled (1): The operation couldn\u2019t be completed. (Not enrolled error 1.)");
}

}  // namespace
}  // namespace kx::testing
