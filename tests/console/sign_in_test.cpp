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
  signInWithCode("c");
  http.respondJson(200, {{"name", "Grace"}});
  EXPECT_EQ(fakes.view.status, "The operation couldn’t be completed. (Invalid sign-in error 1.)");
  EXPECT_EQ(console->token(), "");
  EXPECT_EQ(fakes.keychain.saves, 0);
  EXPECT_EQ(http.pending(), 0u);
}

TEST_F(SignInTest, EmptyTokenIsInvalidSignIn) {
  signInWithCode("c");
  http.respondJson(200, {{"token", ""}});
  EXPECT_EQ(fakes.view.status, "The operation couldn’t be completed. (Invalid sign-in error 1.)");
  EXPECT_EQ(fakes.keychain.saves, 0);
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

}  // namespace
}  // namespace kx
