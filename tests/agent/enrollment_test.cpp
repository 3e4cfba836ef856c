// Enrollment through the agent: the file import, the setup code, the stored
// record, and the setup window's actions.
#include <sys/stat.h>

#include <filesystem>

#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

std::string writeFile(AgentHarness& h, const std::string& name, const std::string& text) {
  const std::string path = h.root + "/" + name;
  EXPECT_TRUE(writeFileAtomically(path, text));
  return path;
}

TEST(Import, ChosenFileIsStoredPrivatelyAndRegistered) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  h.client->importEnrollment();
  ASSERT_EQ(h.dialogs.panelTitles,
            std::vector<std::string>{"Choose the enrollment file supplied with your test installer"});
  h.dialogs.choose(writeFile(h, "kx.json", dumpJson(AgentHarness::enrollmentFile("FILE-TOKEN"))));
  EXPECT_TRUE(h.pending("/api/enroll"));
  const Json stored = h.storedSettings();
  EXPECT_EQ(stored["url"], kServiceAddress);
  EXPECT_EQ(stored["token"], "FILE-TOKEN");
  EXPECT_FALSE(stored.contains("device"));
  EXPECT_FALSE(stored.contains("key"));
  EXPECT_TRUE(stored.contains("installation"));
  EXPECT_TRUE(stored.contains("capturePrivateKey"));
  struct stat info {};
  ASSERT_EQ(stat(h.settingsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(h.client->base(), kServiceAddress);
}

TEST(Import, FailedImportIsReportedAndTheOldEnrollmentKeepsServing) {
  const struct {
    const char* url;
    bool storeWritable;
    const char* reason;  // "" for any
  } cases[] = {
      {"http://support.kx.test", true, "Invalid support service address."},
      {kServiceAddress, false, ""},  // a valid record that cannot be saved
  };
  for (const auto& c : cases) {
    AgentHarness h;
    h.startRegistered();
    if (!c.storeWritable) {
      std::filesystem::remove(h.settingsPath());
      std::filesystem::create_directory(h.settingsPath());
    }
    h.client->importEnrollment();
    Json file = AgentHarness::enrollmentFile("NEW");
    file["url"] = c.url;
    h.dialogs.choose(writeFile(h, "new.json", dumpJson(file)));
    ASSERT_EQ(h.dialogs.alerts.size(), 1u);
    EXPECT_EQ(h.dialogs.alerts[0].message, "Enrollment could not be imported");
    if (*c.reason) {
      EXPECT_EQ(h.dialogs.alerts[0].informativeText, c.reason);
    }
    EXPECT_FALSE(h.pending("/api/enroll"));
    EXPECT_EQ(h.client->device(), "DEV-1");
    EXPECT_EQ(h.client->secret(), "KEY-1");
    EXPECT_TRUE(h.advanceUntilPoll());
  }
}

TEST(Import, CancelledPanelChangesNothing) {
  AgentHarness h;
  h.startRegistered();
  h.client->importEnrollment();
  h.dialogs.choose(std::nullopt);
  EXPECT_TRUE(h.client->hasServiceTimer());
  EXPECT_TRUE(h.dialogs.alerts.empty());
}

TEST(Import, RefusedDuringASession) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.client->importEnrollment();
  EXPECT_TRUE(h.dialogs.panels.empty());
}

TEST(Import, SessionApprovedWhileThePanelWasOpenKeepsItsEnrollment) {
  AgentHarness h;
  h.startRegistered();
  h.client->importEnrollment();
  h.approve();
  h.dialogs.choose(writeFile(h, "kx.json", dumpJson(AgentHarness::enrollmentFile("LATE"))));
  EXPECT_EQ(h.storedSettings()["device"], "DEV-1");
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_TRUE(h.client->hasServiceTimer());
}

TEST(Import, SameServiceKeepsTheRegisteredIdentity) {
  AgentHarness h;
  h.startRegistered();
  const std::string installation = h.client->installation();
  const std::string privateKey = *h.client->settings()->capturePrivateKey;
  Json file = AgentHarness::enrollmentFile("AGAIN");
  file["device"] = "OTHER";
  file["key"] = "OTHER-KEY";
  h.client->importEnrollment();
  h.dialogs.choose(writeFile(h, "again.json", dumpJson(file)));
  EXPECT_EQ(h.client->device(), "DEV-1");
  EXPECT_EQ(h.client->secret(), "KEY-1");
  EXPECT_EQ(h.client->installation(), installation);
  EXPECT_EQ(*h.client->settings()->capturePrivateKey, privateKey);
  EXPECT_EQ(h.http.at(*h.http.find("/api/enroll")).json()["token"], "AGAIN");
}

TEST(SetupCode, TypedCodeIsNormalisedAndEnrolls) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  h.client->enrollWithCode("  abcd-ef01 2345\t6789-abcd ");
  ASSERT_TRUE(h.pending("/api/enroll"));
  EXPECT_EQ(h.http.next().json()["token"], "ABCDEF0123456789ABCD");
  const Json stored = h.storedSettings();
  EXPECT_EQ(stored["url"], kServiceAddress);
  EXPECT_EQ(stored["sitesAccess"], "");
}

TEST(SetupCode, IncompleteCodeShowsGuidance) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  h.client->showSetup();
  for (const char* code : {"ABCDEF0123456789ABC", "ABCDEF0123456789ABCDE", "ABCDEF0123456789ABCG"}) {
    h.client->enrollWithCode(code);
    EXPECT_EQ(h.client->registrationError(), "Enter the full setup code supplied by your support team.");
    EXPECT_EQ(h.setup.window->updates.back().error, "Enter the full setup code supplied by your support team.");
  }
  EXPECT_TRUE(h.http.sent().empty());
  EXPECT_FALSE(h.client->enrolled());
}

TEST(SetupCode, IgnoredOnceRegistered) {
  AgentHarness h;
  h.startRegistered();
  const size_t sent = h.http.sent().size();
  h.client->enrollWithCode("ABCDEF0123456789ABCD");
  EXPECT_EQ(h.http.sent().size(), sent);
  EXPECT_TRUE(h.client->hasServiceTimer());
}

TEST(SetupWindow, CreatedOnceAndFedTheAgentState) {
  AgentHarness h;
  h.access.deny();
  h.make().start();
  h.loop.runUntilIdle();
  ASSERT_EQ(h.setup.made, 1);
  h.client->showSetup();
  EXPECT_EQ(h.setup.made, 1);
  EXPECT_EQ(h.setup.window->shows, 2);
  const auto& update = h.setup.window->updates.back();
  EXPECT_FALSE(update.enrolled);
  EXPECT_EQ(update.permission, "denied");
  EXPECT_EQ(update.error, "");
  EXPECT_FALSE(update.restartRequired);
}

TEST(SetupWindow, ActionsReachTheAgent) {
  AgentHarness h;
  h.access.deny();
  h.make().start();
  h.loop.runUntilIdle();
  h.setup.actions.codeEnrollment(" 0123-4567-89AB-CDEF-0123 ");
  EXPECT_TRUE(h.pending("/api/enroll"));
  h.setup.actions.technician();
  EXPECT_EQ(h.technicianShown, 1);
  h.setup.actions.login();
  EXPECT_EQ(h.login.calls, 1);
  h.setup.actions.permissions();
  EXPECT_TRUE(h.client->permissionRestartRequired());
  h.setup.actions.enroll();
  EXPECT_EQ(h.dialogs.panels.size(), 1u);
}

TEST(SetupWindow, ActionsDoNothingOnceTheAgentIsGone) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  h.client->showSetup();
  h.client->showTechnician();
  SetupWindowActions actions = h.setup.actions;
  h.client.reset();
  actions.login();
  actions.codeEnrollment("0123456789ABCDEF0123");
  EXPECT_EQ(h.login.calls, 0);
  EXPECT_EQ(h.technicianDevice(), "");
}

TEST(Technician, ConsoleAsksTheAgentForItsDevice) {
  AgentHarness h;
  h.startRegistered();
  h.client->showTechnician();
  ASSERT_TRUE(h.technicianDevice);
  EXPECT_EQ(h.technicianDevice(), "DEV-1");
}

TEST(ServiceRequest, BoundToTheServiceHost) {
  AgentHarness h;
  h.startRegistered();
  EXPECT_EQ(h.transportHosts, std::vector<std::string>{"support.kx.test"});
  // A 200 whose body is not an object counts as an empty answer.
  TaskScope scope;
  std::optional<Expected<Json>> result;
  auto call = [&]() -> Task<void> { result = co_await h.client->request("enroll", Json::object()); };
  scope.spawn(call());
  ASSERT_TRUE(h.pending("/api/enroll"));
  h.respond("/api/enroll", Json::array({1, 2}));
  ASSERT_TRUE(result && *result);
  EXPECT_EQ(**result, Json::object());
}

}  // namespace
}  // namespace kx::testing
