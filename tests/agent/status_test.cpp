// The status file and the connection details.
#include <sys/stat.h>

#include <filesystem>

#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

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

}  // namespace
}  // namespace kx::testing
