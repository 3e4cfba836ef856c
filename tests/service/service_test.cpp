// The service's request handlers, driven through Service::handle in virtual
// time on a private SQLite file and on a real PostgreSQL server (the one
// pg_virtualenv names in the environment), with the steps a session takes
// done through the public API as the app would; what storage keeps that no
// handler reaches, and what replicas sharing PostgreSQL rely on; and the
// parsers and credentials beneath them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/basic_loop.h"
#include "service/config_file.h"
#include "service/console_assets.h"
#include "service/portal.h"
#include "service/postgres_storage.h"
#include "service/proxy_header.h"
#include "service/schema.h"
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


// The server's default database, as the environment names it.
constexpr const char* kPostgres = "postgresql://";

// Runs SQL on PostgreSQL past the storage: the first value of its result.
Expected<std::string> postgresScalar(const std::string& sql) {
  PGconn* connection = PQconnectdb(kPostgres);
  PGresult* r = PQexec(connection, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  const std::string value = status == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
  const std::string error = PQerrorMessage(connection);
  PQclear(r);
  PQfinish(connection);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) return makeError("PostgreSQL", 1, sql + ": " + error);
  return value;
}

// An empty database for each test, or a skip when no server was set up.
#define KX_FRESH_POSTGRES()                                                                                \
  if (!std::getenv("PGHOST")) GTEST_SKIP() << "no PostgreSQL: run under pg_virtualenv (ctest does)"; \
  ASSERT_TRUE(postgresScalar("SET client_min_messages = warning; DROP SCHEMA public CASCADE; CREATE SCHEMA public").ok())

// Runs SQL on a SQLite file past the storage: the first value of its result.
Expected<std::string> sqliteScalar(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  std::string value;
  if (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  const std::string error = sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return makeError("SQLite", rc, error);
  return value;
}

// Each test runs on a private SQLite file and on an empty PostgreSQL database.
class ServiceTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (postgres()) {
      KX_FRESH_POSTGRES();
    }
    storage_ = reopen().value();
    restart(1800, 120);
    ASSERT_TRUE(service_->addTechnician("alice", kPassword).ok());
    ASSERT_TRUE(service_->addTechnician("bob", kPassword).ok());
    alice_ = storage_->technicianByName("alice").value()->id;
  }
  bool postgres() const { return std::string(GetParam()) == "postgres"; }

  // The database opened again; on PostgreSQL with a pool of connections.
  Expected<std::unique_ptr<Storage>> reopen() {
    auto widen = [](auto opened) -> Expected<std::unique_ptr<Storage>> {
      if (!opened) return std::move(opened).error();
      return std::unique_ptr<Storage>(std::move(*opened));
    };
    return postgres() ? widen(PostgresStorage::open(kPostgres, 8)) : widen(SqliteStorage::open(folder_ / "service.db"));
  }
  // Runs SQL on the database past the storage: the first value of its result.
  Expected<std::string> raw(const std::string& sql) {
    return postgres() ? postgresScalar(sql) : sqliteScalar(folder_ / "service.db", sql);
  }
  Device mac(const std::string& id) const {
    return Device{id, alice_, secretDigest("key of " + id), "Mac " + id, "BPK", "inst"};
  }
  Session session(const std::string& id, SessionState state, double created = 1, double expires = 0,
                  double closed = 0) const {
    return Session{id, "MAC", alice_, state, "k", "s", created, expires, closed};
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
    Request request{std::move(method), std::move(target), bearer.empty() ? "" : "Bearer " + bearer,
                    "", std::move(body), std::move(address)};
    if (captured_) {
      captured_->push_back(std::move(request));
      return {};
    }
    Reply reply;
    reply.raw = service_->handle(request);
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

  // The requests `steps` makes, unsent.
  std::vector<Request> captured(const std::function<void()>& steps) {
    std::vector<Request> requests;
    captured_ = &requests;
    steps();
    captured_ = nullptr;
    return requests;
  }
  // How many of `requests`, sent from as many threads at once, got each status.
  std::map<int, int> atOnce(const std::vector<Request>& requests) {
    std::vector<int> statuses(requests.size());
    std::atomic<size_t> ready{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < requests.size(); ++i) {
      threads.emplace_back([&, i] {
        for (++ready; ready < requests.size();) std::this_thread::yield();
        statuses[i] = service_->handle(requests[i]).status;
      });
    }
    for (auto& t : threads) t.join();
    std::map<int, int> counts;
    for (int status : statuses) ++counts[status];
    return counts;
  }

  kx::testing::TempDir folder_{"kx-service"};
  VirtualLoop clock_;
  std::vector<std::string> logged_;
  std::unique_ptr<Storage> storage_;
  std::optional<Service> service_;
  std::vector<Request>* captured_ = nullptr;
  int64_t alice_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, ServiceTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

// --- enrollment ------------------------------------------------------------------

TEST_P(ServiceTest, SetupCodeOrEnrollmentTokenEnrollsOneMacOfItsTechnicianWithinADay) {
  const std::string alice = signIn("alice");
  const std::string code = setupCode(alice), late = setupCode(alice), key = newPublicKey();
  ASSERT_THAT(code, ::testing::MatchesRegex("[0-9A-F]{20}"));
  std::string typed;  // as a person types it: groups, lower case
  for (size_t i = 0; i < code.size(); ++i) typed += (i && i % 4 == 0 ? "- " : "") + std::string(1, static_cast<char>(std::tolower(code[i])));
  clock_.advance(24 * 3600 - 1);
  Reply r = enroll(typed, key);
  ASSERT_EQ(r.status, 200) << r.raw.body;
  EXPECT_EQ(r.text("key").size(), 43u);
  clock_.advance(1);
  expectStatuses({{401, enroll(code)}, {401, enroll(late)}});  // spent; expired
  EXPECT_EQ(devices(alice), (Json::array({{{"id", r.text("id")}, {"name", "Studio Mac"}, {"online", false},
                                           {"publicKey", key}}})));

  const std::string token = service_->createEnrollmentToken("alice").value();
  EXPECT_EQ(post("/api/enroll", Json{{"token", token}, {"publicKey", newPublicKey()}}).status, 200);
  EXPECT_EQ(devices(alice)[1]["name"], "Computer");  // none given
}

// A Mac that proves its key registers again as itself, and the code it
// carries stays good; a key that is no point is refused and spends nothing.
TEST_P(ServiceTest, RegisteredMacProvesItsKeyAndARefusalSpendsNoCode) {
  const std::string alice = signIn("alice");
  const Mac mac = makeMac(alice);
  const std::string code = setupCode(alice), newKey = newPublicKey();
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
      {400, enroll(code, base64Encode(offCurve))},
  });
  EXPECT_EQ(again(code, mac.id, mac.key).text("id"), mac.id);  // known identity wins, the code stays good
  EXPECT_EQ(enroll(code).status, 200);
}

// A database that fails half-way through an enrollment undoes it whole.
TEST_P(ServiceTest, StorageFailureIsA503ThatLeavesTheCodeUnspentAndIsLogged) {
  if (postgres()) GTEST_SKIP() << "breaks the database with a SQLite trigger";
  const std::string code = service_->createSetupCode("alice").value();
  const std::string db = folder_ / "service.db";
  ASSERT_TRUE(sqliteScalar(db, "CREATE TRIGGER broken BEFORE INSERT ON devices BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END").ok());
  EXPECT_EQ(enroll(code).status, 503);
  EXPECT_THAT(logged_, ::testing::Contains(HasSubstr("disk I/O error")));
  ASSERT_TRUE(sqliteScalar(db, "DROP TRIGGER broken").ok());
  EXPECT_EQ(enroll(code).status, 200);
}

// --- a session ------------------------------------------------------------------

// One session from request to end as both sides see it, with the repeats a
// lost answer causes, then its audit trail, which no endpoint changes.
TEST_P(ServiceTest, SessionFromRequestToEndWithRepeatsAndItsAuditTrail) {
  const std::string alice = signIn("alice"), sid = newUuid(), base = "/api/admin/session/" + sid;
  const Mac mac = makeMac(alice);
  EXPECT_FALSE(poll(mac).json.contains("session"));
  // Only the known report fields are kept, and a new report replaces the last.
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
  clock_.advance(5);
  const std::string weird = "ünïcødé \"quoted\" \\ / \u2028";
  expectStatuses({
      {200, decide(mac, sid, true)},  // a lost answer asked again
      {409, decide(mac, sid, false)},
      {200, macSignal(mac, sid, {"offer", weird})},
      {200, macSignal(mac, sid, {"offer", weird})},  // a retried post
      {200, consoleSignal(alice, sid, {"answer"})},
  });
  EXPECT_EQ(expiresOf(decide(mac, sid, true)), expires);
  const Json fromMac{{{"payload", "offer"}}, {{"payload", weird}}};
  for (int read = 0; read < 2; ++read) {  // a lost answer loses nothing
    EXPECT_EQ(call("GET", base + "/status", alice).json["signals"], fromMac);
    EXPECT_EQ(call("GET", base + "/signal", alice).json["signals"], fromMac);
    EXPECT_EQ(poll(mac).json["session"]["signals"], (Json{{{"payload", "answer"}}}));
  }
  ASSERT_EQ(macEnd(mac, sid).status, 200);
  EXPECT_EQ(call("GET", base + "/status", alice).json, (Json{{"state", "ended"}}));

  const Json entries = call("GET", "/api/admin/audit", alice).json["entries"];
  std::vector<std::string> trail;
  for (const Json& e : entries) trail.push_back(e.value("event", "") + ": " + e.value("detail", ""));
  EXPECT_THAT(trail, ElementsAre("session-end: ended by the person", "session-start: ", "decision: approved",
                                 "access-request: ", "device-enrolled: with a setup code", "setup-code-created: ",
                                 "sign-in: ", "technician-added: "));
  EXPECT_EQ(std::tie(entries[0]["session"], entries[0]["device"]), std::tie(sid, "Studio Mac"));
  EXPECT_EQ(call("GET", "/api/admin/audit", signIn("bob")).json["entries"].size(), 2u);
  // Not even a direct write to the database changes or removes a row.
  EXPECT_FALSE(raw("UPDATE audit SET detail = 'x'").ok());
  EXPECT_FALSE(raw("DELETE FROM audit").ok());
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

TEST_P(ServiceTest, RelayBoundsPerPostPayloadAndDirection) {
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
      {400, consoleSignal(a.token, a.sid, {""})},
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

TEST_P(ServiceTest, RelayByteBoundPerDirection) {
  const Approved a = approvedSession();
  const std::string big(60000, 'A');
  int accepted = 0;
  while (accepted < 100 && macSignal(a.mac, a.sid, {std::to_string(accepted) + big}).status == 200) ++accepted;
  EXPECT_EQ(accepted, 2 * 1024 * 1024 / 60001);
  EXPECT_EQ(macSignal(a.mac, a.sid, {"x" + big}).status, 429);
}

// --- console sign-in ---------------------------------------------------------------

TEST_P(ServiceTest, SignInCodeIsSpentByAnyAttemptAndLastsSixtySecondsTheTokenThirtyDays) {
  const std::string token = signIn("alice"), other = signIn("alice");
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
      {400, exchange(signInCode("alice"), "short")},
      {200, call("POST", "/api/admin/logout", token)},
      {401, call("GET", "/api/admin/whoami", token)},
  });
  clock_.advance(60);
  EXPECT_EQ(exchange(slow).status, 401);
  clock_.advance(30 * 24 * 3600 - 61);
  EXPECT_EQ(call("GET", "/api/admin/whoami", other).status, 200);
  clock_.advance(1);
  EXPECT_EQ(call("GET", "/api/admin/whoami", other).status, 401);
}

TEST_P(ServiceTest, UnusedSetupCodesPerTechnicianAreLimited) {
  const std::string alice = signIn("alice");
  for (int i = 0; i < 20; ++i) ASSERT_FALSE(setupCode(alice).empty()) << i;
  EXPECT_EQ(post("/api/admin/setup-code", Json::object(), alice).status, 429);
  EXPECT_TRUE(service_->createSetupCode("bob").ok());
  clock_.advance(24 * 3600);
  EXPECT_FALSE(setupCode(alice).empty());
}

// --- devices and access requests -------------------------------------------------

TEST_P(ServiceTest, AccessRequestIsCheckedFieldByFieldAndAsksAnOnlineMacWithNoOpenSession) {
  const std::string alice = signIn("alice");
  const Mac mac = makeMac(alice);
  const Json good{{"id", newUuid()}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", "AAAAAAAAAAAAAAAAAAAAAA=="}};
  auto with = [&](const char* key, Json value) {
    Json body = good;
    body[key] = std::move(value);
    return post("/api/admin/request", body, alice);
  };
  expectStatuses({
      {400, with("id", "not-a-uuid")},
      {400, with("browserKey", base64Encode(randomBytes(65)))},
      {400, with("salt", base64Encode(randomBytes(15)))},
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
TEST_P(ServiceTest, ADenialStandsAndTheSameMacCanBeAskedAgainOnlyAfterGrowingWaits) {
  const std::string alice = signIn("alice"), ended = newUuid();
  const Mac mac = makeMac(alice);
  for (const double wait : {60.0, 300.0, 1800.0, 1800.0}) {
    const std::string sid = newUuid();
    ASSERT_EQ(requestAccess(alice, mac, sid).status, 200);
    expectStatuses({{200, decide(mac, sid, false)}, {200, decide(mac, sid, false)}, {409, decide(mac, sid, true)}});
    EXPECT_EQ(status(alice, sid), "denied");
    clock_.advance(wait - 1);
    poll(mac);
    Reply early = requestAccess(alice, mac, newUuid());
    EXPECT_EQ(std::make_pair(early.status, early.header("Retry-After")), std::make_pair(429, std::string("1"))) << wait;
    clock_.advance(1);
    poll(mac);
  }
  ASSERT_EQ(requestAccess(alice, mac, ended).status, 200);
  ASSERT_EQ(end(alice, ended).status, 200);
  expectStatuses({{200, decide(mac, ended, false)}, {409, decide(mac, ended, true)}});
  EXPECT_EQ(status(alice, ended), "ended");
}

// --- authorisation -------------------------------------------------------------------

// Device keys act only for their own device and its sessions; technicians see
// and touch only their own Macs and sessions; neither credential is the other.
TEST_P(ServiceTest, AuthorisationMatrix) {
  const Approved a = approvedSession();
  const Mac other = makeMac(a.token);
  const std::string bob = signIn("bob"), mine = "/api/device/" + a.mac.id + "/", base = "/api/admin/session/" + a.sid;
  const Json session{{"session", a.sid}};
  EXPECT_EQ(devices(bob), Json::array());
  // The scheme's name is case-insensitive (RFC 7235).
  EXPECT_EQ(service_->handle(Request{"GET", "/api/admin/whoami", " bEaReR  " + bob + " ", "", "", "192.0.2.1"}).status, 200);
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
  // The audit outlives the Mac it names.
  const Json trail = call("GET", "/api/admin/audit", a.token).json["entries"];
  EXPECT_TRUE(std::any_of(trail.begin(), trail.end(), [&](const Json& e) { return e.value("session", "") == a.sid; }));
}

// --- expiry --------------------------------------------------------------------------

TEST_P(ServiceTest, ConfiguredApprovalAndRequestTimesEndSessionsEvenUnreadButConsentNeverExceedsHalfAnHour) {
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
  restart(7200, 120);
  poll(a.mac);
  ASSERT_EQ(requestAccess(a.token, a.mac, longer).status, 200);
  EXPECT_LE(expiresOf(decide(a.mac, longer, true)), clock_.wallTime() + 1800);
}

// --- portal --------------------------------------------------------------------------

// The page needs a well-formed challenge, state and return; the form
// redirects to the app or the console with the code and state.
TEST_P(ServiceTest, SignInPageAndFormRedirectToTheAppOrTheConsole) {
  const std::string query = std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState;
  Reply page = call("GET", query + "&return=console");
  EXPECT_THAT(page.raw.body, HasSubstr("name=\"return\" value=\"console\""));
  EXPECT_EQ(page.header("Strict-Transport-Security"), "max-age=31536000");
  EXPECT_EQ(call("GET", query.substr(0, query.size() - 1)).status, 400);
  EXPECT_EQ(call("GET", query + "&return=https%3A%2F%2Fevil.test").status, 400);
  for (const auto& [extra, prefix] : {std::pair{"", "kestrelixremote://admin-sign-in?code="},
                                      std::pair{"&return=console", "/console/?code="}}) {
    const std::string location = signInForm("alice", kPassword, "192.0.2.1", kChallenge, extra).header("Location");
    EXPECT_EQ(location, prefix + location.substr(std::strlen(prefix), 43) + "&state=" + kState);
  }
  Reply wrong = signInForm("alice", "wrong");
  EXPECT_EQ(std::make_pair(wrong.status, wrong.header("Location")), std::make_pair(401, std::string()));
}

// Per name and per address; cycling names and addresses does not reset a victim's count.
TEST_P(ServiceTest, FailedSignInsAreLimitedPerNameAndPerAddress) {
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

// Names and session ids are unique, key digests are bytes, a closed session
// is final, and a failed transaction leaves nothing behind (a failed inner
// one only its own writes).
TEST_P(ServiceTest, StorageKeepsKeysUniqueClosedSessionsFinalAndFailedTransactionsEmpty) {
  EXPECT_EQ(storage_->addTechnician("alice", "h2").error().code, 409);
  Device b = mac("MAC");
  b.keyDigest = Bytes{0, 1, 0, 255, 0x5c, 0x78};  // NUL, backslash, "x": bytes, not text
  ASSERT_TRUE(storage_->addDevice(b).ok());
  EXPECT_EQ(storage_->deviceByKeyDigest(b.keyDigest).value().value_or(Device{}).id, "MAC");
  ASSERT_TRUE(storage_->addSession(session("S", SessionState::pending)).ok());
  EXPECT_EQ(storage_->addSession(session("S", SessionState::pending)).error().code, 409);
  ASSERT_TRUE(storage_->updateSession(session("S", SessionState::ended, 1, 0, 5)).ok());
  // An approval from a read taken before the session ended.
  ASSERT_TRUE(storage_->updateSession(session("S", SessionState::approved, 1, 1800)).ok());
  EXPECT_EQ(storage_->sessionById("S").value()->state, SessionState::ended);

  auto add = [&](const char* name, Status result) {
    return [=, this]() -> Status {
      EXPECT_TRUE(storage_->addTechnician(name, "h").ok());
      return result;
    };
  };
  EXPECT_FALSE(storage_->transaction(add("carol", makeError("Test", 1, "changed my mind"))).ok());
  EXPECT_FALSE(storage_->technicianByName("carol").value().has_value());
  EXPECT_TRUE(storage_->transaction([&]() -> Status {
                        EXPECT_TRUE(add("carol", {})().ok());
                        EXPECT_FALSE(storage_->transaction(add("dave", makeError("Test", 1, "inner only"))).ok());
                        return {};
                      }).ok());
  EXPECT_TRUE(storage_->technicianByName("carol").value().has_value());
  EXPECT_FALSE(storage_->technicianByName("dave").value().has_value());
}

// An older build must not write into a database a newer one has migrated.
TEST_P(ServiceTest, SqliteWritesAheadAndANewerSchemaIsRefused) {
  service_.reset();
  storage_.reset();
  const std::string version = std::to_string(currentSchemaVersion());
  EXPECT_EQ(raw(postgres() ? "SELECT version FROM schema_version" : "PRAGMA user_version").value(), version);
  EXPECT_TRUE(postgres() || raw("PRAGMA journal_mode").value() == "wal");  // admin commands write while the server reads
  ASSERT_TRUE(raw(postgres() ? "UPDATE schema_version SET version = 99" : "PRAGMA user_version=99").ok());
  auto refused = reopen();
  ASSERT_FALSE(refused.ok());
  EXPECT_THAT(refused.error().description, ::testing::HasSubstr("99"));
}

TEST_P(ServiceTest, SignalsKeepTheirOrderBytesAndDirectionUntilPurgedAndReachPollsOnlyWhileApproved) {
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(session("OPEN", SessionState::approved, 90, 2000)).ok());
  ASSERT_TRUE(storage_->addSession(session("OLD", SessionState::ended, 10, 0, 20)).ok());
  const std::string withNul("a\0b", 3), large(64 * 1024, 'L');
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toDevice, {"3", withNul}).ok());
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toConsole, {"up"}).ok());
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toDevice, {"1", large}).ok());
  EXPECT_EQ(storage_->signals("OPEN", Direction::toDevice).value(), (std::vector<std::string>{"3", withNul, "1", large}));
  EXPECT_EQ(storage_->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"up"}));
  // What a poll reads: each open session once, oldest first, signals only towards the Mac and only while approved.
  ASSERT_TRUE(storage_->addSession(session("ASKED", SessionState::pending, 95)).ok());
  ASSERT_TRUE(storage_->appendSignals("ASKED", Direction::toDevice, {"early"}).ok());
  const auto polled = storage_->openSessionsForPoll("MAC").value();
  ASSERT_EQ(polled.size(), 2u);
  EXPECT_EQ(std::make_tuple(polled[0].session.id, polled[0].technician, polled[0].signals),
            std::make_tuple(std::string("OPEN"), std::string("alice"), std::vector<std::string>{"3", withNul, "1", large}));
  EXPECT_EQ(std::make_tuple(polled[1].session.id, polled[1].signals.size()), std::make_tuple(std::string("ASKED"), size_t{0}));

  // Purge at 100 forgets expired grants, sessions closed before 30 and failures before 70.
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("old"), GrantKind::setupCode, alice_, "", 50}).ok());
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("new"), GrantKind::setupCode, alice_, "", 150}).ok());
  for (double at : {60.0, 80.0}) ASSERT_TRUE(storage_->addSignInFailure("alice", "192.0.2.1", at).ok());
  ASSERT_TRUE(storage_->purge(100, 30, 70).ok());
  EXPECT_EQ(storage_->signInFailures("alice", "192.0.2.1", 0).value().byName, 1u);
  EXPECT_FALSE(storage_->findGrant(GrantKind::setupCode, secretDigest("old")).value().has_value());
  EXPECT_TRUE(storage_->findGrant(GrantKind::setupCode, secretDigest("new")).value().has_value());
  EXPECT_FALSE(storage_->sessionById("OLD").value().has_value());
  EXPECT_EQ(storage_->openSessions("").value().size(), 2u);
}

// What makes replicas safe: a transaction in one process waits for another
// process's transaction to end, then sees everything it wrote.
TEST(PostgresStorage, TransactionsExcludeEveryOtherConnectionsTransactions) {
  KX_FRESH_POSTGRES();
  auto first = PostgresStorage::open(kPostgres).value();
  auto second = PostgresStorage::open(kPostgres).value();
  std::atomic<bool> secondRan{false};
  std::optional<bool> secondSawAlice;
  std::thread other;
  Status s = first->transaction([&]() -> Status {
    EXPECT_TRUE(first->addTechnician("alice", "h").ok());
    other = std::thread([&] {
      EXPECT_TRUE(second->transaction([&]() -> Status {
                          secondRan = true;
                          secondSawAlice = second->technicianByName("alice").value().has_value();
                          return {};
                        }).ok());
    });
    // Until the other connection is queued behind this transaction's lock.
    EXPECT_TRUE(kx::testing::waitUntil([&] {
      auto n = postgresScalar("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted");
      return n.ok() && *n == "1";
    }));
    EXPECT_FALSE(secondRan.load());
    return {};
  });
  other.join();
  EXPECT_TRUE(s.ok()) << s.error().summary();
  EXPECT_EQ(secondSawAlice, std::optional<bool>(true));
}

// Presence reaches every replica by itself, and the writer reads its own at
// once; an older poll written late by another replica never hides a newer one.
TEST(PostgresStorage, PresenceReachesEveryReplicaAndNewerWins) {
  KX_FRESH_POSTGRES();
  auto writer = PostgresStorage::open(kPostgres).value();
  auto reader = PostgresStorage::open(kPostgres).value();
  ASSERT_TRUE(writer->addDevice(Device{"MAC", writer->addTechnician("alice", "h").value(), secretDigest("key"), "", "", ""}).ok());
  auto seen = [](PostgresStorage& storage) {
    const Device d = storage.deviceById("MAC").value().value();
    return std::make_pair(d.lastSeen, d.state);
  };
  const std::string quoted = R"({"a":"\"q\" \\ ü"})";
  for (const auto& [at, state] : {std::pair{100.0, "{}"}, {100.5, "{}"}, {101.7, quoted.c_str()}, {112.0, "{}"}}) {
    ASSERT_TRUE(writer->updateDevicePresence("MAC", at, state).ok());
    EXPECT_EQ(seen(*writer), std::make_pair(at, std::string(state)));
    EXPECT_TRUE(kx::testing::waitUntil([&] { return seen(*reader) == seen(*writer); })) << at;
  }
  ASSERT_TRUE(reader->updateDevicePresence("MAC", 50, quoted).ok());
  ASSERT_TRUE(reader->purge(0, 0, 0).ok());
  EXPECT_EQ(seen(*writer), std::make_pair(112.0, std::string("{}")));
}

// Once listening, a replica caches every device's poll answer without a
// read of its own, and a change made elsewhere still drops it.
TEST(PostgresStorage, ListeningCachesEveryDeviceAndChangesDropThem) {
  KX_FRESH_POSTGRES();
  auto replica = PostgresStorage::open(kPostgres).value();
  auto other = PostgresStorage::open(kPostgres).value();
  const int64_t alice = other->addTechnician("alice", "h").value();
  for (const char* id : {"MAC", "OTHER"}) {
    ASSERT_TRUE(other->addDevice(Device{id, alice, secretDigest(id), "", "", ""}).ok());
  }
  ASSERT_TRUE(replica->deviceForPoll("OTHER").ok());  // the first poll starts listening
  EXPECT_TRUE(kx::testing::waitUntil([&] { return replica->cachedPoll("MAC") != nullptr; }));
  ASSERT_TRUE(other->addSession(Session{"S", "MAC", alice, SessionState::pending, "k", "s", 1, 2, 0}).ok());
  EXPECT_TRUE(kx::testing::waitUntil([&] { return replica->cachedPoll("MAC") == nullptr; }));
}

// Handlers running at once (on PostgreSQL, on a pool of connections): a code is spent once,
// a Mac has one open session, and of the person's decision and both sides'
// ends racing one end acts, once, and no approval reopens an ended session; a
// signal posted twice at once is kept once.
TEST_P(ServiceTest, ConcurrentHandlersSpendACodeOnceEndASessionOnceAndKeepARetriedSignalOnce) {
  const std::string alice = signIn("alice"), code = setupCode(alice);
  const Mac mac = makeMac(alice);
  auto eightAtOnce = [&](const std::function<void()>& step) {
    return atOnce(captured([&] {
      for (int i = 0; i < 8; ++i) step();
    }));
  };
  EXPECT_EQ(eightAtOnce([&] { enroll(code); }), (std::map<int, int>{{200, 1}, {401, 7}}));
  EXPECT_EQ(eightAtOnce([&] { requestAccess(alice, mac, newUuid()); }), (std::map<int, int>{{200, 1}, {409, 7}}));
  for (int round = 0; round < 6; ++round) {
    const std::string sid = storage_->openSessions(mac.id).value().at(0).id;
    atOnce(captured([&] {
      decide(mac, sid, true);
      end(alice, sid);
      macEnd(mac, sid);
    }));
    EXPECT_EQ(storage_->sessionById(sid).value()->state, SessionState::ended);
    const auto rows = storage_->auditEntries(0, 1000).value();
    auto endOfThis = [&](const AuditEntry& r) { return r.sessionId == sid && r.event == "session-end"; };
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), endOfThis), 1) << "round " << round;
    ASSERT_EQ(requestAccess(alice, mac, newUuid()).status, 200);
  }
  // Posts at once: a repeat is kept once, and each post's payloads stay together.
  const Approved a = approvedSession();
  EXPECT_EQ(eightAtOnce([&] { consoleSignal(a.token, a.sid, {"offer"}); }), (std::map<int, int>{{200, 8}}));
  int post = 0;
  EXPECT_EQ(eightAtOnce([&] {
              const std::string n = std::to_string(post++);
              consoleSignal(a.token, a.sid, {"a" + n, "b" + n});
            }),
            (std::map<int, int>{{200, 8}}));
  const auto kept = storage_->signals(a.sid, Direction::toDevice).value();
  ASSERT_EQ(kept.size(), 17u);
  for (size_t i = 1; i < kept.size(); i += 2) EXPECT_EQ("b" + kept[i].substr(1), kept[i + 1]) << i;
}

// RFC 7636: the appendix B pair, and what a verifier may be.
TEST(Secrets, PkceChallengeAndVerifiers) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  for (const auto& [verifier, valid] : {std::pair{std::string("abc.DEF_ghi-JKL~0123456789abcdefghijklmnopq"), true},
                                        {std::string(128, '~'), true}, {std::string(42, 'a'), false},
                                        {std::string(129, 'a'), false}, {std::string(42, 'a') + "+", false}}) {
    EXPECT_EQ(isValidPkceVerifier(verifier), valid) << verifier;
  }
  EXPECT_TRUE(isValidPkceChallenge(pkceChallenge(newSecret())));
  EXPECT_FALSE(isValidPkceChallenge(std::string(43, '=')));
}

TEST(Secrets, PasswordHashVerifiesOnlyTheRightPasswordAtTheRealCostAndNeverAPlantedOne) {
  const std::string hash = hashPassword("open sesame", ScryptParameters{}).value();
  EXPECT_EQ(hash.rfind("scrypt$32768$8$1$", 0), 0u);
  EXPECT_TRUE(verifyPassword("open sesame", hash));
  EXPECT_FALSE(verifyPassword("open sesame!", hash));
  std::string heavy = hash, flipped = hash;
  heavy.replace(7, 5, "1073741824");  // N = 2^30 would need 1 TiB
  flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == 'A' ? 'B' : 'A';
  for (const std::string& bad : {std::string(), heavy, flipped}) EXPECT_FALSE(verifyPassword("open sesame", bad)) << bad;
  // The bound that keeps planted parameters from being tried is the one hashing obeys.
  const ScryptParameters planted[] = {{uint64_t{1} << 20, 32, 1}, {uint64_t{1} << 15, 8, 16}};  // 4 GiB; 16× work
  for (const ScryptParameters& p : planted) EXPECT_FALSE(hashPassword("pw", p).ok()) << p.n << " " << p.p;
}

TEST(Portal, FormDecodingAndMarkupEscaping) {
  EXPECT_EQ(parseForm("name=Dana+%C3%98&p=a%2Bb%26c%3Dd&flag&name=second").value_or(std::map<std::string, std::string>{}),
            (std::map<std::string, std::string>{{"name", "Dana \xC3\x98"}, {"p", "a+b&c=d"}, {"flag", ""}}));
  for (const std::string& bad : {std::string("a=%4"), std::string("a=%zz")}) EXPECT_FALSE(parseForm(bad)) << bad;
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(ConfigFile, ReadsNamesAndValuesAndRefusesMistakesWithTheirLine) {
  auto values = parseConfig("# the service\nlisten = 0.0.0.0:8443\r\n\n  data=/var/lib/kx-service  \ncert = /etc/ssl/a b.pem");
  ASSERT_TRUE(values) << values.error().description;
  EXPECT_EQ(*values, (ConfigValues{{"listen", "0.0.0.0:8443"}, {"data", "/var/lib/kx-service"}, {"cert", "/etc/ssl/a b.pem"}}));
  const std::pair<std::string, std::string> refusals[] = {
      {"listen 0.0.0.0:8443", "line 1: expected name = value"},
      {"# ok\nlisten = a:1\nlisten = b:2", "line 3: listen is set twice"},
      {"lisen = a:1", "line 1: unknown name \"lisen\""},
      {"data =", "line 1: data has no value"},
      {"#" + std::string(64 * 1024, 'x'), "the file is larger than 64 KiB"},
  };
  for (const auto& [text, description] : refusals) {
    auto refused = parseConfig(text);
    ASSERT_FALSE(refused) << description;
    EXPECT_EQ(refused.error().description, description);
  }
}

TEST(ConsoleAssets, PageNamesItsAssetsByVersionAndOnlyThatVersionIsServed) {
  const ConsoleAssets console = ConsoleAssets::fromFiles({{"index.html", "<script src=\"/console/%VERSION%/page.js\">"},
                                                          {"page.js", "export {};"}})
                                    .value();
  const std::string v = console.version(), immutable = "public, max-age=31536000, immutable";
  for (const auto& [target, status, cache] : {std::tuple<std::string, int, std::string>{"/console/", 200, "no-cache"},
                                              {"/console/" + v + "/page.js", 200, immutable},
                                              {"/console/0123456789abcdef/page.js", 404, "no-store"},
                                              {"/console/" + v + "/../index.html", 404, "no-store"}}) {
    auto r = console.serve(Request{"GET", target, "", "", "", "::1"});
    std::map<std::string, std::string> headers(r->headers.begin(), r->headers.end());
    EXPECT_EQ(std::tie(r->status, headers["Cache-Control"]), std::tie(status, cache)) << target;
    EXPECT_EQ(headers["Content-Security-Policy"], kConsoleSecurityPolicy) << target;
  }
}

std::string v2(uint8_t command, uint8_t family, std::string addresses) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(addresses.size() >> 8);
  h += static_cast<char>(addresses.size() & 0xFF);
  return h + addresses;
}

TEST(ProxyHeader, AcceptsOnlyWellFormedHeadersAndNamesTheClient) {
  using Outcome = ProxyHeader::Outcome;
  const std::string v4("\xCB\x00\x71\x07\xC0\x00\x02\x01\x1F\x90\x01\xBB", 12);  // 203.0.113.7:8080
  const struct {
    std::string bytes;
    Outcome outcome;
    std::string source;
  } cases[] = {
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234 443\r\nGET", Outcome::complete, "203.0.113.7"},
      {"PROXY TCP6 2001:DB8::1 2001:db8::2 1 65535\r\n", Outcome::complete, "2001:db8::1"},
      {"PROXY UNKNOWN whatever\r\n", Outcome::complete, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234", Outcome::needMore, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234 65536\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 01234 443\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 " + std::string(100, '1'), Outcome::invalid, ""},
      {"GET / HTTP/1.1\r\n\r\n", Outcome::invalid, ""},
      {v2(1, 0x11, v4) + "\x16", Outcome::complete, "203.0.113.7"},
      {v2(1, 0x21, std::string(15, '\0') + "\x01" + std::string(20, '\0')), Outcome::complete, "::1"},
      {v2(0, 0x00, ""), Outcome::complete, ""},  // LOCAL: a health check
      {v2(1, 0x11, v4).substr(0, 20), Outcome::needMore, ""},
      {v2(1, 0x11, v4 + std::string("\x04\x00\x09xy", 5)), Outcome::invalid, ""},  // TLV overruns
      {v2(2, 0x11, v4), Outcome::invalid, ""},  // no such command
      {v2(1, 0x11, v4).substr(0, 14) + "\xFF\xFF", Outcome::invalid, ""},  // announces more than is ever awaited
  };
  for (const auto& c : cases) {
    const ProxyHeader h = parseProxyHeader(c.bytes);
    EXPECT_EQ(std::tie(h.outcome, h.source), std::tie(c.outcome, c.source)) << c.bytes;
  }
  EXPECT_EQ(parseProxyHeader(v2(1, 0x11, v4) + "\x16").length, 28u);
}

}  // namespace
}  // namespace kx::service
