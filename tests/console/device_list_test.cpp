#include <gtest/gtest.h>

#include "console_fixture.h"

namespace kx {
namespace {

using testing::ConsoleTest;
using testing::kApiBase;
using testing::kToken;

TEST_F(ConsoleTest, RefreshWithoutTokenAsksForSignIn) {
  fakes.keychain.items.clear();
  makeConsole(std::nullopt);
  console->refreshList();
  EXPECT_EQ(fakes.view.status, "Sign in with technician rights to see your devices.");
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(ConsoleTest, RefreshAsksWhoamiThenDevicesWithTheConsolePolicy) {
  console->refreshList();
  ASSERT_EQ(http.pending(), 1u);
  EXPECT_EQ(http.next().method(), "GET");
  EXPECT_EQ(http.next().url(), std::string(kApiBase) + "/api/admin/whoami");
  EXPECT_EQ(http.next().header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(http.next().timeoutSeconds(), 8);
  http.respondJson(200, {{"name", "Ada"}});
  EXPECT_EQ(fakes.view.identity, "Ada");
  ASSERT_EQ(http.pending(), 1u);
  EXPECT_EQ(http.next().url(), std::string(kApiBase) + "/api/admin/devices");
}

TEST_F(ConsoleTest, RowsShowNameAndOnlineState) {
  Json noName = deviceRecord("mac-2", "", false);
  noName.erase("name");
  noName.erase("online");
  Json stringOnline = deviceRecord("mac-4", "Lab", true);
  stringOnline["online"] = "true";
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true), noName, deviceRecord("mac-3", "Office", false),
                           stringOnline}));
  EXPECT_EQ(fakes.view.rows, (std::vector<DeviceRow>{{"Studio · Online", true},
                                                     {"Computer · Offline", false},
                                                     {"Office · Offline", false},
                                                     {"Lab · Offline", false}}));
  EXPECT_EQ(fakes.view.status, kPlatformTexts.selectDevice);
}

TEST_F(ConsoleTest, TheMacTheConsoleRunsOnCannotBeRequested) {
  selfDevice = "mac-1";
  Json noId = deviceRecord("", "Loose", true);
  noId.erase("id");
  loadDevices(Json::array({deviceRecord("mac-1", "This Mac", true), deviceRecord("mac-2", "Other", true), noId}));
  ASSERT_EQ(fakes.view.rows.size(), 3u);
  EXPECT_FALSE(fakes.view.rows[0].enabled);
  EXPECT_TRUE(fakes.view.rows[1].enabled);
  EXPECT_TRUE(fakes.view.rows[2].enabled);
}

TEST_F(ConsoleTest, BareArrayResponseIsTheDeviceList) {
  console->refreshList();
  http.respondJson(200, {{"name", "Ada"}});
  http.respondJson(200, Json::array({deviceRecord("mac-1", "Studio", true)}));
  EXPECT_EQ(fakes.view.rows.size(), 1u);
}

TEST_F(ConsoleTest, DevicesThatAreNotAListOfObjectsGiveAnEmptyList) {
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true), "junk"}));
  EXPECT_TRUE(fakes.view.rows.empty());
  EXPECT_TRUE(console->devices().empty());
}

TEST_F(ConsoleTest, WhoamiWithoutNameShowsTechnician) {
  console->refreshList();
  http.respondJson(200, Json::object());
  EXPECT_EQ(fakes.view.identity, "Technician");
}

TEST_F(ConsoleTest, RejectedTokenShowsServiceTextAndKeepsEverything) {
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  console->refreshList();
  http.respondJson(401, {{"error", "Your session has expired. Sign in again."}});
  EXPECT_EQ(fakes.view.status, "Your session has expired. Sign in again.");
  EXPECT_EQ(console->token(), kToken);
  EXPECT_EQ(fakes.view.rows.size(), 1u);
}

TEST_F(ConsoleTest, UnreadableRefusalShowsGenericText) {
  console->refreshList();
  http.respondJson(200, {{"name", "Ada"}});
  http.respond(502, "<html>Bad gateway</html>");
  EXPECT_EQ(fakes.view.status, "Unable to connect to the support service");
}

TEST_F(ConsoleTest, TransportFailureShowsItsDescription) {
  console->refreshList();
  http.fail(makeError("libcurl", 28, "Operation timed out after 8000 milliseconds"));
  EXPECT_EQ(fakes.view.status, "Operation timed out after 8000 milliseconds");
}

TEST_F(ConsoleTest, RequestsOutsideTheServiceHostAreRefused) {
  console.reset();
  fakes.keychain.items[{AdminConsole::kKeychainService, "https://elsewhere.test"}] = "t";
  console = std::make_unique<AdminConsole>(fakes.platform(loop, loop, engine, http), [] { return std::string(); },
                                           ConsoleAddresses{"https://elsewhere.test", "https://portal.test",
                                                            "service.test"});
  console->show();
  EXPECT_TRUE(http.sent().empty());
  EXPECT_EQ(fakes.view.status, "Invalid support service address.");
}

TEST_F(ConsoleTest, ShowMakesTheAppRegularAndRefreshes) {
  console->show();
  EXPECT_EQ(fakes.view.regular, true);
  EXPECT_EQ(fakes.view.shown, 1);
  EXPECT_TRUE(http.find("/api/admin/whoami"));
}

TEST_F(ConsoleTest, FullScreenButtonTogglesTheWindow) {
  fakes.view.actions.fullScreen();
  EXPECT_EQ(fakes.view.fullScreenToggles, 1);
}

TEST_F(ConsoleTest, ActionsAreDetachedWhenTheConsoleIsGone) {
  console.reset();
  EXPECT_FALSE(fakes.view.actions.signIn);
  EXPECT_EQ(fakes.view.input, nullptr);
}

TEST_F(ConsoleTest, SetupCodeIsShownAndCopied) {
  fakes.view.actions.createCode();
  ASSERT_EQ(http.pending(), 1u);
  EXPECT_EQ(http.next().method(), "POST");
  EXPECT_EQ(http.next().path(), "/api/admin/setup-code");
  EXPECT_EQ(http.next().body(), "{}");
  EXPECT_EQ(http.next().header("Content-Type"), "application/json");
  http.respondJson(200, {{"code", "K7QX-22MN-PL4R-9TZA-XY"}});
  ASSERT_EQ(fakes.dialogs.alerts.size(), 1u);
  EXPECT_EQ(fakes.dialogs.alerts[0].message, kPlatformTexts.setupCodeTitle);
  EXPECT_EQ(fakes.dialogs.alerts[0].informative,
            "K7QX-22MN-PL4R-9TZA-XY\n\nValid for one computer for 24 hours. Download the app at "
            "https://service.test/download");
  EXPECT_TRUE(fakes.pasteboard.texts.empty());
  fakes.dialogs.choose(SetupCodeChoice::kCopyCode);
  EXPECT_EQ(fakes.pasteboard.texts, std::vector<std::string>{"K7QX-22MN-PL4R-9TZA-XY"});
}

TEST_F(ConsoleTest, ClosingTheSetupCodeAlertCopiesNothing) {
  console->createCode();
  http.respondJson(200, {{"code", "K7QX"}});
  fakes.dialogs.choose(SetupCodeChoice::kClose);
  EXPECT_TRUE(fakes.pasteboard.texts.empty());
}

TEST_F(ConsoleTest, SetupCodeResponseWithoutCodeCopiesNothing) {
  console->createCode();
  http.respondJson(200, {{"code", 42}});
  ASSERT_EQ(fakes.dialogs.alerts.size(), 1u);
  EXPECT_TRUE(fakes.dialogs.alerts[0].informative.starts_with("\n\nValid for one computer"));
  fakes.dialogs.choose(SetupCodeChoice::kCopyCode);
  EXPECT_TRUE(fakes.pasteboard.texts.empty());
}

TEST_F(ConsoleTest, FailedSetupCodeShowsErrorWithoutAlert) {
  console->createCode();
  http.respondJson(403, {{"error", "Only administrators can create setup codes."}});
  EXPECT_EQ(fakes.view.status, "Only administrators can create setup codes.");
  EXPECT_TRUE(fakes.dialogs.alerts.empty());
}

TEST_F(ConsoleTest, AlertAnsweredAfterTheConsoleIsGoneDoesNothing) {
  console->createCode();
  http.respondJson(200, {{"code", "K7QX"}});
  console.reset();
  fakes.dialogs.choose(SetupCodeChoice::kCopyCode);
  EXPECT_TRUE(fakes.pasteboard.texts.empty());
}

TEST_F(ConsoleTest, RecentActivityListsTheServiceEntriesAsLines) {
  fakes.view.actions.showActivity();
  ASSERT_TRUE(http.find("/api/admin/audit"));
  EXPECT_EQ(http.next().method(), "GET");
  const Json entries = Json::array({
      Json{{"time", 1796591100}, {"event", "decision"}, {"device", "Studio"}, {"detail", "denied"}},
      Json{{"time", "noon"}, {"event", "sign-in"}, {"device", ""}},
      Json{{"detail", 7}},  // nothing readable: no line
  });
  http.respondTo("/api/admin/audit", 200, dumpJson(Json{{"entries", entries}}));
  EXPECT_EQ(fakes.view.activity, "2026-12-06 21:05 UTC · decision · Studio · denied\nsign-in");
  fakes.view.actions.showActivity();
  http.respondTo("/api/admin/audit", 404, dumpJson(Json{{"error", "Not found."}}));
  EXPECT_EQ(fakes.view.status, "Not found.");
  fakes.view.actions.signOut();
  EXPECT_EQ(fakes.view.activity, "");
}

}  // namespace
}  // namespace kx
