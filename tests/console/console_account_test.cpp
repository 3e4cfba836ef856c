// The console's sign-in, device list and setup codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "console/sign_in_callback.h"
#include "console_fixture.h"

namespace kx {
namespace {

using testing::ConsoleTest;
using testing::kApiBase;
using testing::kToken;

bool urlSafe(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; });
}

TEST(Pkce, VerifierIs43UrlSafeCharacters) {
  for (int i = 0; i < 200; ++i) {
    const std::string verifier = AdminConsole::random(32);
    ASSERT_EQ(verifier.size(), 43u);
    ASSERT_TRUE(urlSafe(verifier)) << verifier;
  }
  EXPECT_NE(AdminConsole::random(32), AdminConsole::random(32));
}

TEST(Pkce, ChallengeIsRfc7636S256) {
  // RFC 7636 appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(SignInCallback, SplitsAndDecodesQueryItems) {
  auto url = splitCallbackUrl("kestrelixremote://admin-sign-in?code=a%2Bb%20c&flag&state=&x=1#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme, "kestrelixremote");
  EXPECT_EQ(url->host, "admin-sign-in");
  ASSERT_TRUE(url->queryItems);
  EXPECT_EQ(*url->queryItems, (std::vector<QueryItem>{{"code", "a+b c"}, {"flag", std::nullopt}, {"state", ""},
                                                      {"x", "1"}}));
}

TEST(SignInCallback, MalformedUrlsAreRefused) {
  EXPECT_FALSE(splitCallbackUrl("kestrelixremote://admin-sign-in?code=%zz"));
  EXPECT_FALSE(splitCallbackUrl("kestrelixremote://admin-sign-in?code=%4"));
  EXPECT_FALSE(splitCallbackUrl("kestrelixremote://admin sign-in?code=1"));
  EXPECT_FALSE(splitCallbackUrl("no-scheme-here"));
  EXPECT_FALSE(splitCallbackUrl("://admin-sign-in"));
}

TEST(SignInCallback, CodeNeedsHostStateAndCode) {
  EXPECT_EQ(signInCode("kestrelixremote://admin-sign-in?code=c1&state=s1", "s1"), "c1");
  EXPECT_FALSE(signInCode("kestrelixremote://other-host?code=c1&state=s1", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?code=c1&state=s2", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?code=c1", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?code=c1&state", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?state=s1", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?code&state=s1", "s1"));
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in", "s1"));
}

TEST(SignInCallback, FirstStateAndFirstCodeCount) {
  EXPECT_FALSE(signInCode("kestrelixremote://admin-sign-in?state=bad&state=s1&code=c", "s1"));
  EXPECT_EQ(signInCode("kestrelixremote://admin-sign-in?state=s1&state=bad&code=c", "s1"), "c");
  EXPECT_EQ(signInCode("kestrelixremote://admin-sign-in?code=first&code=second&state=s1", "s1"), "first");
}

class SignInTest : public ConsoleTest {
 protected:
  void SetUp() override { makeConsole(std::nullopt); }

  std::string callback(const std::string& query) { return "kestrelixremote://admin-sign-in?" + query; }
  // Signs in and lets the portal come back with `code` and the right state.
  void signInWithCode(const std::string& code) {
    console->signIn();
    fakes.webSignIn.complete(callback("code=" + code + "&state=" + fakes.webSignIn.state()));
    loop.runUntilIdle();
  }
};

TEST_F(SignInTest, OpensThePortalWithChallengeAndState) {
  fakes.view.actions.signIn();
  ASSERT_EQ(fakes.webSignIn.urls.size(), 1u);
  const std::string& url = fakes.webSignIn.urls[0];
  EXPECT_TRUE(url.starts_with("https://portal.test/native-sign-in?challenge=")) << url;
  EXPECT_EQ(fakes.webSignIn.scheme, "kestrelixremote");
  const std::string state = fakes.webSignIn.state();
  EXPECT_EQ(state.size(), 32u);
  EXPECT_TRUE(std::all_of(state.begin(), state.end(), [](char c) { return std::isxdigit(c) && !std::isupper(c); }));
  EXPECT_EQ(fakes.webSignIn.query("challenge").size(), 43u);
}

TEST_F(SignInTest, ExchangeSendsTheVerifierOfTheChallenge) {
  signInWithCode("one-time");
  ASSERT_EQ(http.pending(), 1u);
  const auto& exchange = http.next();
  EXPECT_EQ(exchange.method(), "POST");
  EXPECT_EQ(exchange.url(), std::string(kApiBase) + "/api/admin/exchange");
  EXPECT_EQ(exchange.header("Authorization"), "Bearer ");
  const Json body = exchange.json();
  EXPECT_EQ(body["code"], "one-time");
  EXPECT_EQ(pkceChallenge(body["verifier"].get<std::string>()), fakes.webSignIn.query("challenge"));
}

TEST_F(SignInTest, SuccessStoresTokenShowsNameAndRefreshes) {
  signInWithCode("c");
  http.respondJson(200, {{"token", "fresh"}, {"name", "Grace"}});
  EXPECT_EQ(console->token(), "fresh");
  EXPECT_EQ((fakes.keychain.items[{AdminConsole::kKeychainService, kApiBase}]), "fresh");
  EXPECT_EQ(fakes.view.identity, "Grace");
  ASSERT_TRUE(http.find("/api/admin/whoami"));
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(SignInTest, SuccessWithoutNameShowsTechnician) {
  signInWithCode("c");
  http.respondJson(200, {{"token", "fresh"}, {"name", 7}});
  EXPECT_EQ(fakes.view.identity, "Technician");
}

TEST_F(SignInTest, ResponseWithoutTokenIsInvalidSignIn) {
  for (const Json& answer : {Json{{"name", "Grace"}}, Json{{"token", ""}}}) {
    signInWithCode("c");
    http.respondJson(200, answer);
    EXPECT_EQ(fakes.view.status, "The operation couldn’t be completed. (Invalid sign-in error 1.)") << answer;
    EXPECT_EQ(console->token(), "");
    EXPECT_EQ(fakes.keychain.saves, 0);
    EXPECT_EQ(http.pending(), 0u);
  }
}

TEST_F(SignInTest, RefusedExchangeShowsTheServiceText) {
  signInWithCode("c");
  http.respondJson(400, {{"error", "This sign-in code has expired."}});
  EXPECT_EQ(fakes.view.status, "This sign-in code has expired.");
  EXPECT_EQ(console->token(), "");
}

TEST_F(SignInTest, UnusableCallbackIsACancelledSignIn) {
  console->signIn();
  EXPECT_TRUE(fakes.view.signInPending);
  fakes.webSignIn.complete(callback("state=" + fakes.webSignIn.state()));  // no code
  EXPECT_EQ(fakes.view.status, "Sign-in cancelled");
  EXPECT_FALSE(fakes.view.signInPending);
  EXPECT_FALSE(fakes.webSignIn.running());
  console->signIn();
  fakes.view.status.clear();
  fakes.webSignIn.complete(std::nullopt);
  EXPECT_EQ(fakes.view.status, "Sign-in cancelled");
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(SignInTest, CallbackOfAnotherStateIsIgnoredAndTheSignInGoesOn) {
  // An earlier attempt's callback, or one forged by another program.
  console->signIn();
  const std::string firstState = fakes.webSignIn.state();
  console->signIn();
  ASSERT_NE(fakes.webSignIn.state(), firstState);
  for (const std::string& stray : {callback("code=c&state=" + firstState), callback("code=c"),
                                   std::string("kestrelixremote://elsewhere?code=c&state=" + fakes.webSignIn.state())}) {
    fakes.webSignIn.complete(stray);
  }
  EXPECT_TRUE(http.sent().empty());
  EXPECT_TRUE(console->signingIn());
  EXPECT_TRUE(fakes.webSignIn.running());
  fakes.webSignIn.complete(callback("code=right&state=" + fakes.webSignIn.state()));
  EXPECT_EQ(http.next().json()["code"], "right");
  EXPECT_FALSE(console->signingIn());
}

TEST_F(SignInTest, CancelOrTimeOutEndsTheWait) {
  const struct {
    bool cancel;
    double wait;
    const char* status;
  } cases[] = {
      {true, 0, "Sign-in cancelled"},
      {false, AdminConsole::kSignInTimeout, "Sign-in timed out: the browser did not come back. Try again."},
  };
  for (const auto& c : cases) {
    fakes.view.actions.signIn();
    loop.advance(AdminConsole::kSignInTimeout - 1);
    EXPECT_TRUE(console->signingIn());
    if (c.cancel) fakes.view.actions.cancelSignIn();
    loop.advance(c.wait);
    EXPECT_EQ(fakes.view.status, c.status);
    EXPECT_FALSE(console->signingIn());
    EXPECT_FALSE(fakes.view.signInPending);
    EXPECT_FALSE(fakes.webSignIn.running());
  }
}

TEST_F(SignInTest, BrowserErrorShowsItsDescription) {
  console->signIn();
  fakes.webSignIn.complete(std::nullopt, makeError("WebSignIn", 1, "The browser window was closed."));
  EXPECT_EQ(fakes.view.status, "The browser window was closed.");
}

TEST_F(SignInTest, BrowserThatCannotStartIsReported) {
  fakes.webSignIn.startSucceeds = false;
  console->signIn();
  EXPECT_EQ(fakes.view.status, "Could not open sign-in");
}

TEST_F(SignInTest, CompletionAfterTheConsoleIsGoneDoesNothing) {
  console->signIn();
  const std::string state = fakes.webSignIn.state();
  console.reset();
  fakes.webSignIn.complete(callback("code=c&state=" + state));
  loop.runUntilIdle();
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(SignInTest, TokenWorksForTheRunWithoutAKeychain) {
  fakes.keychain.available = false;
  signInWithCode("c");
  http.respondJson(200, {{"token", "fresh"}});
  EXPECT_EQ(console->token(), "fresh");
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(ConsoleTest, StoredTokenSignsInAtStart) {
  EXPECT_EQ(console->token(), kToken);
  console->refreshList();
  EXPECT_EQ(http.next().header("Authorization"), std::string("Bearer ") + kToken);
}

TEST_F(ConsoleTest, StoredTokenArrivingLateIsUsedUnlessTheTechnicianSignedInMeanwhile) {
  fakes.keychain.deferLoads = true;
  makeConsole(std::nullopt);
  console->show();
  EXPECT_EQ(console->token(), "");
  fakes.keychain.finishLoads();
  EXPECT_EQ(console->token(), kToken);
  EXPECT_TRUE(http.find("/api/admin/whoami"));

  // A sign-in before the keyring answered is newer than what it holds.
  makeConsole(std::nullopt);
  console->signIn();
  fakes.webSignIn.complete("kestrelixremote://admin-sign-in?code=c&state=" + fakes.webSignIn.state());
  loop.runUntilIdle();
  http.respondTo("/api/admin/exchange", 200, dumpJson(Json{{"token", "fresh"}}));
  fakes.keychain.finishLoads();
  EXPECT_EQ(console->token(), "fresh");
}

TEST_F(ConsoleTest, TokenOfAnotherServiceIsNotUsed) {
  fakes.keychain.items.clear();
  fakes.keychain.items[{AdminConsole::kKeychainService, "https://other.test"}] = "other";
  makeConsole(std::nullopt);
  EXPECT_EQ(console->token(), "");
}

TEST_F(ConsoleTest, SignOutPostsLogoutAndForgetsTheToken) {
  loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
  const std::string statusBefore = fakes.view.status;
  fakes.view.actions.signOut();
  ASSERT_TRUE(http.find("/api/admin/logout"));
  const auto& logout = http.at(*http.find("/api/admin/logout"));
  EXPECT_EQ(logout.method(), "POST");
  EXPECT_EQ(logout.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(logout.body(), "");
  EXPECT_EQ(logout.timeoutSeconds(), 60);
  EXPECT_EQ(console->token(), "");
  EXPECT_TRUE(fakes.keychain.items.empty());
  EXPECT_EQ(fakes.view.identity, "Signed out");
  EXPECT_TRUE(fakes.view.rows.empty());
  EXPECT_EQ(console->devices().size(), 1u);
  EXPECT_EQ(fakes.view.status, statusBefore);
  http.fail(makeError("libcurl", 7, "Couldn't connect to server"));
  EXPECT_EQ(fakes.view.status, statusBefore);
}

TEST_F(ConsoleTest, SignOutWithoutTokenSendsNothingButStillForgets) {
  fakes.keychain.items.clear();
  makeConsole(std::nullopt);
  console->signOut();
  EXPECT_TRUE(http.sent().empty());
  EXPECT_EQ(fakes.keychain.removes, 1);
  EXPECT_EQ(fakes.view.identity, "Signed out");
}

TEST_F(ConsoleTest, RefreshAnsweredAfterSignOutChangesNothing) {
  console->refreshList();
  console->signOut();
  http.respondTo("/api/admin/whoami", 200, dumpJson(Json{{"name", "Ada"}}));
  EXPECT_EQ(fakes.view.identity, "Signed out");
  EXPECT_FALSE(http.find("/api/admin/devices"));
}

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
