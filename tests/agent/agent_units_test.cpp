// The agent's value types and pure functions (consent lease, setup window
// content, runtime identity, relaunch command), the background queue and the
// settings folder.
#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

#include "agent/consent_lease.h"
#include "agent/relaunch.h"
#include "agent/runtime_identity.h"
#include "agent/setup_window_content.h"
#include "agent/user_text.h"
#include "agent/worker_thread.h"
#include "runtime/atomic_file.h"
#include "runtime/basic_loop.h"
#include "protocol/platform_texts.h"
#include "support/scratch.h"

namespace kx {
namespace {

constexpr double kWall = 1.8e9;
constexpr double kUptime = 5000;

TEST(ConsentLease, ServiceExpiryBecomesADurationOnUptime) {
  ConsentLease lease;
  lease.approve(kWall + 600, kWall, kUptime);
  EXPECT_DOUBLE_EQ(*lease.deadline(), kUptime + 600);
  EXPECT_TRUE(lease.isValid(kUptime + 599.9));
  EXPECT_FALSE(lease.isValid(kUptime + 600));
}

TEST(ConsentLease, NeverLongerThanThirtyMinutes) {
  ConsentLease lease;
  lease.approve(kWall + 7200, kWall, kUptime);
  EXPECT_DOUBLE_EQ(*lease.deadline(), kUptime + 1800);
  lease.approve(std::nullopt, kWall, kUptime);
  EXPECT_DOUBLE_EQ(*lease.deadline(), kUptime + 1800);
  lease.approve(std::numeric_limits<double>::infinity(), kWall, kUptime);
  EXPECT_DOUBLE_EQ(*lease.deadline(), kUptime + 1800);
}

TEST(ConsentLease, PastExpiryGivesNoTime) {
  ConsentLease lease;
  lease.approve(kWall - 60, kWall, kUptime);
  EXPECT_DOUBLE_EQ(*lease.deadline(), kUptime);
  EXPECT_FALSE(lease.isValid(kUptime));
}

TEST(ConsentLease, EndedLeaseIsNeverValid) {
  ConsentLease lease;
  EXPECT_FALSE(lease.isValid(0));
  lease.approve(std::nullopt, kWall, kUptime);
  lease.end();
  EXPECT_FALSE(lease.deadline());
  EXPECT_FALSE(lease.isValid(kUptime));
}

TEST(SetupWindowContent, FreshMacShowsBothStepsAndGuidance) {
  const auto content = setupWindowContent(false, "unknown", "", false);
  EXPECT_EQ(content.enrollmentText, "1. Enter the setup code supplied by your support team");
  EXPECT_FALSE(content.codeEntryHidden);
  EXPECT_EQ(content.permissionText, "2. Enable mouse & keyboard control");
  EXPECT_TRUE(content.permissionButtonEnabled);
  EXPECT_EQ(content.detailText, kPlatformTexts.setupPermissionDetail);
  EXPECT_EQ(content.doneTitle, "Done");
  EXPECT_FALSE(content.needsRestart);
}

TEST(SetupWindowContent, EnrolledAndGrantedShowChecks) {
  const auto content = setupWindowContent(true, "granted", "", false);
  EXPECT_EQ(content.enrollmentText, kPlatformTexts.setupEnrolled);
  EXPECT_TRUE(content.codeEntryHidden);
  EXPECT_EQ(content.permissionText, "✓ Mouse & keyboard control enabled");
  EXPECT_FALSE(content.permissionButtonEnabled);
}

TEST(SetupWindowContent, OnlyGrantedDisablesThePermissionButton) {
  EXPECT_TRUE(setupWindowContent(true, "denied", "", false).permissionButtonEnabled);
  EXPECT_TRUE(setupWindowContent(true, "Granted", "", false).permissionButtonEnabled);
}

TEST(SetupWindowContent, ErrorFollowsItsPrefixDirectly) {
  EXPECT_EQ(setupWindowContent(false, "denied", "Server 401: Bad token", false).detailText,
            "Connection needs attention: Server 401: Bad token");
}

TEST(SetupWindowContent, RestartGuidanceWinsOverAnError) {
  const auto content = setupWindowContent(true, "denied", "Server 500: down", true);
  EXPECT_EQ(content.detailText, kPlatformTexts.setupRestartDetail);
  EXPECT_EQ(content.doneTitle, "Restart & recheck permissions");
  EXPECT_TRUE(content.needsRestart);
}

TEST(RuntimeIdentity, MissingFactsBecomeUnknownAndZero) {
  ProcessInfo process;
  process.processId = 77;
  process.bundlePath = "/opt/kx";
  process.architecture = "arm64";
  const Json identity = RuntimeIdentity::capture(process, "0.5.0");
  EXPECT_EQ(identity["runningBuildVersion"], "0.5.0");
  EXPECT_EQ(identity["processID"], 77);
  EXPECT_EQ(identity["bundleIdentifier"], "unknown");
  EXPECT_EQ(identity["executablePath"], "unknown");
  EXPECT_EQ(identity["onDiskVersion"], "unknown");
  EXPECT_TRUE(identity["processLaunchTime"].is_number_integer());
  EXPECT_EQ(identity["processLaunchTime"], 0);
  EXPECT_NE(identity["codeLookupStatus"], 0);
  EXPECT_FALSE(identity.contains("runningCodeValidationStatus"));
  EXPECT_FALSE(identity.contains("signingIdentifier"));
}

TEST(RuntimeIdentity, LinesAreSortedByKey) {
  const Json identity{
      {"processID", 7}, {"architecture", "x86_64"}, {"processLaunchTime", 1700000000.25}, {"bundlePath", "/opt/kx"}};
  EXPECT_EQ(RuntimeIdentity::lines(identity),
            "architecture: x86_64\nbundlePath: /opt/kx\nprocessID: 7\nprocessLaunchTime: 1700000000.25");
}

TEST(Relaunch, ScriptWaitsForThisProcessThenStartsTheApp) {
  const ChildProcess command = relaunchCommand(4242, "/opt/kx/bin/kestrelix-remote");
  EXPECT_EQ(command.executable, "/bin/sh");
  ASSERT_EQ(command.arguments.size(), 5u);
  EXPECT_EQ(command.arguments[0], "-c");
  EXPECT_EQ(command.arguments[1],
            "for n in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do if ! kill -0 \"$1\" 2>/dev/null; then "
            "exec \"$2\"; fi; sleep 0.5; done; exit 1");
  EXPECT_EQ(command.arguments[2], "kestrelix-relaunch");
  EXPECT_EQ(command.arguments[3], "4242");
  EXPECT_EQ(command.arguments[4], "/opt/kx/bin/kestrelix-remote");
}

TEST(UserText, ErrorsWithoutDescriptionGetTheGenericSentence) {
  EXPECT_EQ(localizedDescription(makeError("Invalid registration", 1)),
            "The operation couldn\u2019t be completed. (Invalid registration error 1.)");
  EXPECT_EQ(registrationErrorText(makeError("KestrelixService", 401, "Server 401: Bad token")),
            "KestrelixService (401): Server 401: Bad token");
}

TEST(WorkerThread, WorkRunsElsewhereAndCompletesOnTheLoop) {
  VirtualLoop loop;
  WorkerThread worker(loop);
  std::thread::id workedOn;
  std::thread::id doneOn;
  bool done = false;
  worker.run([&] { workedOn = std::this_thread::get_id(); },
             [&] {
               doneOn = std::this_thread::get_id();
               done = true;
             });
  ASSERT_TRUE(loop.runUntil([&] { return done; }, 5));
  EXPECT_NE(workedOn, std::this_thread::get_id());
  EXPECT_EQ(doneOn, std::this_thread::get_id());
}

TEST(WorkerThread, CompletionsAfterDestructionAreDropped) {
  VirtualLoop loop;
  std::atomic<bool> worked{false};
  bool done = false;
  {
    WorkerThread worker(loop);
    worker.run([&] { worked = true; }, [&] { done = true; });
    ASSERT_TRUE(testing::waitUntil([&] { return worked.load(); }));
  }
  loop.runUntilIdle();
  EXPECT_FALSE(done);
}

TEST(SettingsFolder, CreatedPrivateWithItsParents) {
  const testing::TempDir temp("kx-folder");
  const std::string root = temp.path();
  const std::string folder = root + "/a/b/Kestrelix Remote Test";
  ASSERT_TRUE(createPrivateFolder(folder));
  ASSERT_TRUE(createPrivateFolder(folder));  // existing is fine
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // A file in the way is an error.
  ASSERT_TRUE(writeFileAtomically(root + "/file", "x"));
  EXPECT_FALSE(createPrivateFolder(root + "/file/sub"));
}

TEST(SettingsFolder, FollowsXdgDataHome) {
  {
    const testing::ScopedEnv absolute("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(defaultSettingsFolder(), "/srv/data/Kestrelix Remote Test");
  }
  const testing::ScopedEnv relative("XDG_DATA_HOME", "relative");  // not absolute: ignored, as XDG says
  EXPECT_TRUE(defaultSettingsFolder().ends_with("/.local/share/Kestrelix Remote Test"));
}

TEST(PlatformTexts, LinuxTextsNameNothingThatIsNotHere) {
  const std::string_view texts[] = {
      kLinuxTexts.consentDetail,       kLinuxTexts.defaultDeviceName,     kLinuxTexts.setupWindowTitle,
      kLinuxTexts.setupIntroduction,   kLinuxTexts.setupCodeButton,       kLinuxTexts.setupEnrolled,
      kLinuxTexts.setupPermissionDetail, kLinuxTexts.setupRestartDetail,  kLinuxTexts.inputSettingsUrl,
      kLinuxTexts.inputAccessHelp,     kLinuxTexts.signInPrompt,          kLinuxTexts.waitingForApproval,
      kLinuxTexts.selectDevice,        kLinuxTexts.setupCodeTitle,        kLinuxTexts.setupCodeValidity,
      kLinuxTexts.controlNotEnabled,   kLinuxTexts.deviceStoppedResponding,
  };
  static_assert(sizeof(texts) == sizeof(PlatformTexts), "every text of the table is checked");
  for (const std::string_view text : texts) {
    for (const std::string_view word : {"Mac", "macOS", "Firebase", "Accessibility settings", "x-apple"}) {
      EXPECT_EQ(text.find(word), std::string_view::npos) << text;
    }
  }
  EXPECT_EQ(&kPlatformTexts, &kLinuxTexts);
}

}  // namespace
}  // namespace kx
