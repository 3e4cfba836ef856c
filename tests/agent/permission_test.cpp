// The input-control permission: refresh, request, and the relaunch that picks it up.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

TEST(InputPermission, RevocationLetsGoOfAHeldButton) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.control(Json{{"kind", "pointer"}, {"seq", 1}, {"action", "down"}, {"x", 0.25}, {"y", 0.5}});
  h.access.deny();
  h.loop.advance(1.0);
  ASSERT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_EQ(h.injector.mouse[1].type, MouseEventType::kLeftMouseUp);
  EXPECT_EQ(h.injector.mouse[1].point, (Point{360, 450}));
  EXPECT_FALSE(h.client->pointer().held());
}

TEST(InputPermission, GrantReachesTheTechnicianWithinASecond) {
  AgentHarness h;
  h.access.deny();
  h.startRegistered();
  h.startStreaming();
  h.access.grant();
  h.loop.advance(1.0);
  const auto messages = h.channelMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  EXPECT_EQ(h.statusFile()["inputAccess"], "granted");
  EXPECT_EQ(h.statusFile()["inputPermission"], true);
  ASSERT_NE(h.setup.window, nullptr);
  EXPECT_EQ(h.setup.window->updates.back().permission, "granted");
}

TEST(InputPermission, OneReadAtATime) {
  AgentHarness h;
  h.background.runAtOnce = false;
  h.make().start();
  h.loop.advance(5);
  EXPECT_EQ(h.background.queued.size(), 1u);
  h.background.runQueued();
  h.loop.runUntilIdle();
  EXPECT_EQ(h.access.reads, 1);
}

TEST(InputPermission, AlreadyGrantedOnlyRefreshesTheWindow) {
  AgentHarness h;
  h.startRegistered();
  h.client->showSetup();
  const size_t updates = h.setup.window->updates.size();
  h.client->inputPermission();
  EXPECT_EQ(h.access.requests, 0);
  EXPECT_FALSE(h.client->permissionRestartRequired());
  EXPECT_EQ(h.setup.window->updates.size(), updates + 1);
}

TEST(InputPermission, RequestRunsOnceAndExplainsWhenStillMissing) {
  AgentHarness h;
  h.access.deny();
  h.startRegistered();
  h.background.runAtOnce = false;
  h.client->inputPermission();
  h.client->inputPermission();
  EXPECT_TRUE(h.client->permissionRestartRequired());
  EXPECT_EQ(h.setup.window->updates.back().restartRequired, true);
  h.background.runQueued();  // the request
  h.loop.runUntilIdle();
  h.background.runQueued();  // the read after it
  h.loop.runUntilIdle();
  EXPECT_EQ(h.access.requests, 1);
  // No settings page grants XTest: the person is told what does, and nothing is opened.
  EXPECT_TRUE(h.workspace.opened.empty());
  ASSERT_EQ(h.dialogs.alerts.size(), 1u);
  EXPECT_EQ(h.dialogs.alerts[0].informativeText, kLinuxTexts.inputAccessHelp);
}

TEST(InputPermission, GrantedRequestOpensNothing) {
  AgentHarness h;
  h.access.deny();
  h.access.grantOnRequest = true;
  h.startRegistered();
  h.client->inputPermission();
  h.loop.runUntilIdle();
  EXPECT_TRUE(h.workspace.opened.empty());
  EXPECT_TRUE(h.client->inputAccess().canPostEvents());
  EXPECT_TRUE(h.client->permissionRestartRequired());  // stays for the life of the process
}

TEST(Restart, EndsTheSessionAtTheServiceThenRelaunches) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const std::string session = h.client->active();
  h.client->restartForPermissions();
  h.client->restartForPermissions();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_TRUE(h.relauncher.launched.empty());
  EXPECT_EQ(h.respond("/api/device/DEV-1/end", Json::object(), 500).json()["session"], session);
  ASSERT_EQ(h.relauncher.launched.size(), 1u);
  const ChildProcess& command = h.relauncher.launched[0];
  EXPECT_EQ(command.executable, "/bin/sh");
  EXPECT_EQ(command.arguments[3], "4242");
  EXPECT_EQ(command.arguments[4], "/opt/kestrelix/bin/kestrelix-remote");
  EXPECT_EQ(h.application.terminations, 1);
}

TEST(Restart, FailedLaunchKeepsTheAgentRunning) {
  AgentHarness h;
  h.startRegistered();
  h.relauncher.result = makeError("POSIX", 2, "No such file or directory");
  h.client->restartForPermissions();
  EXPECT_EQ(h.menu.line(), "Restart failed · quit and reopen the app");
  EXPECT_FALSE(h.client->restarting());
  EXPECT_EQ(h.application.terminations, 0);
  h.client->restartForPermissions();
  EXPECT_EQ(h.relauncher.launched.size(), 2u);
}

}  // namespace
}  // namespace kx::testing
