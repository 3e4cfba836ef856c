// The agent from launch to registered: start-up, single instance, quit, start
// at login, the status file, the input permission and restart, registration,
// enrollment and the service poll.

#include <filesystem>
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

TEST(StatusFile, HoldsTheAgentStateAndIdentity) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.client->writeStatus();
  const Json status = h.statusFile();
  std::vector<std::string> keys;
  for (const auto& [key, value] : status.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"accessibilityTrusted", "captureError", "captureState", "capturedFrames",
                                            "eventPreflight", "inputAccess", "inputPermission", "registrationError",
                                            "rtcState", "runtimeIdentity", "sessionTimeline", "updated",
                                            "videoTransport"}));
  EXPECT_EQ(status["captureState"], "streaming");
  EXPECT_EQ(status["inputPermission"], true);
  EXPECT_EQ(status["captureError"], "");
  EXPECT_EQ(status["registrationError"], "");
  EXPECT_EQ(status["capturedFrames"], 0);
  EXPECT_EQ(status["rtcState"], "connected");
  EXPECT_EQ(status["videoTransport"], "webrtc");
  EXPECT_DOUBLE_EQ(status["updated"].get<double>(), h.loop.wallTime());
  EXPECT_EQ(status["inputAccess"], "granted");
  EXPECT_EQ(status["accessibilityTrusted"], true);
  EXPECT_EQ(status["eventPreflight"], true);
  EXPECT_EQ(status["runtimeIdentity"], h.client->runtimeIdentity());
  EXPECT_EQ(status["runtimeIdentity"]["runningBuildVersion"], "0.5.0");
  EXPECT_EQ(status["runtimeIdentity"]["processID"], 4242);
}

TEST(StatusFile, IsReplacedWholeAndLeavesNoTemporaryFiles) {
  AgentHarness h;
  h.startRegistered();
  for (int i = 0; i < 5; ++i) h.client->writeStatus();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(h.folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"client-status.json", "enrollment.json"}));
  EXPECT_TRUE(h.statusFile().is_object());
}

TEST(StatusFile, IdleAgentRewritesItOnlyOnChangeAndAtContacts) {
  AgentHarness h;
  h.startRegistered();
  // Every write is a new file renamed into place.
  auto inode = [&] {
    struct stat info {};
    return stat(h.statusPath().c_str(), &info) == 0 ? info.st_ino : 0;
  };
  int writes = 0;
  const double end = h.loop.uptime() + 20;
  for (ino_t seen = inode(); h.loop.uptime() < end; h.loop.advance(0.5)) {
    while (h.pending("/api/device/DEV-1/poll")) h.respond("/api/device/DEV-1/poll", Json::object());
    if (inode() != seen) ++writes, seen = inode();
  }
  EXPECT_LE(writes, 8);  // at most twice per 5 s
  EXPECT_GE(writes, 3);  // the contacts still refresh it

  // A change shows at the next permission check, with the file's own mode.
  const ino_t before = inode();
  h.access.deny();
  h.loop.advance(1);
  EXPECT_NE(inode(), before);
  EXPECT_EQ(h.statusFile()["inputAccess"], "denied");
  struct stat info {};
  ASSERT_EQ(stat(h.statusPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(StatusFile, IdentityIsCapturedOnceAtLaunch) {
  AgentHarness h;
  h.startRegistered();
  const Json identity = h.client->runtimeIdentity();
  h.loop.advance(3);
  EXPECT_EQ(h.statusFile()["runtimeIdentity"], identity);
  EXPECT_EQ(identity["executablePath"], "/opt/kestrelix/bin/kestrelix-remote");
  EXPECT_EQ(identity["codeLookupStatus"], -67062);
}

TEST(ConnectionDetails, ListsBuildPermissionIdentityAndNoError) {
  AgentHarness h;
  h.startRegistered();
  h.client->connectionDetails();
  ASSERT_EQ(h.dialogs.alerts.size(), 1u);
  EXPECT_EQ(h.dialogs.alerts[0].message, "Connection details");
  EXPECT_EQ(h.dialogs.alerts[0].informativeText,
            "Client build: 0.5.0\n"
            "Mouse & keyboard access: granted\n"
            "Accessibility API reports: true\n"
            "Event preflight reports: true\n\n"
            "architecture: x86_64\n"
            "bundleIdentifier: com.kestrelix.remote.lantest\n"
            "bundlePath: /opt/kestrelix\n"
            "codeLookupStatus: -67062\n"
            "executablePath: /opt/kestrelix/bin/kestrelix-remote\n"
            "onDiskVersion: 0.5.0\n"
            "processID: 4242\n"
            "processLaunchTime: 1700000000.0\n"
            "runningBuildVersion: 0.5.0\n\n"
            "No registration error recorded.");
}

TEST(ConnectionDetails, EndWithTheRegistrationError) {
  AgentHarness h;
  h.access.deny();
  h.writeSettings(AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  h.respond("/api/enroll", Json{{"error", "Unknown token"}}, 403);
  h.client->connectionDetails();
  const std::string& text = h.dialogs.alerts.back().informativeText;
  EXPECT_NE(text.find("Mouse & keyboard access: denied\nAccessibility API reports: false\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\n\nKestrelixService (403): Server 403: Unknown token"));
}

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

std::string writeFile(AgentHarness& h, const std::string& name, const std::string& text) {
  const std::string path = h.temp.path() + "/" + name;
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
  const std::string path = h.temp.path() + "/other.json";
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
