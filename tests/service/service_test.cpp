// The service's request handlers, driven through Service::handle on a private
// SQLite database and virtual time, with the steps a session takes done
// through the public API as the app would.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <optional>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/basic_loop.h"
#include "service/secrets.h"
#include "service/service.h"
#include "service/sqlite_storage.h"
#include "support/scratch.h"

namespace kx::service {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// RFC 7636 appendix B.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
constexpr const char* kState = "0123456789abcdef0123456789abcdef";
constexpr const char* kPassword = "correct-horse-battery";

struct Reply {
  int status = 0;
  Json json;  // null when the body is not JSON
  Response raw;
  std::string text(const char* key) const { return json.is_object() ? json.value(key, "") : ""; }
  std::string header(const std::string& name) const {
    return std::map<std::string, std::string>(raw.headers.begin(), raw.headers.end())[name];
  }
};

struct Mac {
  std::string id, key;
};

std::string newPublicKey() { return base64Encode(P256PrivateKey::generate().publicKeyX963()); }

std::vector<std::string> payloads(const Json& signals) {
  std::vector<std::string> out;
  for (const Json& s : signals.is_array() ? signals : Json::array()) out.push_back(s.value("payload", "<missing>"));
  return out;
}

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() : storage_(SqliteStorage::open(folder_ / "service.db").value()) {
    restart(1800, 120);
    EXPECT_TRUE(service_->addTechnician("alice", kPassword).ok());
    EXPECT_TRUE(service_->addTechnician("bob", kPassword).ok());
  }
  // A service with other durations on the same database; cheap hashing keeps the tests fast.
  void restart(double consentSeconds, double pendingSeconds) {
    ServiceOptions options;
    options.passwordHashing.n = 16;
    options.consentSeconds = consentSeconds;
    options.pendingSeconds = pendingSeconds;
    options.log = [this](std::string_view line) { logged_.emplace_back(line); };
    service_.emplace(*storage_, clock_, std::move(options));
  }

  Reply call(std::string method, std::string target, std::string bearer = "", std::string body = "",
             std::string address = "192.0.2.1") {
    Reply reply;
    reply.raw = service_->handle(Request{std::move(method), std::move(target), bearer.empty() ? "" : "Bearer " + bearer,
                                         "", std::move(body), std::move(address)});
    reply.status = reply.raw.status;
    reply.json = parseJson(reply.raw.body).value_or(Json());
    return reply;
  }
  Reply post(std::string target, const Json& body, std::string bearer = "") {
    return call("POST", std::move(target), std::move(bearer), dumpJson(body));
  }

  Reply signInForm(const std::string& name, const std::string& password = kPassword,
                   const std::string& address = "192.0.2.1", const std::string& challenge = kChallenge,
                   const std::string& extra = "") {
    return call("POST", "/native-sign-in", "",
                "name=" + name + "&password=" + password + "&challenge=" + challenge + "&state=" + kState + extra,
                address);
  }
  // The sign-in code of the portal's redirect, or "".
  template <class... Args>
  std::string signInCode(const Args&... args) {
    const std::string location = signInForm(args...).header("Location");
    const size_t code = location.find("code=");
    return code == std::string::npos ? "" : location.substr(code + 5, location.find('&', code) - code - 5);
  }
  Reply exchange(const std::string& code, const std::string& verifier = kVerifier) {
    return post("/api/admin/exchange", Json{{"code", code}, {"verifier", verifier}});
  }
  std::string signIn(const std::string& name) { return exchange(signInCode(name)).text("token"); }
  std::string setupCode(const std::string& token) {
    return post("/api/admin/setup-code", Json::object(), token).text("code");
  }
  Reply enroll(const std::string& token, const std::string& publicKey = newPublicKey()) {
    return post("/api/enroll", Json{{"token", token}, {"installation", "I-1"}, {"name", "Studio Mac"},
                                    {"publicKey", publicKey}});
  }
  // A Mac of the technician holding `token`, enrolled with a setup code and online.
  Mac makeMac(const std::string& token) {
    Reply r = enroll(setupCode(token));
    EXPECT_EQ(r.status, 200) << r.raw.body;
    const Mac mac{r.text("id"), r.text("key")};
    EXPECT_EQ(poll(mac).status, 200);
    return mac;
  }
  Reply poll(const Mac& mac, const Json& state = Json{{"rtcState", "new"}}) {
    return post("/api/device/" + mac.id + "/poll", state, mac.key);
  }
  Reply requestAccess(const std::string& token, const Mac& mac, const std::string& sid) {
    return post("/api/admin/request",
                Json{{"id", sid}, {"device", mac.id}, {"browserKey", newPublicKey()},
                     {"salt", base64Encode(randomBytes(16))}},
                token);
  }
  Reply decide(const Mac& mac, const std::string& sid, const Json& approve) {
    return post("/api/device/" + mac.id + "/decision", Json{{"session", sid}, {"approve", approve}}, mac.key);
  }
  Reply macSignal(const Mac& mac, const std::string& sid, const Json& list) {
    return post("/api/device/" + mac.id + "/signal", Json{{"session", sid}, {"payloads", list}}, mac.key);
  }
  Reply consoleSignal(const std::string& token, const std::string& sid, const Json& list) {
    return post("/api/admin/session/" + sid + "/signal", Json{{"payloads", list}}, token);
  }
  Reply end(const std::string& token, const std::string& sid) {
    return post("/api/admin/session/" + sid + "/end", Json::object(), token);
  }
  Reply macEnd(const Mac& mac, const std::string& sid) {
    return post("/api/device/" + mac.id + "/end", Json{{"session", sid}}, mac.key);
  }
  std::string status(const std::string& token, const std::string& sid) {
    Reply r = call("GET", "/api/admin/session/" + sid + "/status", token);
    return r.status == 200 ? r.text("state") : "HTTP " + std::to_string(r.status);
  }
  Json devices(const std::string& token) { return call("GET", "/api/admin/devices", token).json["devices"]; }
  double expiresOf(const Reply& decision) { return decision.json.value("expires", 1e12); }

  // An approved session between alice and one of her Macs.
  struct Approved {
    std::string token;
    Mac mac;
    std::string sid;
  };
  Approved approvedSession() {
    Approved a{signIn("alice"), {}, newUuid()};
    a.mac = makeMac(a.token);
    EXPECT_EQ(requestAccess(a.token, a.mac, a.sid).status, 200);
    EXPECT_EQ(decide(a.mac, a.sid, true).status, 200);
    return a;
  }

  // Each row's expected status against the answer it got, with its index.
  static void expectStatuses(std::initializer_list<std::pair<int, Reply>> rows) {
    int row = 0;
    for (const auto& [want, got] : rows) EXPECT_EQ(got.status, want) << "row " << row++ << ": " << got.raw.body;
  }

  kx::testing::TempDir folder_{"kx-service"};
  VirtualLoop clock_;
  std::vector<std::string> logged_;
  std::unique_ptr<SqliteStorage> storage_;
  std::optional<Service> service_;
};

// --- enrollment ------------------------------------------------------------------

TEST_F(ServiceTest, SetupCodeOrEnrollmentTokenEnrollsOneMacOfItsTechnicianWithinADay) {
  const std::string alice = signIn("alice");
  const std::string code = setupCode(alice), late = setupCode(alice), key = newPublicKey();
  ASSERT_THAT(code, ::testing::MatchesRegex("[0-9A-F]{20}"));
  std::string typed;  // as a person types it: groups, lower case
  for (size_t i = 0; i < code.size(); ++i) typed += (i && i % 4 == 0 ? "- " : "") + std::string(1, static_cast<char>(std::tolower(code[i])));
  clock_.advance(24 * 3600 - 1);
  Reply r = enroll(typed, key);
  ASSERT_EQ(r.status, 200) << r.raw.body;
  EXPECT_TRUE(isCanonicalUuid(r.text("id")));
  EXPECT_EQ(r.text("key").size(), 43u);
  clock_.advance(1);
  expectStatuses({{401, enroll(code)}, {401, enroll(late)}});  // spent; expired
  EXPECT_EQ(devices(alice), (Json::array({{{"id", r.text("id")}, {"name", "Studio Mac"}, {"online", false},
                                           {"publicKey", key}}})));
  EXPECT_EQ(devices(signIn("bob")), Json::array());

  const std::string token = service_->createEnrollmentToken("alice").value();
  EXPECT_EQ(post("/api/enroll", Json{{"token", token}, {"publicKey", newPublicKey()}}).status, 200);
  EXPECT_EQ(enroll(token).status, 401);
  EXPECT_EQ(devices(alice)[1]["name"], "Computer");  // none given
  EXPECT_FALSE(service_->createEnrollmentToken("nobody").ok());
}

// A Mac that proves its key registers again as itself, and the code it
// carries stays good; a key that is no point is refused and spends nothing.
TEST_F(ServiceTest, RegisteredMacProvesItsKeyAndARefusalSpendsNoCode) {
  const std::string alice = signIn("alice");
  const Mac mac = makeMac(alice);
  const std::string code = setupCode(alice), newKey = newPublicKey(), forgotten = "5B1C8E2F-0000-4000-8000-000000000000";
  auto again = [&](std::string token, std::string id, std::string key, std::string bearer = "") {
    return post("/api/enroll",
                Json{{"token", token}, {"device", id}, {"key", key}, {"name", "Renamed"}, {"publicKey", newKey}},
                bearer);
  };
  EXPECT_EQ(again("", mac.id, mac.key).json, (Json{{"id", mac.id}, {"key", mac.key}}));
  EXPECT_EQ(devices(alice)[0], (Json{{"id", mac.id}, {"name", "Renamed"}, {"online", true}, {"publicKey", newKey}}));
  Bytes offCurve = P256PrivateKey::generate().publicKeyX963();
  offCurve[64] ^= 1;
  expectStatuses({
      {200, again("", mac.id, "", mac.key)},  // the bearer proves the key as well
      {401, again("", mac.id, "wrong")},
      {401, again("", "", "")},
      {400, enroll(code, base64Encode(offCurve))},
      {400, post("/api/enroll", Json{{"token", code}})},
  });
  EXPECT_EQ(again(code, mac.id, mac.key).text("id"), mac.id);            // known identity wins
  EXPECT_NE(again(code, forgotten, "forgotten").text("id"), forgotten);  // a new Mac, with the code
  EXPECT_EQ(enroll(code).status, 401);
}

// A database that fails half-way through an enrollment undoes it whole.
TEST_F(ServiceTest, StorageFailureIsA503ThatLeavesTheCodeUnspentAndIsLogged) {
  const std::string code = service_->createSetupCode("alice").value();
  auto sql = [&](const std::string& statement) {
    sqlite3* db = nullptr;
    sqlite3_open((folder_ / "service.db").c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  };
  sql("CREATE TRIGGER broken BEFORE INSERT ON devices BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END");
  Reply r = enroll(code);
  EXPECT_EQ(r.status, 503);
  EXPECT_FALSE(r.text("error").empty());
  EXPECT_THAT(logged_, ::testing::Contains(HasSubstr("disk I/O error")));
  sql("DROP TRIGGER broken");
  EXPECT_EQ(enroll(code).status, 200);
}

// --- a session ------------------------------------------------------------------

// One session from request to end as both sides see it, with the repeats a
// lost answer causes, then its audit trail, which no endpoint changes.
TEST_F(ServiceTest, SessionFromRequestToEndWithRepeatsAndItsAuditTrail) {
  const std::string alice = signIn("alice"), sid = newUuid(), base = "/api/admin/session/" + sid;
  const Mac mac = makeMac(alice);
  EXPECT_FALSE(poll(mac).json.contains("session"));
  poll(mac, Json{{"rtcState", "connecting"}, {"captureState", "choosing"}});
  poll(mac, Json{{"rtcState", "connected"}, {"inputPermission", true}, {"controlVersion", 4}, {"unknown", "x"}});
  EXPECT_EQ(parseJson(storage_->deviceById(mac.id).value()->state).value(),
            (Json{{"rtcState", "connected"}, {"inputPermission", true}, {"controlVersion", 4}}));
  const Json request{{"id", sid}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", "AAAAAAAAAAAAAAAAAAAAAA=="}};
  ASSERT_EQ(post("/api/admin/request", request, alice).status, 200);
  EXPECT_EQ(poll(mac).json["session"], (Json{{"id", sid}, {"state", "pending"}, {"technician", "alice"},
                                             {"browserKey", request["browserKey"]}, {"salt", request["salt"]}}));
  const double expires = expiresOf(decide(mac, sid, true));
  EXPECT_TRUE(expires <= clock_.wallTime() + 1800 && expires > clock_.wallTime() + 1799);
  EXPECT_EQ(poll(mac).json["session"]["state"], "approved");
  clock_.advance(5);
  const std::string weird = "ünïcødé \"quoted\" \\ / \u2028";
  expectStatuses({
      {200, decide(mac, sid, true)},  // a lost answer asked again
      {400, decide(mac, sid, "yes")},
      {400, post("/api/device/" + mac.id + "/decision", Json{{"approve", true}}, mac.key)},
      {404, decide(mac, newUuid(), true)},
      {409, decide(mac, sid, false)},
      {200, macSignal(mac, sid, {"offer", weird})},
      {200, macSignal(mac, sid, {"offer", weird})},  // a retried post
      {200, consoleSignal(alice, sid, {"answer"})},
  });
  EXPECT_EQ(expiresOf(decide(mac, sid, true)), expires);
  for (int read = 0; read < 2; ++read) {  // a lost answer loses nothing
    EXPECT_THAT(payloads(call("GET", base + "/status", alice).json["signals"]), ElementsAre("offer", weird));
    EXPECT_THAT(payloads(call("GET", base + "/signal", alice).json["signals"]), ElementsAre("offer", weird));
    EXPECT_THAT(payloads(poll(mac).json["session"]["signals"]), ElementsAre("answer"));
  }
  ASSERT_EQ(macEnd(mac, sid).status, 200);
  EXPECT_EQ(call("GET", base + "/status", alice).json, (Json{{"state", "ended"}}));
  EXPECT_EQ(call("GET", base + "/signal", alice).json["signals"], Json::array());

  const Json entries = call("GET", "/api/admin/audit", alice).json["entries"];
  std::vector<std::string> trail;
  for (const Json& e : entries) trail.push_back(e.value("event", "") + ": " + e.value("detail", ""));
  EXPECT_THAT(trail, ElementsAre("session-end: ended by the person", "session-start: ", "decision: approved",
                                 "access-request: ", "device-enrolled: with a setup code", "setup-code-created: ",
                                 "sign-in: ", "technician-added: "));
  EXPECT_EQ(entries[0], (Json{{"id", entries[0]["id"]}, {"time", entries[0]["time"]}, {"event", "session-end"},
                              {"technician", "alice"}, {"device", "Studio Mac"}, {"deviceId", mac.id},
                              {"session", sid}, {"address", "192.0.2.1"}, {"detail", "ended by the person"}}));
  EXPECT_EQ(call("GET", "/api/admin/audit", signIn("bob")).json["entries"].size(), 2u);
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
    for (const char* target : {"/api/admin/audit", "/api/admin/audit/1"}) {
      EXPECT_THAT(call(method, target, alice, "{}").status, ::testing::AnyOf(404, 405)) << method << " " << target;
    }
  }
  EXPECT_EQ(call("GET", "/api/admin/audit", alice).json["entries"], entries);
}

// The largest post a Mac makes: an offer at the SDP limit (as many line ends
// as an SDP can hold) and 15 candidates at theirs, each sealed as the peers do.
Json largestSignalList() {
  const SessionCipher cipher = SessionCipher::fromKey({});
  std::string sdp;
  while (sdp.size() < kMaxSdpBytes) sdp += "a=x\r\n";
  Json list{sealToBase64(cipher, dumpJson(Json{{"type", "offer"}, {"sdp", sdp}, {"messageId", newUuid()}})).value()};
  const Json candidate{{"candidate", std::string(kMaxCandidateBytes, 'c')}, {"sdpMid", "0"}, {"sdpMLineIndex", 0}};
  while (list.size() < kMaxSignalsPerDevicePost) {
    list.push_back(
        sealToBase64(cipher, dumpJson(Json{{"type", "candidate"}, {"candidate", candidate}, {"messageId", newUuid()}}))
            .value());
  }
  return list;
}

TEST_F(ServiceTest, RelayBoundsPerPostPayloadAndDirection) {
  const Approved a = approvedSession();
  const Json largest = largestSignalList();
  EXPECT_LE(dumpJson(Json{{"session", a.sid}, {"payloads", largest}}).size(), kMaxRequestBodyBytes);
  Json seventeen = Json::array();
  for (int i = 0; i < 17; ++i) seventeen.push_back("p" + std::to_string(i));
  const std::string atLimit(kMaxSignalPayloadBytes, 'A');
  expectStatuses({
      {200, macSignal(a.mac, a.sid, largest)},
      {200, macSignal(a.mac, a.sid, {atLimit})},
      {413, macSignal(a.mac, a.sid, {atLimit + "A"})},
      {400, macSignal(a.mac, a.sid, seventeen)},
      {200, macSignal(a.mac, a.sid, Json(seventeen.begin(), seventeen.end() - 1))},
      {400, consoleSignal(a.token, a.sid, Json(seventeen.begin(), seventeen.begin() + 9))},
      {400, consoleSignal(a.token, a.sid, Json::array())},
      {400, consoleSignal(a.token, a.sid, {1})},
      {400, consoleSignal(a.token, a.sid, {""})},
      {400, consoleSignal(a.token, a.sid, "text")},
  });
  // 512 signals towards the Mac, then 429; the other direction has its own count.
  for (int sent = 0; sent < 512; sent += 8) {
    Json batch = Json::array();
    for (int i = sent; i < sent + 8; ++i) batch.push_back("signal-" + std::to_string(i));
    ASSERT_EQ(consoleSignal(a.token, a.sid, batch).status, 200);
  }
  EXPECT_EQ(consoleSignal(a.token, a.sid, {"one more"}).status, 429);
  EXPECT_EQ(poll(a.mac).json["session"]["signals"].size(), 512u);
  EXPECT_EQ(macSignal(a.mac, a.sid, {"x"}).status, 200);
}

TEST_F(ServiceTest, RelayByteBoundPerDirection) {
  const Approved a = approvedSession();
  const std::string big(60000, 'A');
  int accepted = 0;
  while (accepted < 100 && macSignal(a.mac, a.sid, {std::to_string(accepted) + big}).status == 200) ++accepted;
  EXPECT_EQ(accepted, 2 * 1024 * 1024 / 60001);
  EXPECT_EQ(macSignal(a.mac, a.sid, {"x" + big}).status, 429);
}

// --- console sign-in ---------------------------------------------------------------

TEST_F(ServiceTest, SignInCodeIsSpentByAnyAttemptAndLastsSixtySecondsTheTokenThirtyDays) {
  Reply r = exchange(signInCode("alice"));
  EXPECT_EQ(r.text("name"), "alice");
  const std::string token = r.text("token"), other = signIn("alice");
  EXPECT_EQ(call("GET", "/api/admin/whoami", token).json, (Json{{"name", "alice"}}));
  const std::string code = signInCode("alice"), wrong = signInCode("alice"), slow = signInCode("alice");
  // A code obtained for another challenge does not fit our verifier.
  const std::string mismatched = signInCode("alice", kPassword, "192.0.2.1", pkceChallenge(std::string(43, 'z')));
  expectStatuses({
      {200, exchange(code)},
      {401, exchange(code)},
      {401, exchange(wrong, std::string(43, 'x'))},
      {401, exchange(wrong)},
      {401, exchange(mismatched)},
      {400, post("/api/admin/exchange", Json{{"code", "x"}})},
      {400, exchange(signInCode("alice"), "short")},
      {401, exchange("unknown")},
      {200, call("POST", "/api/admin/logout", token)},
      {401, call("GET", "/api/admin/whoami", token)},
      {401, call("POST", "/api/admin/logout", token)},
  });
  clock_.advance(60);
  EXPECT_EQ(exchange(slow).status, 401);
  clock_.advance(30 * 24 * 3600 - 61);
  EXPECT_EQ(call("GET", "/api/admin/whoami", other).status, 200);
  clock_.advance(1);
  EXPECT_EQ(call("GET", "/api/admin/whoami", other).status, 401);
}

TEST_F(ServiceTest, UnusedSetupCodesPerTechnicianAreLimited) {
  const std::string alice = signIn("alice");
  for (int i = 0; i < 20; ++i) ASSERT_FALSE(setupCode(alice).empty()) << i;
  EXPECT_EQ(post("/api/admin/setup-code", Json::object(), alice).status, 429);
  EXPECT_FALSE(service_->createSetupCode("alice").ok());
  EXPECT_TRUE(service_->createSetupCode("bob").ok());
  clock_.advance(24 * 3600);
  EXPECT_FALSE(setupCode(alice).empty());
}

// --- devices and access requests -------------------------------------------------

TEST_F(ServiceTest, AccessRequestIsCheckedFieldByFieldAndAsksAnOnlineMacWithNoOpenSession) {
  const std::string alice = signIn("alice");
  const Mac mac = makeMac(alice);
  const Json good{{"id", newUuid()}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", "AAAAAAAAAAAAAAAAAAAAAA=="}};
  auto with = [&](const char* key, Json value) {
    Json body = good;
    body[key] = std::move(value);
    return post("/api/admin/request", body, alice);
  };
  std::string lower = newUuid();
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  expectStatuses({
      {400, with("id", lower)},
      {400, with("id", "not-a-uuid")},
      {400, with("browserKey", base64Encode(randomBytes(65)))},
      {400, with("salt", base64Encode(randomBytes(15)))},
      {400, with("salt", base64Encode(randomBytes(17)))},
      {400, with("device", 7)},
      {404, with("device", newUuid())},
      {200, post("/api/admin/request", good, alice)},
      {200, post("/api/admin/request", good, alice)},       // a retry
      {409, with("salt", base64Encode(randomBytes(16)))},  // the same id reused
      {409, requestAccess(alice, mac, newUuid())},          // one open session per Mac
      {200, end(alice, good["id"].get<std::string>())},
  });
  // Online means polled within twenty seconds.
  clock_.advance(20);
  EXPECT_EQ(devices(alice)[0]["online"], true);
  clock_.advance(1);
  EXPECT_EQ(devices(alice)[0]["online"], false);
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 409);
  poll(mac);
  EXPECT_EQ(requestAccess(alice, mac, newUuid()).status, 200);
}

// A denial stands, and so does one that comes after the end.
TEST_F(ServiceTest, ADenialStandsAndTheSameMacCanBeAskedAgainOnlyAfterGrowingWaits) {
  const std::string alice = signIn("alice"), ended = newUuid();
  const Mac mac = makeMac(alice);
  for (const double wait : {60.0, 300.0, 1800.0, 1800.0}) {
    const std::string sid = newUuid();
    ASSERT_EQ(requestAccess(alice, mac, sid).status, 200);
    expectStatuses({{200, decide(mac, sid, false)}, {200, decide(mac, sid, false)}, {409, decide(mac, sid, true)}});
    EXPECT_FALSE(poll(mac).json.contains("session"));
    EXPECT_EQ(status(alice, sid), "denied");
    clock_.advance(wait - 1);
    poll(mac);
    Reply early = requestAccess(alice, mac, newUuid());
    EXPECT_EQ(early.status, 429) << wait;
    EXPECT_THAT(early.text("error"), HasSubstr("declined your last request"));
    EXPECT_EQ(early.header("Retry-After"), "1");
    clock_.advance(1);
    poll(mac);
  }
  ASSERT_EQ(requestAccess(alice, mac, ended).status, 200);
  ASSERT_EQ(end(alice, ended).status, 200);
  EXPECT_EQ(decide(mac, ended, false).status, 200);
  EXPECT_EQ(decide(mac, ended, true).text("error"), "The request has expired.");
  EXPECT_EQ(macEnd(mac, ended).status, 200);
  EXPECT_EQ(status(alice, ended), "ended");
}

// --- authorisation -------------------------------------------------------------------

// Device keys act only for their own device and its sessions; technicians see
// and touch only their own Macs and sessions; neither credential is the other.
TEST_F(ServiceTest, AuthorisationMatrix) {
  const Approved a = approvedSession();
  const Mac other = makeMac(a.token);
  const std::string bob = signIn("bob"), mine = "/api/device/" + a.mac.id + "/", base = "/api/admin/session/" + a.sid;
  const Json session{{"session", a.sid}};
  EXPECT_EQ(devices(bob), Json::array());
  expectStatuses({
      {403, post(mine + "poll", session, other.key)},
      {403, post(mine + "decision", session, other.key)},
      {403, post(mine + "signal", session, other.key)},
      {403, post(mine + "end", session, other.key)},
      {401, post(mine + "poll", session, "unknown-key")},
      {401, post(mine + "end", session)},
      {403, macEnd(other, a.sid)},
      {403, macSignal(other, a.sid, {"x"})},
      {401, call("GET", "/api/admin/devices", a.mac.key)},
      {401, post("/api/admin/setup-code", Json::object(), a.mac.key)},
      {403, requestAccess(bob, a.mac, newUuid())},
      {403, call("GET", base + "/status", bob)},
      {403, call("GET", base + "/signal", bob)},
      {403, consoleSignal(bob, a.sid, {"x"})},
      {403, end(bob, a.sid)},
      {401, call("GET", base + "/status", "forged")},
      {404, call("GET", "/api/admin/session/" + newUuid() + "/status", bob)},
      {403, post("/api/admin/revoke", Json{{"device", a.mac.id}}, bob)},
      {200, poll(a.mac)},
  });
  EXPECT_EQ(status(a.token, a.sid), "approved");
  expectStatuses({
      {200, post("/api/admin/revoke", Json{{"device", a.mac.id}}, a.token)},
      {401, poll(a.mac)},
      {404, post("/api/admin/revoke", Json{{"device", a.mac.id}}, a.token)},
  });
  ASSERT_EQ(devices(a.token).size(), 1u);
  EXPECT_EQ(devices(a.token)[0]["id"], other.id);
}

// --- expiry --------------------------------------------------------------------------

TEST_F(ServiceTest, ConfiguredApprovalAndRequestTimesEndSessionsEvenUnreadButConsentNeverExceedsHalfAnHour) {
  restart(5, 3);
  const Approved a = approvedSession();
  clock_.advance(expiresOf(decide(a.mac, a.sid, true)) - clock_.wallTime() - 1);
  EXPECT_EQ(status(a.token, a.sid), "approved");
  clock_.advance(1);
  EXPECT_EQ(status(a.token, a.sid), "ended");
  EXPECT_FALSE(poll(a.mac).json.contains("session"));
  EXPECT_EQ(macSignal(a.mac, a.sid, {"late"}).status, 409);

  const std::string sid = newUuid(), unread = newUuid(), longer = newUuid();
  ASSERT_EQ(requestAccess(a.token, a.mac, sid).status, 200);
  clock_.advance(2);
  EXPECT_EQ(poll(a.mac).json["session"]["state"], "pending");
  clock_.advance(1);
  EXPECT_FALSE(poll(a.mac).json.contains("session"));
  EXPECT_EQ(status(a.token, sid), "ended");
  EXPECT_EQ(decide(a.mac, sid, true).status, 409);
  ASSERT_EQ(requestAccess(a.token, a.mac, unread).status, 200);
  clock_.advance(3);
  ASSERT_TRUE(service_->sweep().ok());
  EXPECT_EQ(storage_->sessionById(unread).value()->state, SessionState::ended);
  EXPECT_TRUE(storage_->openSessions("").value().empty());
  restart(7200, 120);
  poll(a.mac);
  ASSERT_EQ(requestAccess(a.token, a.mac, longer).status, 200);
  EXPECT_LE(expiresOf(decide(a.mac, longer, true)), clock_.wallTime() + 1800);
}

// --- portal --------------------------------------------------------------------------

// The page needs a well-formed challenge, state and return; the form
// redirects to the app or the console with the code and state.
TEST_F(ServiceTest, SignInPageAndFormRedirectToTheAppOrTheConsole) {
  const std::string query = std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState;
  Reply page = call("GET", query + "&return=console");
  EXPECT_EQ(std::tie(page.status, page.raw.contentType), std::make_tuple(200, "text/html; charset=utf-8"));
  EXPECT_THAT(page.raw.body, HasSubstr(std::string("value=\"") + kChallenge + "\""));
  EXPECT_THAT(page.raw.body, HasSubstr("name=\"return\" value=\"console\""));
  EXPECT_FALSE(page.header("Content-Security-Policy").empty());
  EXPECT_EQ(page.header("Strict-Transport-Security"), "max-age=31536000");
  for (const std::string& bad : {"challenge=" + std::string(kChallenge).substr(1) + "&state=" + kState,
                                std::string("challenge=") + kChallenge + "&state=0123456789ABCDEF0123456789abcdef",
                                std::string("challenge=") + kChallenge, std::string("challenge=%zz&state=") + kState,
                                query.substr(16) + "&return=https%3A%2F%2Fevil.test"}) {
    EXPECT_EQ(call("GET", "/native-sign-in?" + bad).status, 400) << bad;
  }
  for (const auto& [extra, prefix] : {std::pair{"", "kestrelixremote://admin-sign-in?code="},
                                      std::pair{"&return=console", "/console/?code="}}) {
    const std::string location = signInForm("alice", kPassword, "192.0.2.1", kChallenge, extra).header("Location");
    EXPECT_EQ(location, prefix + location.substr(std::strlen(prefix), 43) + "&state=" + kState);
  }
  Reply wrong = signInForm("alice", "wrong");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_TRUE(wrong.header("Location").empty());
  EXPECT_THAT(wrong.raw.body, HasSubstr("Wrong name or password."));
  EXPECT_EQ(signInCode("nobody"), "");
  ASSERT_TRUE(service_->addTechnician("Dana Ø", "p@ss word+1").ok());
  EXPECT_NE(signInCode("Dana+%C3%98", "p%40ss%20word%2B1"), "");
}

// Per name and per address; cycling names and addresses does not reset a victim's count.
TEST_F(ServiceTest, FailedSignInsAreLimitedPerNameAndPerAddress) {
  for (int i = 0; i < 4; ++i) signInCode("alice", "wrong", "198.51.100." + std::to_string(i));
  for (int i = 0; i < 2000; ++i) {
    signInCode("user" + std::to_string(i), "wrong", "203.0." + std::to_string(i / 200) + "." + std::to_string(i % 200));
  }
  signInCode("alice", "wrong", "198.51.100.4");
  Reply blocked = signInForm("alice", kPassword, "198.51.100.99");
  EXPECT_EQ(blocked.status, 429);
  EXPECT_FALSE(blocked.header("Retry-After").empty());
  EXPECT_NE(signInCode("bob"), "");
  for (int i = 0; i < 20; ++i) signInCode("guess" + std::to_string(i), "wrong", "203.0.113.7");
  EXPECT_EQ(signInCode("bob", kPassword, "203.0.113.7"), "");
  EXPECT_NE(signInCode("bob", kPassword, "203.0.113.8"), "");
  clock_.advance(15 * 60);
  EXPECT_NE(signInCode("alice"), "");
}

// --- routing and audit -----------------------------------------------------------------

// Refusals are JSON error texts; the bearer scheme is read as HTTP spells it.
TEST_F(ServiceTest, RefusalsAreJsonErrorTextsAndBearerIsCaseInsensitive) {
  const std::string alice = signIn("alice");
  for (const Reply& refusal : {call("GET", "/api/nothing"), call("DELETE", "/api/admin/whoami", alice),
                               call("POST", "/api/enroll", "", "{not json"), call("GET", "/api/admin/whoami", "Basic")}) {
    EXPECT_THAT(refusal.status, ::testing::AnyOf(400, 401, 404, 405)) << refusal.raw.body;
    EXPECT_FALSE(refusal.text("error").empty()) << refusal.raw.body;
  }
  Request r{"GET", "/api/admin/whoami", "bEaReR   " + alice + "  ", "", "", "::1"};
  EXPECT_EQ(service_->handle(r).status, 200);
  r.authorization = "Basic " + alice;
  EXPECT_EQ(service_->handle(r).status, 401);
}

}  // namespace
}  // namespace kx::service
