// The service's request handlers, driven through Service::handle on an
// in-memory database and virtual time.
#include <cmath>

#include "failing_storage.h"
#include "protocol/session_cipher.h"
#include "service_harness.h"

namespace kx::service::testing {
namespace {

class Enrollment : public ServiceHarness {};
class DevicePoll : public ServiceHarness {};
class Decision : public ServiceHarness {};
class Relay : public ServiceHarness {};
class ConsoleSignIn : public ServiceHarness {};
class DeviceList : public ServiceHarness {};
class AccessRequest : public ServiceHarness {};
class Authorisation : public ServiceHarness {};
class SessionExpiry : public ServiceHarness {};
class Portal : public ServiceHarness {};
class Routing : public ServiceHarness {};
class Audit : public ServiceHarness {};

std::vector<std::string> payloads(const Json& signals) {
  std::vector<std::string> out;
  if (!signals.is_array()) return out;
  for (const Json& s : signals) {
    const std::string* p = jsonString(s, "payload");
    out.push_back(p ? *p : "<missing>");
  }
  return out;
}

// --- enrollment ----------------------------------------------------------------

TEST_F(Enrollment, SetupCodeMakesDeviceOfTheIssuingTechnician) {
  const std::string alice = signIn("alice");
  const std::string key = newPublicKey();
  Reply r = enroll(setupCode(alice), key);
  ASSERT_EQ(r.status, 200) << r.raw.body;
  const std::string id = *jsonString(r.json, "id");
  EXPECT_TRUE(isCanonicalUuid(id));
  EXPECT_EQ(jsonString(r.json, "key")->size(), 43u);

  Reply list = get("/api/admin/devices", alice);
  ASSERT_EQ(list.json["devices"].size(), 1u);
  EXPECT_EQ(list.json["devices"][0]["id"], id);
  EXPECT_EQ(list.json["devices"][0]["name"], "Studio Mac");
  EXPECT_EQ(list.json["devices"][0]["publicKey"], key);
  EXPECT_EQ(get("/api/admin/devices", signIn("bob")).json["devices"].size(), 0u);
}

TEST_F(Enrollment, SetupCodeIsAcceptedAsTypedWithHyphensAndLowerCase) {
  std::string code = setupCode(signIn("alice"));
  std::string typed;
  for (size_t i = 0; i < code.size(); ++i) {
    if (i > 0 && i % 4 == 0) typed += "- ";
    typed += static_cast<char>(std::tolower(static_cast<unsigned char>(code[i])));
  }
  EXPECT_EQ(enroll(typed, newPublicKey()).status, 200);
}

TEST_F(Enrollment, SetupCodeServesOneMacOnly) {
  const std::string code = setupCode(signIn("alice"));
  ASSERT_EQ(enroll(code, newPublicKey()).status, 200);
  Reply second = enroll(code, newPublicKey());
  EXPECT_EQ(second.status, 401);
  EXPECT_FALSE(second.error().empty());
}

TEST_F(Enrollment, SetupCodeExpiresAfterADay) {
  const std::string alice = signIn("alice");
  const std::string early = setupCode(alice);
  const std::string late = setupCode(alice);
  clock_.advance(24 * 3600 - 1);
  EXPECT_EQ(enroll(early, newPublicKey()).status, 200);
  clock_.advance(1);
  EXPECT_EQ(enroll(late, newPublicKey()).status, 401);
}

TEST_F(Enrollment, EnrollmentTokenIsOneTime) {
  auto token = service_.createEnrollmentToken("alice");
  ASSERT_TRUE(token.ok());
  EXPECT_EQ(enroll(*token, newPublicKey()).status, 200);
  EXPECT_EQ(enroll(*token, newPublicKey()).status, 401);
  EXPECT_FALSE(service_.createEnrollmentToken("nobody").ok());
}

TEST_F(Enrollment, RegisteredMacGetsItsIdentityBackAndMayRenameItself) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string newKey = newPublicKey();
  // The stored token is "" after the first registration; the key travels in the body.
  Reply r = post("/api/enroll", Json{{"token", ""},
                                     {"installation", "INSTALL-1"},
                                     {"device", mac.id},
                                     {"key", mac.key},
                                     {"name", "Renamed"},
                                     {"publicKey", newKey}});
  ASSERT_EQ(r.status, 200) << r.raw.body;
  EXPECT_EQ(r.json, (Json{{"id", mac.id}, {"key", mac.key}}));
  Reply list = get("/api/admin/devices", alice);
  EXPECT_EQ(list.json["devices"][0]["name"], "Renamed");
  EXPECT_EQ(list.json["devices"][0]["publicKey"], newKey);

  // The bearer alone proves the key as well.
  Reply byBearer = post("/api/enroll", Json{{"token", ""}, {"device", mac.id}, {"key", ""}}, mac.key);
  EXPECT_EQ(byBearer.status, 200);
  EXPECT_EQ(*jsonString(byBearer.json, "id"), mac.id);
}

TEST_F(Enrollment, WrongKeyWithoutTokenIsRefused) {
  Mac mac = makeMac(signIn("alice"));
  Reply r = post("/api/enroll", Json{{"token", ""}, {"device", mac.id}, {"key", "wrong"}, {"publicKey", newPublicKey()}});
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(post("/api/enroll", Json{{"token", ""}, {"device", ""}, {"key", ""}}).status, 401);
}

TEST_F(Enrollment, KnownIdentityWinsAndLeavesCarriedTokenUnspent) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string code = setupCode(alice);
  Reply r = post("/api/enroll", Json{{"token", code}, {"device", mac.id}, {"key", mac.key}, {"publicKey", newPublicKey()}});
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(*jsonString(r.json, "id"), mac.id);
  EXPECT_EQ(enroll(code, newPublicKey()).status, 200);  // still good for another Mac
}

TEST_F(Enrollment, StaleIdentityWithFreshTokenMakesANewDevice) {
  const std::string alice = signIn("alice");
  Reply r = post("/api/enroll", Json{{"token", setupCode(alice)},
                                     {"device", "5B1C8E2F-0000-4000-8000-000000000000"},
                                     {"key", "forgotten"},
                                     {"publicKey", newPublicKey()}});
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(*jsonString(r.json, "id"), "5B1C8E2F-0000-4000-8000-000000000000");
}

TEST_F(Enrollment, PublicKeyMustBeAPointAndRefusalKeepsTheCode) {
  const std::string code = setupCode(signIn("alice"));
  Bytes point = P256PrivateKey::generate().publicKeyX963();
  Bytes offCurve = point;
  offCurve[64] ^= 1;
  for (const std::string& bad : {base64Encode(Bytes(point.begin(), point.end() - 1)), base64Encode(offCurve),
                                 std::string("not base64!"), base64Encode(randomBytes(32))}) {
    Reply r = enroll(code, bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.error().find("publicKey"), std::string::npos);
  }
  EXPECT_EQ(post("/api/enroll", Json{{"token", code}}).status, 400);  // no key at all
  EXPECT_EQ(enroll(code, base64Encode(point)).status, 200);
}

TEST_F(Enrollment, MacWithoutNameIsCalledMac) {
  const std::string alice = signIn("alice");
  ASSERT_EQ(post("/api/enroll", Json{{"token", setupCode(alice)}, {"publicKey", newPublicKey()}}).status, 200);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["name"], "Mac");
}

// --- poll ----------------------------------------------------------------------------

TEST_F(DevicePoll, WithoutRequestThereIsNoSessionKey) {
  Mac mac = makeMac(signIn("alice"));
  Reply r = poll(mac);
  EXPECT_EQ(r.status, 200);
  EXPECT_FALSE(r.json.contains("session"));
}

TEST_F(DevicePoll, KeepsTheLatestStateReport) {
  Mac mac = makeMac(signIn("alice"));
  poll(mac, Json{{"rtcState", "connecting"}, {"captureState", "choosing"}, {"inputPermission", false}});
  poll(mac, Json{{"rtcState", "connected"}, {"captureState", "streaming"}, {"inputPermission", true},
                 {"controlVersion", 4}, {"unknown", "dropped"}});
  auto stored = parseJson(storage_->deviceById(mac.id).value()->state).value();
  EXPECT_EQ(stored["rtcState"], "connected");
  EXPECT_EQ(stored["captureState"], "streaming");
  EXPECT_EQ(stored["inputPermission"], true);
  EXPECT_EQ(stored["controlVersion"], 4);
  EXPECT_FALSE(stored.contains("unknown"));
}

TEST_F(DevicePoll, PendingRequestCarriesWhatTheMacNeedsToDecide) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  const std::string browserKey = newPublicKey();
  const std::string salt = newSalt();
  ASSERT_EQ(post("/api/admin/request", Json{{"id", sid}, {"device", mac.id}, {"browserKey", browserKey}, {"salt", salt}},
                 alice)
                .status,
            200);
  Reply r = poll(mac);
  EXPECT_EQ(r.json["session"], (Json{{"id", sid},
                                     {"state", "pending"},
                                     {"technician", "alice"},
                                     {"browserKey", browserKey},
                                     {"salt", salt}}));
}

// --- decision ------------------------------------------------------------------------

TEST_F(Decision, ApprovalAnswersAnExpiryAtMostThirtyMinutesAhead) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  const double now = clock_.wallTime();
  Reply r = decide(mac, sid, true);
  ASSERT_EQ(r.status, 200);
  const auto expires = jsonNumber(r.json, "expires");
  ASSERT_TRUE(expires);
  EXPECT_LE(*expires, now + 1800);
  EXPECT_GT(*expires, now + 1799);
  EXPECT_EQ(status(alice, sid), "approved");
  EXPECT_EQ(poll(mac).json["session"]["state"], "approved");

  // A repeated approval (lost answer) gets the same expiry.
  clock_.advance(5);
  EXPECT_EQ(jsonNumber(decide(mac, sid, true).json, "expires"), expires);
}

TEST_F(Decision, DenialIsNoSessionForTheMacAndDeniedForTheConsole) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  Reply r = decide(mac, sid, false);
  EXPECT_EQ(r.status, 200);
  EXPECT_FALSE(r.json.contains("expires"));
  EXPECT_FALSE(poll(mac).json.contains("session"));
  EXPECT_EQ(status(alice, sid), "denied");
  EXPECT_EQ(decide(mac, sid, false).status, 200);
  EXPECT_EQ(decide(mac, sid, true).status, 409);
}

TEST_F(Decision, LateDecisionLetsADenialStandAndSaysAnApprovalExpired) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  ASSERT_EQ(post("/api/admin/session/" + sid + "/end", Json::object(), alice).status, 200);
  EXPECT_EQ(decide(mac, sid, false).status, 200);
  const Reply late = decide(mac, sid, true);
  EXPECT_EQ(late.status, 409);
  EXPECT_EQ(late.json["error"], "The request has expired.");
  EXPECT_EQ(status(alice, sid), "ended");
}

TEST_F(Decision, MalformedOrUnknownDecisionsAreRefused) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  EXPECT_EQ(post("/api/device/" + mac.id + "/decision", Json{{"session", sid}, {"approve", "yes"}}, mac.key).status, 400);
  EXPECT_EQ(post("/api/device/" + mac.id + "/decision", Json{{"approve", true}}, mac.key).status, 400);
  EXPECT_EQ(decide(mac, newUuid(), true).status, 404);
  EXPECT_EQ(status(alice, sid), "pending");
}

TEST_F(Decision, EndedSessionCannotBeApproved) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  ASSERT_EQ(post("/api/admin/session/" + sid + "/end", Json::object(), alice).status, 200);
  EXPECT_EQ(decide(mac, sid, true).status, 409);
  // The Mac's own end request afterwards is harmless.
  EXPECT_EQ(post("/api/device/" + mac.id + "/end", Json{{"session", sid}}, mac.key).status, 200);
}

// --- relay ----------------------------------------------------------------------------

TEST_F(Relay, PayloadsTravelUnchangedAndComeBackUntilTheSessionCloses) {
  Approved a = approvedSession();
  const std::string weird = "ünïcødé \"quoted\" \\ / \u2028";
  ASSERT_EQ(post("/api/device/" + a.mac.id + "/signal", Json{{"session", a.sid}, {"payloads", {"offer", weird}}}, a.mac.key)
                .status,
            200);
  ASSERT_EQ(post("/api/admin/session/" + a.sid + "/signal", Json{{"payloads", {"answer"}}}, a.token).status, 200);

  // Every read returns everything of that direction: a lost answer loses nothing.
  for (int read = 0; read < 2; ++read) {
    Reply s = get("/api/admin/session/" + a.sid + "/status", a.token);
    EXPECT_EQ(payloads(s.json["signals"]), (std::vector<std::string>{"offer", weird}));
    EXPECT_EQ(payloads(get("/api/admin/session/" + a.sid + "/signal", a.token).json["signals"]),
              (std::vector<std::string>{"offer", weird}));
    EXPECT_EQ(payloads(poll(a.mac).json["session"]["signals"]), (std::vector<std::string>{"answer"}));
  }

  ASSERT_EQ(post("/api/device/" + a.mac.id + "/end", Json{{"session", a.sid}}, a.mac.key).status, 200);
  Reply ended = get("/api/admin/session/" + a.sid + "/status", a.token);
  EXPECT_EQ(ended.json, (Json{{"state", "ended"}}));
  EXPECT_EQ(get("/api/admin/session/" + a.sid + "/signal", a.token).json["signals"], Json::array());
}

TEST_F(Relay, RetriedPostIsKeptOnce) {
  Approved a = approvedSession();
  const Json body{{"session", a.sid}, {"payloads", {"one", "two"}}};
  ASSERT_EQ(post("/api/device/" + a.mac.id + "/signal", body, a.mac.key).status, 200);
  ASSERT_EQ(post("/api/device/" + a.mac.id + "/signal", body, a.mac.key).status, 200);
  EXPECT_EQ(payloads(get("/api/admin/session/" + a.sid + "/signal", a.token).json["signals"]),
            (std::vector<std::string>{"one", "two"}));
}

TEST_F(Relay, CountBoundAnswers429) {
  Approved a = approvedSession();
  int sent = 0;
  for (int post8 = 0; post8 < 64; ++post8) {
    Json batch = Json::array();
    for (int i = 0; i < 8; ++i) batch.push_back("signal-" + std::to_string(sent++));
    ASSERT_EQ(post("/api/admin/session/" + a.sid + "/signal", Json{{"payloads", batch}}, a.token).status, 200);
  }
  Reply over = post("/api/admin/session/" + a.sid + "/signal", Json{{"payloads", {"one more"}}}, a.token);
  EXPECT_EQ(over.status, 429);
  EXPECT_FALSE(over.error().empty());
  EXPECT_EQ(poll(a.mac).json["session"]["signals"].size(), 512u);
  // The other direction has its own bound.
  EXPECT_EQ(post("/api/device/" + a.mac.id + "/signal", Json{{"session", a.sid}, {"payloads", {"x"}}}, a.mac.key).status,
            200);
}

TEST_F(Relay, ByteBoundAnswers429) {
  Approved a = approvedSession();
  const std::string big(60000, 'A');
  int accepted = 0;
  Reply r;
  for (int i = 0; i < 40; ++i) {
    r = post("/api/device/" + a.mac.id + "/signal",
             Json{{"session", a.sid}, {"payloads", {std::to_string(i) + big}}}, a.mac.key);
    if (r.status != 200) break;
    ++accepted;
  }
  EXPECT_EQ(r.status, 429);
  EXPECT_EQ(accepted, 2 * 1024 * 1024 / 60001);
}

// The largest post a Mac makes: an offer at the SDP limit (as many line ends
// as an SDP can hold) and 15 candidates at theirs, each sealed as the peers do.
Json largestSignalPost(const std::string& sid) {
  const SessionCipher cipher = SessionCipher::fromKey({});
  std::string sdp;
  while (sdp.size() < kMaxSdpBytes) sdp += "a=x\r\n";
  const Json offer{{"type", "offer"}, {"sdp", sdp}, {"messageId", newUuid()}};
  Json list{sealToBase64(cipher, dumpJson(offer)).value()};
  for (size_t i = 1; i < kMaxSignalsPerDevicePost; ++i) {
    const Json candidate{
        {"type", "candidate"},
        {"candidate", {{"candidate", std::string(kMaxCandidateBytes, 'c')}, {"sdpMid", "0"}, {"sdpMLineIndex", 0}}},
        {"messageId", newUuid()}};
    list.push_back(sealToBase64(cipher, dumpJson(candidate)).value());
  }
  return Json{{"session", sid}, {"payloads", std::move(list)}};
}

TEST_F(Relay, LargestValidPostFitsAndOneByteMorePerPayloadDoesNot) {
  Approved a = approvedSession();
  const std::string device = "/api/device/" + a.mac.id + "/signal";
  const Json largest = largestSignalPost(a.sid);
  EXPECT_LE(dumpJson(largest).size(), kMaxRequestBodyBytes);
  EXPECT_EQ(post(device, largest, a.mac.key).status, 200);
  const std::string atLimit(kMaxSignalPayloadBytes, 'A');
  EXPECT_EQ(post(device, Json{{"session", a.sid}, {"payloads", {atLimit}}}, a.mac.key).status, 200);
  EXPECT_EQ(post(device, Json{{"session", a.sid}, {"payloads", {atLimit + "A"}}}, a.mac.key).status, 413);
}

TEST_F(Relay, MalformedPostsAreRefused) {
  Approved a = approvedSession();
  const std::string device = "/api/device/" + a.mac.id + "/signal";
  const std::string console = "/api/admin/session/" + a.sid + "/signal";
  Json seventeen = Json::array();
  for (int i = 0; i < 17; ++i) seventeen.push_back("p" + std::to_string(i));
  Json nine(seventeen.begin(), seventeen.begin() + 9);
  Json sixteen(seventeen.begin(), seventeen.begin() + 16);
  EXPECT_EQ(post(device, Json{{"session", a.sid}, {"payloads", seventeen}}, a.mac.key).status, 400);
  EXPECT_EQ(post(device, Json{{"session", a.sid}, {"payloads", sixteen}}, a.mac.key).status, 200);
  EXPECT_EQ(post(console, Json{{"payloads", nine}}, a.token).status, 400);
  EXPECT_EQ(post(console, Json{{"payloads", Json::array()}}, a.token).status, 400);
  EXPECT_EQ(post(console, Json{{"payloads", {1}}}, a.token).status, 400);
  EXPECT_EQ(post(console, Json{{"payloads", {""}}}, a.token).status, 400);
  EXPECT_EQ(post(console, Json{{"payloads", "text"}}, a.token).status, 400);
}

TEST_F(Relay, NothingIsRelayedBeforeApproval) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  EXPECT_EQ(post("/api/admin/session/" + sid + "/signal", Json{{"payloads", {"early"}}}, alice).status, 409);
  EXPECT_EQ(post("/api/device/" + mac.id + "/signal", Json{{"session", sid}, {"payloads", {"early"}}}, mac.key).status,
            409);
  EXPECT_FALSE(poll(mac).json["session"].contains("signals"));
  EXPECT_FALSE(get("/api/admin/session/" + sid + "/status", alice).json.contains("signals"));
}

// --- console sign-in ----------------------------------------------------------------

TEST_F(ConsoleSignIn, ExchangeAnswersTokenAndName) {
  Reply r = post("/api/admin/exchange", Json{{"code", signInCode("alice")}, {"verifier", kVerifier}});
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.json["name"], "alice");
  EXPECT_EQ(get("/api/admin/whoami", *jsonString(r.json, "token")).json, (Json{{"name", "alice"}}));
}

TEST_F(ConsoleSignIn, WrongVerifierFailsAndSpendsTheCode) {
  const std::string code = signInCode("alice");
  Reply wrong = post("/api/admin/exchange", Json{{"code", code}, {"verifier", std::string(43, 'x')}});
  EXPECT_EQ(wrong.status, 401);
  EXPECT_FALSE(wrong.json.contains("token"));
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}}).status, 401);
}

TEST_F(ConsoleSignIn, CodeIsOneTimeAndLastsSixtySeconds) {
  const std::string code = signInCode("alice");
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}}).status, 200);
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}}).status, 401);

  const std::string slow = signInCode("alice");
  clock_.advance(60);
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", slow}, {"verifier", kVerifier}}).status, 401);
}

TEST_F(ConsoleSignIn, MalformedExchangeIsBadInput) {
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", "x"}}).status, 400);
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", signInCode("alice")}, {"verifier", "short"}}).status, 400);
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", "unknown"}, {"verifier", kVerifier}}).status, 401);
}

TEST_F(ConsoleSignIn, LogoutRevokesTheToken) {
  const std::string token = signIn("alice");
  const std::string other = signIn("alice");
  EXPECT_EQ(call("POST", "/api/admin/logout", token).status, 200);
  EXPECT_EQ(get("/api/admin/whoami", token).status, 401);
  EXPECT_EQ(call("POST", "/api/admin/logout", token).status, 401);
  EXPECT_EQ(get("/api/admin/whoami", other).status, 200);
}

TEST_F(ConsoleSignIn, TokenLapsesAfterThirtyDays) {
  const std::string token = signIn("alice");
  clock_.advance(30 * 24 * 3600 - 1);
  EXPECT_EQ(get("/api/admin/whoami", token).status, 200);
  clock_.advance(1);
  EXPECT_EQ(get("/api/admin/whoami", token).status, 401);
}

TEST_F(ConsoleSignIn, UnusedSetupCodesPerTechnicianAreLimited) {
  const std::string alice = signIn("alice");
  for (int i = 0; i < 20; ++i) ASSERT_FALSE(setupCode(alice).empty()) << i;
  EXPECT_EQ(post("/api/admin/setup-code", Json::object(), alice).status, 429);
  EXPECT_FALSE(service_.createSetupCode("alice").ok());
  EXPECT_TRUE(service_.createSetupCode("bob").ok());
  clock_.advance(24 * 3600);
  EXPECT_FALSE(setupCode(alice).empty());
}

TEST_F(ConsoleSignIn, SetupCodeIsTwentyUpperCaseHexDigits) {
  const std::string code = setupCode(signIn("alice"));
  ASSERT_EQ(code.size(), 20u);
  EXPECT_EQ(code.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(post("/api/admin/setup-code", Json::array(), signIn("alice")).status, 400);
}

// --- device list ----------------------------------------------------------------------

TEST_F(DeviceList, OnlineMeansPolledWithinTwentySeconds) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["online"], true);
  clock_.advance(20);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["online"], true);
  clock_.advance(1);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["online"], false);
  poll(mac);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["online"], true);
}

TEST_F(DeviceList, NeverPolledMacIsOffline) {
  const std::string alice = signIn("alice");
  ASSERT_EQ(enroll(setupCode(alice), newPublicKey()).status, 200);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"][0]["online"], false);
}

// --- access request --------------------------------------------------------------------

TEST_F(AccessRequest, InputIsCheckedFieldByField) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const Json good{{"id", newUuid()}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", newSalt()}};
  auto with = [&](const char* key, Json value) {
    Json body = good;
    body[key] = std::move(value);
    return post("/api/admin/request", body, alice);
  };
  std::string lower = newUuid();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(with("id", lower).status, 400);
  EXPECT_EQ(with("id", "not-a-uuid").status, 400);
  EXPECT_EQ(with("browserKey", base64Encode(randomBytes(65))).status, 400);
  EXPECT_EQ(with("salt", base64Encode(randomBytes(15))).status, 400);
  EXPECT_EQ(with("salt", base64Encode(randomBytes(17))).status, 400);
  EXPECT_EQ(with("device", 7).status, 400);
  EXPECT_EQ(with("device", newUuid()).status, 404);
  EXPECT_EQ(post("/api/admin/request", good, alice).status, 200);
}

TEST_F(AccessRequest, OfflineMacIsAConflict) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  clock_.advance(21);
  Reply r = requestAccess(alice, mac, newUuid());
  EXPECT_EQ(r.status, 409);
  EXPECT_FALSE(r.error().empty());
}

TEST_F(AccessRequest, OneOpenSessionPerMac) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string first = newUuid();
  ASSERT_EQ(requestAccess(alice, mac, first).status, 200);
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 409);
  ASSERT_EQ(post("/api/admin/session/" + first + "/end", Json::object(), alice).status, 200);
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 200);
}

TEST_F(AccessRequest, AfterADenialTheSameMacCanBeAskedAgainOnlyAfterGrowingWaits) {
  const std::string alice = signIn("alice");
  const Mac mac = makeMac(alice);
  for (const double wait : {60.0, 300.0, 1800.0, 1800.0}) {
    const std::string sid = newUuid();
    ASSERT_EQ(requestAccess(alice, mac, sid).status, 200);
    ASSERT_EQ(decide(mac, sid, false).status, 200);
    clock_.advance(wait - 1);
    poll(mac);
    Reply early = requestAccess(alice, mac, newUuid());
    EXPECT_EQ(early.status, 429) << wait;
    EXPECT_NE(early.error().find("declined your last request"), std::string::npos) << early.error();
    EXPECT_EQ(early.header("Retry-After"), "1");
    clock_.advance(1);
    poll(mac);
  }
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 200);
}

TEST_F(AccessRequest, RetriedRequestIsAcceptedButAReusedIdIsNot) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const Json body{{"id", newUuid()}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", newSalt()}};
  ASSERT_EQ(post("/api/admin/request", body, alice).status, 200);
  EXPECT_EQ(post("/api/admin/request", body, alice).status, 200);
  Json changed = body;
  changed["salt"] = newSalt();
  EXPECT_EQ(post("/api/admin/request", changed, alice).status, 409);
}

// --- authorisation matrix -----------------------------------------------------------------

TEST_F(Authorisation, DeviceKeyActsOnlyForItsOwnDevice) {
  Approved a = approvedSession();
  Mac other = makeMac(a.token);
  const Json sessionBody{{"session", a.sid}};
  for (const char* op : {"poll", "decision", "signal", "end"}) {
    const std::string path = "/api/device/" + a.mac.id + "/" + op;
    EXPECT_EQ(post(path, sessionBody, other.key).status, 403) << op;
    EXPECT_EQ(post(path, sessionBody, "unknown-key").status, 401) << op;
    EXPECT_EQ(post(path, sessionBody).status, 401) << op;
  }
  // Its own path, but another device's session.
  EXPECT_EQ(post("/api/device/" + other.id + "/end", sessionBody, other.key).status, 403);
  EXPECT_EQ(post("/api/device/" + other.id + "/signal", Json{{"session", a.sid}, {"payloads", {"x"}}}, other.key).status,
            403);
  EXPECT_EQ(status(a.token, a.sid), "approved");
}

TEST_F(Authorisation, TechnicianSeesAndTouchesOnlyHerMacsAndSessions) {
  Approved a = approvedSession();
  const std::string bob = signIn("bob");
  EXPECT_EQ(get("/api/admin/devices", bob).json["devices"], Json::array());
  EXPECT_EQ(requestAccess(bob, a.mac, newUuid()).status, 403);
  const std::string base = "/api/admin/session/" + a.sid;
  EXPECT_EQ(get(base + "/status", bob).status, 403);
  EXPECT_EQ(get(base + "/signal", bob).status, 403);
  EXPECT_EQ(post(base + "/signal", Json{{"payloads", {"x"}}}, bob).status, 403);
  EXPECT_EQ(post(base + "/end", Json::object(), bob).status, 403);
  EXPECT_EQ(get(base + "/status", "forged").status, 401);
  EXPECT_EQ(get("/api/admin/session/" + newUuid() + "/status", bob).status, 404);
  EXPECT_EQ(status(a.token, a.sid), "approved");
}

TEST_F(Authorisation, TechnicianRevokesHerOwnMacsOnly) {
  const std::string alice = signIn("alice");
  const std::string bob = signIn("bob");
  const Mac mac = makeMac(alice);
  EXPECT_EQ(post("/api/admin/revoke", Json{{"device", mac.id}}, bob).status, 403);
  EXPECT_EQ(poll(mac).status, 200);
  EXPECT_EQ(post("/api/admin/revoke", Json{{"device", mac.id}}, alice).status, 200);
  EXPECT_EQ(poll(mac).status, 401);
  EXPECT_EQ(get("/api/admin/devices", alice).json["devices"], Json::array());
  EXPECT_EQ(post("/api/admin/revoke", Json{{"device", mac.id}}, alice).status, 404);
}

TEST_F(Authorisation, DeviceKeyIsNoTechnicianToken) {
  Mac mac = makeMac(signIn("alice"));
  EXPECT_EQ(get("/api/admin/devices", mac.key).status, 401);
  EXPECT_EQ(post("/api/admin/setup-code", Json::object(), mac.key).status, 401);
}

// --- expiry --------------------------------------------------------------------------------

TEST_F(SessionExpiry, UndecidedRequestEndsAfterTwoMinutes) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  clock_.advance(119);
  EXPECT_EQ(poll(mac).json["session"]["state"], "pending");
  clock_.advance(1);
  EXPECT_FALSE(poll(mac).json.contains("session"));
  EXPECT_EQ(status(alice, sid), "ended");
  EXPECT_EQ(decide(mac, sid, true).status, 409);
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 200);
}

TEST_F(SessionExpiry, ApprovedSessionEndsAtItsConsentExpiry) {
  Approved a = approvedSession();
  const double expires = *jsonNumber(decide(a.mac, a.sid, true).json, "expires");
  clock_.advance(expires - clock_.wallTime() - 1);
  EXPECT_EQ(status(a.token, a.sid), "approved");
  clock_.advance(1);
  EXPECT_EQ(status(a.token, a.sid), "ended");
  EXPECT_FALSE(poll(a.mac).json.contains("session"));
  EXPECT_EQ(post("/api/device/" + a.mac.id + "/signal", Json{{"session", a.sid}, {"payloads", {"late"}}}, a.mac.key)
                .status,
            409);
}

TEST_F(SessionExpiry, SweepEndsOverdueSessionsWithoutAnyRead) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string sid = newUuid();
  requestAccess(alice, mac, sid);
  clock_.advance(121);
  ASSERT_TRUE(service_.sweep().ok());
  EXPECT_EQ(storage_->sessionById(sid).value()->state, SessionState::ended);
  EXPECT_TRUE(storage_->openSessions("").value().empty());
}

class ShortSessions : public ServiceHarness {
 protected:
  static ServiceOptions options() {
    ServiceOptions o = testOptions();
    o.consentSeconds = 5;
    o.pendingSeconds = 3;
    return o;
  }
  ShortSessions() : ServiceHarness(options()) {}
};

TEST_F(ShortSessions, ConfiguredDurationsApply) {
  const std::string alice = signIn("alice");
  Mac mac = makeMac(alice);
  const std::string first = newUuid();
  requestAccess(alice, mac, first);
  clock_.advance(3);
  EXPECT_EQ(status(alice, first), "ended");

  poll(mac);
  const std::string second = newUuid();
  ASSERT_EQ(requestAccess(alice, mac, second).status, 200);
  const double now = clock_.wallTime();
  EXPECT_LE(*jsonNumber(decide(mac, second, true).json, "expires"), now + 5);
  clock_.advance(5);
  EXPECT_EQ(status(alice, second), "ended");
}

class LongConsent : public ServiceHarness {
 protected:
  static ServiceOptions options() {
    ServiceOptions o = testOptions();
    o.consentSeconds = 7200;
    return o;
  }
  LongConsent() : ServiceHarness(options()) {}
};

TEST_F(LongConsent, NeverExceedsThirtyMinutes) {
  Approved a = approvedSession();
  EXPECT_LE(*jsonNumber(decide(a.mac, a.sid, true).json, "expires"), clock_.wallTime() + 1800);
}

// --- portal ---------------------------------------------------------------------------------

TEST_F(Portal, SignInPageNeedsAWellFormedChallengeAndState) {
  Reply good = call("GET", std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState);
  EXPECT_EQ(good.status, 200);
  EXPECT_EQ(good.raw.contentType, "text/html; charset=utf-8");
  EXPECT_NE(good.raw.body.find(std::string("value=\"") + kChallenge + "\""), std::string::npos);
  EXPECT_NE(good.raw.body.find("type=\"password\""), std::string::npos);
  EXPECT_FALSE(good.header("Content-Security-Policy").empty());
  EXPECT_EQ(good.header("Strict-Transport-Security"), "max-age=31536000");

  const std::string shortChallenge = std::string(kChallenge).substr(1);
  const std::string upperState = "0123456789ABCDEF0123456789abcdef";
  for (const std::string& query : {"challenge=" + shortChallenge + "&state=" + kState,
                                   std::string("challenge=") + kChallenge + "&state=" + upperState,
                                   std::string("challenge=") + kChallenge, std::string("state=") + kState,
                                   std::string("challenge=%zz&state=") + kState}) {
    EXPECT_EQ(call("GET", "/native-sign-in?" + query).status, 400) << query;
  }
}

TEST_F(Portal, CorrectPasswordRedirectsToTheAppWithCodeAndState) {
  Reply r = call("POST", "/native-sign-in", "",
                 std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge + "&state=" + kState);
  ASSERT_EQ(r.status, 303);
  const std::string location = r.header("Location");
  const std::string prefix = "kestrelixremote://admin-sign-in?code=";
  ASSERT_EQ(location.rfind(prefix, 0), 0u) << location;
  EXPECT_EQ(location.substr(location.size() - 39), std::string("&state=") + kState);
  EXPECT_EQ(location.size(), prefix.size() + 43 + 39);
}

TEST_F(Portal, BrowserConsoleSignInReturnsToTheConsoleOnThisOrigin) {
  Reply form = call("GET", std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState +
                               "&return=console");
  EXPECT_NE(form.raw.body.find("name=\"return\" value=\"console\""), std::string::npos);
  EXPECT_EQ(call("GET", std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState +
                            "&return=https%3A%2F%2Fevil.test")
                .status,
            400);
  Reply r = call("POST", "/native-sign-in", "",
                 std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge + "&state=" + kState +
                     "&return=console");
  ASSERT_EQ(r.status, 303);
  const std::string location = r.header("Location");
  EXPECT_EQ(location.rfind("/console/?code=", 0), 0u) << location;
  EXPECT_EQ(location.substr(location.size() - 39), std::string("&state=") + kState);
}

TEST_F(Portal, WrongPasswordShowsTheFormAgain) {
  Reply r = call("POST", "/native-sign-in", "",
                 std::string("name=alice&password=wrong&challenge=") + kChallenge + "&state=" + kState);
  EXPECT_EQ(r.status, 401);
  EXPECT_TRUE(r.header("Location").empty());
  EXPECT_NE(r.raw.body.find("Wrong name or password."), std::string::npos);
  EXPECT_EQ(signInCode("nobody"), "");
}

TEST_F(Portal, FormFieldsArePercentDecoded) {
  ASSERT_TRUE(service_.addTechnician("Dana Ø", "p@ss word+1").ok());
  Reply r = call("POST", "/native-sign-in", "",
                 std::string("name=Dana+%C3%98&password=p%40ss%20word%2B1&challenge=") + kChallenge +
                     "&state=" + kState);
  EXPECT_EQ(r.status, 303);
}

TEST_F(Portal, FailedSignInsAreLimitedPerName) {
  for (int i = 0; i < 5; ++i) signInCode("alice", "wrong", kChallenge, "198.51.100." + std::to_string(i));
  Reply blocked = call("POST", "/native-sign-in", "",
                       std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge + "&state=" + kState,
                       "198.51.100.99");
  EXPECT_EQ(blocked.status, 429);
  EXPECT_FALSE(blocked.header("Retry-After").empty());
  EXPECT_NE(signInCode("bob"), "");  // another name is not affected
  clock_.advance(15 * 60);
  EXPECT_NE(signInCode("alice"), "");
}

TEST_F(Portal, FailedSignInsAreLimitedPerAddress) {
  for (int i = 0; i < 20; ++i) signInCode("guess" + std::to_string(i), "wrong", kChallenge, "203.0.113.7");
  EXPECT_EQ(signInCode("alice", kPassword, kChallenge, "203.0.113.7"), "");
  EXPECT_NE(signInCode("alice", kPassword, kChallenge, "203.0.113.8"), "");
}

TEST_F(Portal, CyclingNamesAndAddressesDoesNotResetAVictimsCount) {
  for (int i = 0; i < 4; ++i) signInCode("alice", "wrong", kChallenge, "198.51.100.1");
  for (int i = 0; i < 2000; ++i) {
    signInCode("user" + std::to_string(i), "wrong", kChallenge,
               "203.0." + std::to_string(i / 200) + "." + std::to_string(i % 200));
  }
  signInCode("alice", "wrong", kChallenge, "198.51.100.2");
  EXPECT_EQ(signInCode("alice", kPassword, kChallenge, "198.51.100.3"), "");
}

TEST_F(Portal, CodeIsBoundToTheChallengeOfItsSignIn) {
  // A code obtained for another challenge does not fit our verifier.
  const std::string otherChallenge = pkceChallenge(std::string(43, 'z'));
  const std::string code = signInCode("alice", kPassword, otherChallenge);
  ASSERT_FALSE(code.empty());
  EXPECT_EQ(post("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}}).status, 401);
}

// --- routing ------------------------------------------------------------------------------------

TEST_F(Routing, EveryRefusalIsAJsonErrorText) {
  const std::string alice = signIn("alice");
  const Reply refusals[] = {
      call("GET", "/api/nothing"),
      call("GET", "/api/enroll"),
      call("DELETE", "/api/admin/whoami", alice),
      call("POST", "/api/enroll", "", "[1,2]"),
      call("POST", "/api/enroll", "", "{not json"),
      call("POST", "/api/admin/request", alice, "\"text\""),
      call("GET", "/api/device/x/poll"),
  };
  const int expected[] = {404, 405, 405, 400, 400, 400, 405};
  for (size_t i = 0; i < std::size(refusals); ++i) {
    EXPECT_EQ(refusals[i].status, expected[i]) << i;
    EXPECT_FALSE(refusals[i].error().empty()) << i << ": " << refusals[i].raw.body;
  }
}

TEST_F(Routing, BearerSchemeIsCaseInsensitive) {
  const std::string token = signIn("alice");
  Request r{"GET", "/api/admin/whoami", "bEaReR   " + token + "  ", "", "", "::1"};
  EXPECT_EQ(service_.handle(r).status, 200);
  r.authorization = "Basic " + token;
  EXPECT_EQ(service_.handle(r).status, 401);
}

// --- audit ------------------------------------------------------------------------------------

// "event: detail" of each row, newest first.
std::vector<std::string> trail(const Json& entries) {
  std::vector<std::string> out;
  for (const Json& e : entries) out.push_back(e.value("event", "") + ": " + e.value("detail", ""));
  return out;
}

TEST_F(Audit, WholeSessionIsRecordedNewestFirstForItsTechnicianOnly) {
  Approved a = approvedSession();
  ASSERT_EQ(
      post("/api/device/" + a.mac.id + "/signal", Json{{"session", a.sid}, {"payloads", {"offer"}}}, a.mac.key).status,
      200);
  ASSERT_EQ(post("/api/device/" + a.mac.id + "/end", Json{{"session", a.sid}}, a.mac.key).status, 200);
  const Json entries = get("/api/admin/audit", a.token).json["entries"];
  EXPECT_EQ(trail(entries),
            (std::vector<std::string>{"session-end: ended by the person", "session-start: ", "decision: approved",
                                      "access-request: ", "device-enrolled: with a setup code",
                                      "setup-code-created: ", "sign-in: ", "technician-added: "}));
  const Json& end = entries[0];
  EXPECT_EQ(end["technician"], "alice");
  EXPECT_EQ(end["device"], "Studio Mac");
  EXPECT_EQ(end["deviceId"], a.mac.id);
  EXPECT_EQ(end["session"], a.sid);
  EXPECT_EQ(end["address"], "192.0.2.1");
  EXPECT_EQ(trail(get("/api/admin/audit", signIn("bob")).json["entries"]),
            (std::vector<std::string>{"sign-in: ", "technician-added: "}));
}

TEST_F(Audit, NoEndpointChangesOrRemovesRows) {
  const std::string token = signIn("alice");
  const Json before = get("/api/admin/audit", token).json;
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
    for (const char* target : {"/api/admin/audit", "/api/admin/audit/1", "/api/admin/audit?id=1"}) {
      const int status = call(method, target, token, "{}").status;
      EXPECT_TRUE(status == 404 || status == 405) << method << " " << target << " " << status;
    }
  }
  EXPECT_EQ(get("/api/admin/audit", token).json, before);
}

}  // namespace
}  // namespace kx::service::testing

namespace kx::service::testing {
namespace {

class StorageTrouble : public ::testing::Test {
 protected:
  StorageTrouble() : real_(SqliteStorage::open(":memory:").value()), storage_(*real_), service_(storage_, clock_, options()) {
    EXPECT_TRUE(service_.addTechnician("alice", kPassword).ok());
  }
  ServiceOptions options() {
    ServiceOptions o = testOptions();
    o.log = [this](std::string_view line) { logged_.emplace_back(line); };
    return o;
  }
  Response enroll(const std::string& code) {
    Request r{"POST", "/api/enroll", "", "", dumpJson(Json{{"token", code}, {"publicKey", newPublicKey()}}), "::1"};
    return service_.handle(r);
  }

  VirtualLoop clock_;
  std::unique_ptr<SqliteStorage> real_;
  FailingStorage storage_;
  std::vector<std::string> logged_;
  Service service_;
};

TEST_F(StorageTrouble, FailureIsA503WithAnErrorTextAndIsLogged) {
  const std::string code = service_.createSetupCode("alice").value();
  storage_.failOn("*");
  Response r = enroll(code);
  EXPECT_EQ(r.status, 503);
  EXPECT_TRUE(jsonString(parseJson(r.body).value(), "error"));
  ASSERT_FALSE(logged_.empty());
  EXPECT_NE(logged_.back().find("disk I/O error"), std::string::npos);
}

TEST_F(StorageTrouble, EnrollmentThatFailsHalfWayLeavesTheCodeUnspent) {
  const std::string code = service_.createSetupCode("alice").value();
  storage_.failOn("addDevice");  // after the code was taken
  EXPECT_EQ(enroll(code).status, 503);
  storage_.failOn("");
  EXPECT_EQ(enroll(code).status, 200);
}

}  // namespace
}  // namespace kx::service::testing
