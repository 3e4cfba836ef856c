// The console's sign-in, device list, setup codes and activity.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "console/sign_in_callback.h"
#include "console_fixture.h"

namespace kx {
namespace {

using testing::ConsoleTest;
using testing::kApiBase;
using testing::kToken;

const std::string kCallback = "kestrelixremote://admin-sign-in?";

TEST(SignInCallback, CodeNeedsHostFirstStateAndCode) {
  auto url = splitCallbackUrl(kCallback + "code=a%2Bb%20c&flag&state=&x=1#frag");
  ASSERT_TRUE(url && url->queryItems);
  EXPECT_EQ(url->host, "admin-sign-in");
  EXPECT_EQ(*url->queryItems, (std::vector<QueryItem>{{"code", "a+b c"}, {"flag", std::nullopt}, {"state", ""},
                                                      {"x", "1"}}));
  for (const char* malformed : {"kestrelixremote://admin-sign-in?code=%zz", "kestrelixremote://admin-sign-in?code=%4",
                                "kestrelixremote://admin sign-in?code=1", "no-scheme-here", "://admin-sign-in"}) {
    EXPECT_FALSE(splitCallbackUrl(malformed)) << malformed;
  }
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {kCallback + "code=c1&state=s1", "c1"},
      {kCallback + "state=s1&state=bad&code=c", "c"},
      {kCallback + "code=first&code=second&state=s1", "first"},
      {"kestrelixremote://other-host?code=c1&state=s1", std::nullopt},
      {kCallback + "code=c1&state=s2", std::nullopt},
      {kCallback + "state=bad&state=s1&code=c", std::nullopt},
      {kCallback + "code=c1", std::nullopt},
      {kCallback + "code=c1&state", std::nullopt},
      {kCallback + "code&state=s1", std::nullopt},
  };
  for (const auto& [callback, code] : cases) EXPECT_EQ(signInCode(callback, "s1"), code) << callback;
}

class SignInTest : public ConsoleTest {
 protected:
  void SetUp() override { makeConsole(std::nullopt); }
  // Signs in and lets the portal come back with `code` and the right state.
  void signInWithCode(const std::string& code) {
    console->signIn();
    fakes.webSignIn.complete(kCallback + "code=" + code + "&state=" + fakes.webSignIn.state());
    loop.runUntilIdle();
  }
};

TEST_F(SignInTest, PortalGetsChallengeAndStateAndTheExchangeTheVerifier) {
  fakes.view.actions.signIn();
  EXPECT_TRUE(fakes.webSignIn.urls.at(0).starts_with("https://portal.test/native-sign-in?challenge="));
  EXPECT_EQ(fakes.webSignIn.scheme, "kestrelixremote");
  const std::string state = fakes.webSignIn.state();
  EXPECT_EQ(state.size(), 32u);
  EXPECT_TRUE(std::all_of(state.begin(), state.end(), [](char c) { return std::isxdigit(c) && !std::isupper(c); }));
  // RFC 7636 appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  fakes.webSignIn.complete(kCallback + "code=one-time&state=" + state);
  const auto& exchange = http.next();
  EXPECT_EQ(exchange.url(), std::string(kApiBase) + "/api/admin/exchange");
  EXPECT_EQ(exchange.json()["code"], "one-time");
  const std::string verifier = exchange.json()["verifier"].get<std::string>();
  EXPECT_EQ(verifier.size(), 43u);
  EXPECT_EQ(pkceChallenge(verifier), fakes.webSignIn.query("challenge"));
  http.respondJson(200, {{"token", "fresh"}, {"name", "Grace"}});
  EXPECT_EQ((fakes.keychain.items[{AdminConsole::kKeychainService, kApiBase}]), "fresh");
  EXPECT_EQ(fakes.view.identity, "Grace");
  EXPECT_EQ(http.next().path(), "/api/admin/whoami");
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(SignInTest, ExchangeAnswersShowTheirOutcome) {
  const struct {
    int code;
    Json answer;
    std::string token, identity, shown;
  } cases[] = {
      {200, {{"token", "fresh"}, {"name", 7}}, "fresh", "Technician", ""},
      {200, {{"name", "Grace"}}, "", "", "The operation couldn’t be completed. (Invalid sign-in error 1.)"},
      {200, {{"token", ""}}, "", "", "The operation couldn’t be completed. (Invalid sign-in error 1.)"},
      {400, {{"error", "This sign-in code has expired."}}, "", "", "This sign-in code has expired."},
  };
  for (const auto& c : cases) {
    fakes.keychain.items.clear();
    makeConsole(std::nullopt);
    signInWithCode("c");
    http.respondJson(c.code, c.answer);
    EXPECT_EQ(console->token(), c.token) << c.answer;
    if (!c.identity.empty()) {
      EXPECT_EQ(fakes.view.identity, c.identity) << c.answer;
    }
    if (!c.shown.empty()) {
      EXPECT_EQ(fakes.view.status, c.shown) << c.answer;
    }
    http.abandonAll();
  }
  EXPECT_EQ(fakes.keychain.saves, 1);
}

TEST_F(SignInTest, StrayCallbacksAreIgnoredAndTheSignInGoesOn) {
  console->signIn();
  const std::string firstState = fakes.webSignIn.state();
  console->signIn();
  for (const std::string& stray : {kCallback + "code=c&state=" + firstState, kCallback + "code=c",
                                   "kestrelixremote://elsewhere?code=c&state=" + fakes.webSignIn.state()}) {
    fakes.webSignIn.complete(stray);
  }
  EXPECT_TRUE(http.sent().empty());
  EXPECT_TRUE(console->signingIn());
  fakes.webSignIn.complete(kCallback + "code=right&state=" + fakes.webSignIn.state());
  EXPECT_EQ(http.next().json()["code"], "right");
  EXPECT_FALSE(console->signingIn());
}

TEST_F(SignInTest, WaysTheWaitEnds) {
  const struct {
    std::function<void()> act;
    std::string status;
  } cases[] = {
      {[this] { fakes.webSignIn.complete(kCallback + "state=" + fakes.webSignIn.state()); }, "Sign-in cancelled"},
      {[this] { fakes.webSignIn.complete(std::nullopt); }, "Sign-in cancelled"},
      {[this] { fakes.view.actions.cancelSignIn(); }, "Sign-in cancelled"},
      {[this] { loop.advance(2); }, "Sign-in timed out: the browser did not come back. Try again."},
      {[this] { fakes.webSignIn.complete(std::nullopt, makeError("WebSignIn", 1, "The browser window was closed.")); },
       "The browser window was closed."},
  };
  for (const auto& c : cases) {
    fakes.view.actions.signIn();
    loop.advance(AdminConsole::kSignInTimeout - 1);
    EXPECT_TRUE(fakes.view.signInPending);
    c.act();
    EXPECT_EQ(fakes.view.status, c.status);
    EXPECT_FALSE(console->signingIn());
    EXPECT_FALSE(fakes.view.signInPending);
    EXPECT_FALSE(fakes.webSignIn.running());
  }
  EXPECT_TRUE(http.sent().empty());
  fakes.webSignIn.startSucceeds = false;
  console->signIn();
  EXPECT_EQ(fakes.view.status, "Could not open sign-in");
  // A completion after the console is gone does nothing.
  fakes.webSignIn.startSucceeds = true;
  console->signIn();
  const std::string state = fakes.webSignIn.state();
  console.reset();
  EXPECT_FALSE(fakes.view.actions.signIn);
  fakes.webSignIn.complete(kCallback + "code=c&state=" + state);
  loop.runUntilIdle();
  EXPECT_TRUE(http.sent().empty());
}

TEST_F(SignInTest, TokenWorksForTheRunWithoutAKeychain) {
  fakes.keychain.available = false;
  signInWithCode("c");
  http.respondJson(200, {{"token", "fresh"}});
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(ConsoleTest, StoredTokenOfThisServiceIsUsedUnlessTheTechnicianSignedInMeanwhile) {
  console->refreshList();
  EXPECT_EQ(http.next().header("Authorization"), std::string("Bearer ") + kToken);
  fakes.keychain.items.clear();
  fakes.keychain.items[{AdminConsole::kKeychainService, "https://other.test"}] = "other";
  makeConsole(std::nullopt);
  EXPECT_EQ(console->token(), "");

  fakes.keychain.deferLoads = true;
  makeConsole(kToken);
  console->show();
  EXPECT_EQ(console->token(), "");
  fakes.keychain.finishLoads();
  EXPECT_EQ(console->token(), kToken);
  makeConsole(std::nullopt);
  console->signIn();
  fakes.webSignIn.complete(kCallback + "code=c&state=" + fakes.webSignIn.state());
  http.respondTo("/api/admin/exchange", 200, R"({"token":"fresh"})");
  fakes.keychain.finishLoads();
  EXPECT_EQ(console->token(), "fresh");
}

TEST_F(ConsoleTest, SignOutForgetsTheTokenAndLogsOutWhenThereIsOne) {
  loadDevices(Json::array({device("mac-1")}));
  console->refreshList();  // answered after the sign-out: ignored
  const std::string statusBefore = fakes.view.status;
  fakes.view.actions.signOut();
  http.respondTo("/api/admin/whoami", 200, R"({"name":"Eve"})");
  const auto& logout = http.at(*http.find("/api/admin/logout"));
  EXPECT_EQ(logout.method(), "POST");
  EXPECT_EQ(logout.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(logout.timeoutSeconds(), 60);
  EXPECT_TRUE(fakes.keychain.items.empty());
  EXPECT_EQ(fakes.view.identity, "Signed out");
  EXPECT_TRUE(fakes.view.rows.empty());
  EXPECT_FALSE(http.find("/api/admin/devices"));
  http.fail(makeError("libcurl", 7, "Couldn't connect to server"));
  EXPECT_EQ(fakes.view.status, statusBefore);
  const size_t sent = http.sent().size();
  console->signOut();
  EXPECT_EQ(http.sent().size(), sent);
  EXPECT_EQ(fakes.keychain.removes, 2);
  console->refreshList();
  EXPECT_EQ(fakes.view.status, "Sign in with technician rights to see your devices.");
}

TEST_F(ConsoleTest, DeviceListRowsFollowTheServiceRecords) {
  console->show();
  EXPECT_EQ(fakes.view.regular, true);
  EXPECT_EQ(http.next().method(), "GET");
  EXPECT_EQ(http.next().timeoutSeconds(), 8);
  http.respondJson(200, Json::object());
  EXPECT_EQ(fakes.view.identity, "Technician");
  selfDevice = "mac-5";
  Json noName = device("mac-2", "", false);
  noName.erase("name");
  noName.erase("online");
  Json stringOnline = device("mac-4", "Lab");
  stringOnline["online"] = "true";
  Json noId = device("", "Loose");
  noId.erase("id");
  http.respondJson(200, Json::array({device("mac-1"), noName, stringOnline, device("mac-5", "This Mac"), noId}));
  EXPECT_EQ(fakes.view.rows, (std::vector<DeviceRow>{{"Studio · Online", true},
                                                     {"Computer · Offline", false},
                                                     {"Lab · Offline", false},
                                                     {"This Mac · Online", false},
                                                     {"Loose · Online", true}}));
  EXPECT_EQ(fakes.view.status, kPlatformTexts.selectDevice);
  console->refreshList();
  http.respondJson(401, {{"error", "Your session has expired. Sign in again."}});
  EXPECT_EQ(fakes.view.status, "Your session has expired. Sign in again.");
  EXPECT_EQ(console->token(), kToken);
  EXPECT_EQ(fakes.view.rows.size(), 5u);
  loadDevices(Json::array({device("mac-1"), "junk"}));
  EXPECT_TRUE(fakes.view.rows.empty());
}

TEST_F(ConsoleTest, RequestsOutsideTheServiceHostAreRefused) {
  makeConsole("t", "https://elsewhere.test");
  console->show();
  EXPECT_TRUE(http.sent().empty());
  EXPECT_EQ(fakes.view.status, "Invalid support service address.");
}

TEST_F(ConsoleTest, SetupCodeIsShownAndCopiedOnlyWhenAsked) {
  const struct {
    Json answer;
    SetupCodeChoice choice;
    std::vector<std::string> copied;
  } cases[] = {
      {{{"code", "K7QX-22MN"}}, SetupCodeChoice::kCopyCode, {"K7QX-22MN"}},
      {{{"code", "K7QX-22MN"}}, SetupCodeChoice::kClose, {}},
      {{{"code", 42}}, SetupCodeChoice::kCopyCode, {}},
  };
  for (const auto& c : cases) {
    fakes.pasteboard.texts.clear();
    fakes.view.actions.createCode();
    EXPECT_EQ(http.next().path(), "/api/admin/setup-code");
    EXPECT_EQ(http.next().body(), "{}");
    http.respondJson(200, c.answer);
    const std::string code = c.answer["code"].is_string() ? c.answer["code"].get<std::string>() : "";
    EXPECT_EQ(fakes.dialogs.alerts.back().informative,
              code + "\n\nValid for one computer for 24 hours. Download the app at https://service.test/download");
    fakes.dialogs.choose(c.choice);
    EXPECT_EQ(fakes.pasteboard.texts, c.copied);
  }
  console->createCode();
  http.respondJson(403, {{"error", "Only administrators can create setup codes."}});
  EXPECT_EQ(fakes.view.status, "Only administrators can create setup codes.");
  EXPECT_EQ(fakes.dialogs.alerts.size(), 3u);
  console->createCode();
  http.respondJson(200, {{"code", "K7QX"}});
  console.reset();
  fakes.dialogs.choose(SetupCodeChoice::kCopyCode);
  EXPECT_TRUE(fakes.pasteboard.texts.empty());
}

TEST_F(ConsoleTest, RecentActivityListsTheServiceEntriesAsLines) {
  fakes.view.actions.showActivity();
  const Json entries = Json::array({
      Json{{"time", 1796591100}, {"event", "decision"}, {"device", "Studio"}, {"detail", "denied"}},
      Json{{"time", "noon"}, {"event", "sign-in"}, {"device", ""}},
      Json{{"detail", 7}},  // nothing readable: no line
  });
  http.respondTo("/api/admin/audit", 200, dumpJson(Json{{"entries", entries}}));
  EXPECT_EQ(fakes.view.activity, "2026-12-06 21:05 UTC · decision · Studio · denied\nsign-in");
  fakes.view.actions.showActivity();
  http.respondTo("/api/admin/audit", 404, R"({"error":"Not found."})");
  EXPECT_EQ(fakes.view.status, "Not found.");
  fakes.view.actions.signOut();
  EXPECT_EQ(fakes.view.activity, "");
}

}  // namespace
}  // namespace kx
