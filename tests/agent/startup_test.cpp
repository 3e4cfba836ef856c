// Launch, single instance, quit and start at login.
#include <sys/stat.h>

#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

TEST(StartUp, FirstLaunchWithoutEnrollmentWaitsForOne) {
  AgentHarness h;
  h.preferences.shownVersion.reset();
  h.make().start();
  EXPECT_EQ(h.menu.title(), "KX Test");
  EXPECT_EQ(h.menu.lines, (std::vector<std::string>{"Starting…", "Not enrolled · import enrollment file"}));
  h.loop.runUntilIdle();
  EXPECT_TRUE(h.http.sent().empty());
  // The setup window opens once the first permission read is in.
  ASSERT_NE(h.setup.window, nullptr);
  EXPECT_EQ(h.setup.window->shows, 1);
  EXPECT_EQ(h.preferences.shownVersion, "0.5.0");
  const Json status = h.statusFile();
  EXPECT_EQ(status["registrationError"], "");
  EXPECT_EQ(status["capturedFrames"], 0);
}

TEST(StartUp, SettingsFolderIsPrivate) {
  AgentHarness h;
  h.make().start();
  struct stat info {};
  ASSERT_EQ(stat(h.folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(StartUp, AnotherRunningCopyIsNamedAndThisOneQuits) {
  AgentHarness h;
  h.instances.others = {"/opt/old/bin/kestrelix-remote", ""};
  h.make().start();
  ASSERT_EQ(h.dialogs.alerts.size(), 1u);
  EXPECT_EQ(h.dialogs.alerts[0].message, "Kestrelix Remote Test is already running");
  EXPECT_EQ(h.dialogs.alerts[0].informativeText,
            "Quit the existing KX Test copy before opening this version. Existing app locations:\n"
            "/opt/old/bin/kestrelix-remote\nUnknown location");
  EXPECT_GE(h.application.activations, 1);
  EXPECT_TRUE(h.menu.titles.empty());
  h.dialogs.dismissAlert(0);
  EXPECT_EQ(h.application.terminations, 1);
  h.loop.advance(5);
  EXPECT_EQ(h.access.reads, 0);
  struct stat info {};
  EXPECT_NE(stat(h.folder.c_str(), &info), 0);  // nothing written
}

TEST(StartUp, AppWithoutIdentifierLooksForTheDefaultOne) {
  AgentHarness h;
  h.process.bundleIdentifier.reset();
  h.make().start();
  EXPECT_EQ(h.instances.askedFor, std::vector<std::string>{"com.kestrelix.remote.lantest"});
  EXPECT_EQ(h.client->runtimeIdentity()["bundleIdentifier"], "unknown");
}

TEST(StartUp, SettingsFolderFailureStopsEverything) {
  AgentHarness h;
  h.createFolder = [](const std::string&) -> Status { return makeError("File", 13, "Permission denied"); };
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  EXPECT_EQ(h.menu.line(), "Cannot create client settings");
  h.loop.advance(10);
  EXPECT_TRUE(h.http.sent().empty());
  EXPECT_EQ(h.access.reads, 0);
  EXPECT_EQ(h.setup.made, 0);
}

TEST(StartUp, InvalidStoredEnrollmentIsLeftAlone) {
  AgentHarness h;
  ASSERT_TRUE(createPrivateFolder(h.folder));
  ASSERT_TRUE(writeFileAtomically(h.settingsPath(), R"({"url":"https://support.kx.test"})"));
  h.make().start();
  EXPECT_EQ(h.menu.line(), "Import a valid enrollment file");
  h.loop.advance(6);
  EXPECT_TRUE(h.http.sent().empty());
  EXPECT_EQ(*readFile(h.settingsPath()), R"({"url":"https://support.kx.test"})");
}

TEST(StartUp, StoredEnrollmentRegistersOnceLaunchHasReturned) {
  AgentHarness h;
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  EXPECT_TRUE(h.http.sent().empty());
  h.loop.runUntilIdle();
  EXPECT_TRUE(h.pending("/api/enroll"));
  EXPECT_EQ(h.transportHosts, std::vector<std::string>{"support.kx.test"});
}

TEST(StartUp, NewBuildOpensSetupOnceThenNotAgain) {
  AgentHarness h;
  h.preferences.shownVersion = "0.4.9";
  h.startRegistered();
  EXPECT_EQ(h.setup.made, 1);
  EXPECT_EQ(h.preferences.shownVersion, "0.5.0");

  h.client.reset();
  h.setup = FakeSetupWindowFactory();
  h.make().start();
  h.loop.runUntilIdle();
  h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  EXPECT_EQ(h.setup.made, 0);
}

TEST(StartUp, SetupOpensWhileInputControlIsMissing) {
  AgentHarness h;
  h.access.deny();
  h.startRegistered();
  EXPECT_EQ(h.setup.made, 1);
}

TEST(StartUp, PermissionIsReadEverySecond) {
  AgentHarness h;
  h.make().start();
  h.loop.runUntilIdle();
  const int first = h.access.reads;
  h.loop.advance(3.0);
  EXPECT_EQ(h.access.reads, first + 3);
}

TEST(Quit, EndsTheSessionAtTheServiceBeforeTerminating) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const std::string session = h.client->active();
  h.client->quit();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.application.terminations, 0);
  const auto end = h.respond("/api/device/DEV-1/end", Json::object());
  EXPECT_EQ(end.json()["session"], session);
  EXPECT_EQ(h.application.terminations, 1);
  h.loop.advance(5);
  EXPECT_EQ(h.application.terminations, 1);
}

TEST(Quit, ServiceThatDoesNotAnswerDelaysQuitByTwoSecondsAtMost) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.client->quit();
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
  h.loop.advance(1.9);
  EXPECT_EQ(h.application.terminations, 0);
  h.loop.advance(0.2);
  EXPECT_EQ(h.application.terminations, 1);
}

TEST(Quit, WithoutSessionTerminatesAtOnceAndSendsNothing) {
  AgentHarness h;
  h.startRegistered();
  const size_t before = h.http.sent().size();
  h.client->quit();
  EXPECT_EQ(h.application.terminations, 1);
  EXPECT_EQ(h.http.sent().size(), before);
}

TEST(StartAtLogin, ReportsSuccessAndFailure) {
  AgentHarness h;
  h.make().start();
  h.client->enableLogin();
  EXPECT_EQ(h.menu.line(), "Start at login enabled");
  h.login.result = makeError("File", 13, "Cannot write the autostart entry");
  h.client->enableLogin();
  EXPECT_EQ(h.menu.line(), "Login setup: Cannot write the autostart entry");
  EXPECT_EQ(h.login.calls, 2);
}

}  // namespace
}  // namespace kx::testing
