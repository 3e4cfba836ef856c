// The console's sign-in and device list.
#include <gtest/gtest.h>

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
  ASSERT_TRUE(url && url->queryItems && url->host == "admin-sign-in");
  EXPECT_EQ(*url->queryItems, (std::vector<QueryItem>{{"code", "a+b c"}, {"flag", {}}, {"state", ""}, {"x", "1"}}));
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
};

TEST_F(SignInTest, PortalGetsChallengeAndStateAndTheExchangeTheVerifier) {
  fakes.view.actions.signIn();
  EXPECT_TRUE(fakes.webSignIn.urls.at(0).starts_with("https://portal.test/native-sign-in?challenge="));
  const std::string state = fakes.webSignIn.state();
  EXPECT_EQ(state.size(), 32u);
  // RFC 7636 appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  fakes.webSignIn.complete(kCallback + "code=one-time&state=" + state);
  const auto& exchange = http.next();
  EXPECT_EQ(exchange.json()["code"], "one-time");
  const std::string verifier = exchange.json()["verifier"].get<std::string>();
  EXPECT_EQ(verifier.size(), 43u);
  EXPECT_EQ(pkceChallenge(verifier), fakes.webSignIn.query("challenge"));
  http.respondJson(200, {{"token", "fresh"}, {"name", "Grace"}});
  EXPECT_EQ((fakes.keychain.items[{AdminConsole::kKeychainService, kApiBase}]), "fresh");
  EXPECT_EQ(http.next().header("Authorization"), "Bearer fresh");
}

TEST_F(SignInTest, StrayCallbacksAreIgnoredAndTheSignInGoesOn) {
  console->signIn();
  const std::string firstState = fakes.webSignIn.state();
  console->signIn();
  for (const std::string& stray : {kCallback + "code=c&state=" + firstState, kCallback + "code=c",
                                   "kestrelixremote://elsewhere?code=c&state=" + fakes.webSignIn.state()}) {
    fakes.webSignIn.complete(stray);
  }
  EXPECT_TRUE(http.sent().empty() && console->signingIn());
  fakes.webSignIn.complete(kCallback + "code=right&state=" + fakes.webSignIn.state());
  EXPECT_EQ(http.next().json()["code"], "right");
  EXPECT_FALSE(console->signingIn());
}

TEST_F(SignInTest, WaysTheWaitEnds) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[this] { fakes.webSignIn.complete(kCallback + "state=" + fakes.webSignIn.state()); }, "Sign-in cancelled"},
      {[this] { fakes.view.actions.cancelSignIn(); }, "Sign-in cancelled"},
      {[this] { loop.advance(2); }, "Sign-in timed out: the browser did not come back. Try again."},
      {[this] { fakes.webSignIn.complete(std::nullopt, makeError("WebSignIn", 1, "The browser window was closed.")); },
       "The browser window was closed."},
  };
  for (const auto& [act, status] : cases) {
    fakes.view.actions.signIn();
    loop.advance(AdminConsole::kSignInTimeout - 1);
    act();
    EXPECT_EQ(fakes.view.status, status);
    EXPECT_FALSE(console->signingIn() || fakes.webSignIn.running()) << status;
  }
  EXPECT_TRUE(http.sent().empty());
  // A completion after the console is gone does nothing.
  console->signIn();
  const std::string state = fakes.webSignIn.state();
  console.reset();
  fakes.webSignIn.complete(kCallback + "code=c&state=" + state);
  loop.runUntilIdle();
  EXPECT_TRUE(http.sent().empty());
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
  EXPECT_EQ(logout.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_TRUE(fakes.keychain.items.empty() && fakes.view.rows.empty());
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
  http.respondJson(200, Json::object());
  selfDevice = "mac-5";
  Json noName = device("mac-2", "", false);
  noName.erase("name");
  Json stringOnline = device("mac-4", "Lab");
  stringOnline["online"] = "true";
  http.respondJson(200, Json::array({device("mac-1"), noName, stringOnline, device("mac-5", "This Mac")}));
  EXPECT_EQ(fakes.view.rows, (std::vector<DeviceRow>{{"Studio · Online", true}, {"Computer · Offline", false},
                                                     {"Lab · Offline", false}, {"This Mac · Online", false}}));
  console->refreshList();
  http.respondJson(401, {{"error", "Your session has expired. Sign in again."}});
  EXPECT_EQ(fakes.view.status, "Your session has expired. Sign in again.");
  EXPECT_TRUE(console->token() == kToken && fakes.view.rows.size() == 4u);
  loadDevices(Json::array({device("mac-1"), "junk"}));
  EXPECT_TRUE(fakes.view.rows.empty());
}

TEST_F(ConsoleTest, RequestsOutsideTheServiceHostAreRefused) {
  makeConsole("t", "https://elsewhere.test");
  console->show();
  EXPECT_TRUE(http.sent().empty());
  EXPECT_EQ(fakes.view.status, "Invalid support service address.");
}

}  // namespace
}  // namespace kx
