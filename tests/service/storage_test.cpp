// The contract both storage backends keep, run against a private SQLite file
// and a real PostgreSQL server (the one pg_virtualenv names in the
// environment); then what replicas and concurrent handlers sharing
// PostgreSQL rely on.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <thread>

#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "runtime/basic_loop.h"
#include "service/postgres_storage.h"
#include "service/schema.h"
#include "service/secrets.h"
#include "service/service.h"
#include "service/sqlite_storage.h"
#include "support/scratch.h"

namespace kx::service {
namespace {

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

class StorageContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (postgres()) {
      KX_FRESH_POSTGRES();
    }
    storage_ = reopen().value();
    alice_ = storage_->addTechnician("alice", "h").value();
  }
  bool postgres() const { return std::string(GetParam()) == "postgres"; }

  Expected<std::unique_ptr<Storage>> reopen() {
    auto widen = [](auto opened) -> Expected<std::unique_ptr<Storage>> {
      if (!opened) return std::move(opened).error();
      return std::unique_ptr<Storage>(std::move(*opened));
    };
    return postgres() ? widen(PostgresStorage::open(kPostgres)) : widen(SqliteStorage::open(folder_ / "service.db"));
  }

  // Runs SQL on the database past the storage: the first value of its result.
  Expected<std::string> raw(const std::string& sql) {
    if (postgres()) return postgresScalar(sql);
    sqlite3* db = nullptr;
    sqlite3_open((folder_ / "service.db").c_str(), &db);
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

  Device mac(const std::string& id) const {
    return Device{id, alice_, secretDigest("key of " + id), "Mac " + id, "BPK", "inst"};
  }
  Session session(const std::string& id, SessionState state, double created = 1, double expires = 0,
                  double closed = 0) const {
    return Session{id, "MAC", alice_, state, "k", "s", created, expires, closed};
  }

  kx::testing::TempDir folder_{"kx-storage"};
  std::unique_ptr<Storage> storage_;
  int64_t alice_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, StorageContract, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(StorageContract, ReopeningKeepsTheDataAndANewerSchemaIsRefused) {
  storage_.reset();
  auto reopened = reopen();
  ASSERT_TRUE(reopened.ok()) << reopened.error().summary();
  EXPECT_TRUE((*reopened)->technicianByName("alice").value().has_value());
  reopened->reset();
  const std::string version = std::to_string(currentSchemaVersion());
  if (postgres()) {
    EXPECT_EQ(raw("SELECT version FROM schema_version").value(), version);
    ASSERT_TRUE(raw("UPDATE schema_version SET version = 99").ok());
  } else {
    EXPECT_EQ(raw("PRAGMA user_version").value(), version);
    EXPECT_EQ(raw("PRAGMA journal_mode").value(), "wal");
    ASSERT_TRUE(raw("PRAGMA user_version=99").ok());
  }
  auto refused = reopen();
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find("99"), std::string::npos);
}

// A grant is spent once, names and session ids are unique, and a failed
// transaction leaves nothing behind (a failed inner one only its own writes).
TEST_P(StorageContract, GrantsAreSpentOnceNamesAndIdsAreUniqueAndFailedTransactionsWriteNothing) {
  const Bytes digest = secretDigest("secret");
  ASSERT_TRUE(storage_->addGrant(Grant{digest, GrantKind::signInCode, alice_, "challenge", 100.25}).ok());
  EXPECT_FALSE(storage_->findGrant(GrantKind::enrollmentToken, digest).value().has_value());
  const auto found = storage_->findGrant(GrantKind::signInCode, digest).value().value_or(Grant{});
  EXPECT_EQ(std::tie(found.challenge, found.expires, found.technicianId), std::make_tuple("challenge", 100.25, alice_));
  EXPECT_TRUE(storage_->removeGrant(GrantKind::signInCode, digest).value());
  EXPECT_FALSE(storage_->removeGrant(GrantKind::signInCode, digest).value());
  EXPECT_EQ(storage_->addTechnician("alice", "h2").error().code, 409);
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(session("S", SessionState::pending)).ok());
  EXPECT_EQ(storage_->addSession(session("S", SessionState::pending)).error().code, 409);

  auto add = [&](const char* name, Status result) {
    return [=, this]() -> Status {
      EXPECT_TRUE(storage_->addTechnician(name, "h").ok());
      return result;
    };
  };
  EXPECT_FALSE(storage_->transaction(add("bob", makeError("Test", 1, "changed my mind"))).ok());
  EXPECT_FALSE(storage_->technicianByName("bob").value().has_value());
  EXPECT_TRUE(storage_->transaction([&]() -> Status {
                        EXPECT_TRUE(add("bob", {})().ok());
                        EXPECT_FALSE(storage_->transaction(add("carol", makeError("Test", 1, "inner only"))).ok());
                        return {};
                      }).ok());
  EXPECT_TRUE(storage_->technicianByName("bob").value().has_value());
  EXPECT_FALSE(storage_->technicianByName("carol").value().has_value());
}

TEST_P(StorageContract, DevicesKeepEveryFieldAndAClosedSessionIsFinal) {
  Device b = mac("B");
  b.keyDigest = Bytes{0, 1, 0, 255, 0x5c, 0x78};  // NUL, backslash, "x": bytes, not text
  b.name = "Übungs-Mac ✓";
  b.state = R"({"rtcState":"connected"})";
  b.lastSeen = 1765000000.123456;
  ASSERT_TRUE(storage_->addDevice(b).ok());
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  const auto byKey = storage_->deviceByKeyDigest(b.keyDigest).value();
  ASSERT_TRUE(byKey.has_value());
  EXPECT_EQ(std::tie(byKey->id, byKey->keyDigest, byKey->name, byKey->state, byKey->lastSeen, byKey->installation),
            std::tie(b.id, b.keyDigest, b.name, b.state, b.lastSeen, b.installation));
  ASSERT_TRUE(storage_->updateDeviceIdentity("MAC", "Renamed", "BPK2", "inst2").ok());
  ASSERT_TRUE(storage_->updateDevicePresence("MAC", 42.5, R"({"x":1})").ok());
  const auto listed = storage_->devicesOf(alice_).value();  // in enrollment order
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, "B");
  EXPECT_EQ(std::tie(listed[1].name, listed[1].publicKey, listed[1].installation, listed[1].lastSeen, listed[1].state),
            std::make_tuple("Renamed", "BPK2", "inst2", 42.5, R"({"x":1})"));
  EXPECT_FALSE(storage_->deviceById("C").value().has_value());

  ASSERT_TRUE(storage_->addSession(session("S", SessionState::pending)).ok());
  ASSERT_TRUE(storage_->updateSession(session("S", SessionState::ended, 1, 0, 5)).ok());
  // An approval from a read taken before the session ended.
  ASSERT_TRUE(storage_->updateSession(session("S", SessionState::approved, 1, 1800)).ok());
  const auto stored = storage_->sessionById("S").value();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(std::tie(stored->state, stored->closed), std::make_tuple(SessionState::ended, 5.0));
  EXPECT_TRUE(storage_->openSessions("MAC").value().empty());
}

TEST_P(StorageContract, SignalsKeepTheirOrderBytesAndDirectionUntilPurged) {
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(session("OPEN", SessionState::approved, 90, 2000)).ok());
  ASSERT_TRUE(storage_->addSession(session("OLD", SessionState::ended, 10, 0, 20)).ok());
  const std::string withNul("a\0b", 3), large(64 * 1024, 'L');
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toDevice, {"3", withNul}).ok());
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toConsole, {"up"}).ok());
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toDevice, {"1", large}).ok());
  ASSERT_TRUE(storage_->appendSignals("OLD", Direction::toConsole, {"a"}).ok());
  EXPECT_EQ(storage_->signals("OPEN", Direction::toDevice).value(), (std::vector<std::string>{"3", withNul, "1", large}));
  EXPECT_EQ(storage_->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"up"}));

  // Purge at 100 forgets expired grants, sessions closed before 30 and failures before 70.
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("old"), GrantKind::setupCode, alice_, "", 50}).ok());
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("new"), GrantKind::setupCode, alice_, "", 150}).ok());
  for (double at : {60.0, 80.0}) ASSERT_TRUE(storage_->addSignInFailure("alice", "192.0.2.1", at).ok());
  ASSERT_TRUE(storage_->purge(100, 30, 70).ok());
  EXPECT_EQ(storage_->signInFailures("alice", "192.0.2.1", 0).value().byName, 1u);
  EXPECT_FALSE(storage_->findGrant(GrantKind::setupCode, secretDigest("old")).value().has_value());
  EXPECT_TRUE(storage_->findGrant(GrantKind::setupCode, secretDigest("new")).value().has_value());
  EXPECT_FALSE(storage_->sessionById("OLD").value().has_value());
  EXPECT_EQ(storage_->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"up"}));
  EXPECT_EQ(storage_->openSessions("").value().size(), 1u);
  ASSERT_TRUE(storage_->removeSignals("OPEN").ok());
  EXPECT_TRUE(storage_->signals("OPEN", Direction::toDevice).value().empty());

  // Sign-in failures count by name and by address since a moment.
  for (const auto& [name, address, at] : {std::tuple{"alice", "a1", 110.0}, std::tuple{"alice", "a2", 120.0},
                                          std::tuple{"bob", "a1", 130.0}, std::tuple{"alice", "a1", 140.0}}) {
    ASSERT_TRUE(storage_->addSignInFailure(name, address, at).ok());
  }
  auto count = storage_->signInFailures("alice", "a1", 115).value();
  EXPECT_EQ(std::tie(count.byName, count.byAddress), std::make_tuple(2u, 2u));
  ASSERT_TRUE(storage_->clearSignInFailures("alice").ok());
  count = storage_->signInFailures("alice", "a1", 0).value();
  EXPECT_EQ(std::tie(count.byName, count.byAddress), std::make_tuple(0u, 1u));
}

TEST_P(StorageContract, AuditRowsAreNewestFirstPerTechnicianAndOutliveWhatTheyName) {
  const int64_t bob = storage_->addTechnician("bob", "h").value();
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(session("S", SessionState::denied, 1, 0, 5)).ok());
  for (const char* event : {"enrolment", "access-request", "decision"}) {
    ASSERT_TRUE(storage_->appendAudit(AuditEntry{0, 1, event, alice_, "alice", "MAC", "Mac", "S", "a1", ""}).ok());
  }
  ASSERT_TRUE(storage_->appendAudit(AuditEntry{0, 2, "sign-in", bob, "bob", "", "", "", "a2", ""}).ok());
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("live"), GrantKind::setupCode, alice_, "", 50}).ok());
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("dead"), GrantKind::setupCode, alice_, "", 10}).ok());
  EXPECT_EQ(storage_->liveGrantCount(GrantKind::setupCode, alice_, 20).value(), 1u);
  EXPECT_EQ(storage_->deniedSessions("MAC", 5).value().size(), 1u);
  EXPECT_TRUE(storage_->deniedSessions("MAC", 6).value().empty());

  ASSERT_TRUE(storage_->removeDevice("MAC").ok());
  ASSERT_TRUE(storage_->removeTechnician(alice_).ok());
  EXPECT_FALSE(storage_->sessionById("S").value().has_value());
  EXPECT_FALSE(storage_->findGrant(GrantKind::setupCode, secretDigest("live")).value().has_value());
  const auto rows = storage_->auditEntries(alice_, 2).value();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(std::tie(rows[0].event, rows[1].event, rows[0].device), std::make_tuple("decision", "access-request", "Mac"));
  EXPECT_GT(rows[0].id, rows[1].id);
  // Not even a direct write to the database changes or removes a row.
  EXPECT_FALSE(raw("UPDATE audit SET detail = 'x'").ok());
  EXPECT_FALSE(raw("DELETE FROM audit").ok());
  EXPECT_EQ(storage_->auditEntries(0, 100).value().size(), 4u);
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

// Presence that is news reaches every replica at once; refreshes within a
// second of poll times or at purge; an older poll written late by another
// replica never hides a newer one; the writer always reads its own.
TEST(PostgresStorage, PresenceNewsAtOnceRefreshesWithinASecondOfPollsOrAtPurge) {
  KX_FRESH_POSTGRES();
  auto writer = PostgresStorage::open(kPostgres).value();
  auto reader = PostgresStorage::open(kPostgres).value();
  ASSERT_TRUE(writer->addDevice(Device{"MAC", writer->addTechnician("alice", "h").value(), secretDigest("key"), "", "", ""}).ok());
  auto seenBy = [](PostgresStorage& storage) {
    const Device d = storage.deviceById("MAC").value().value();
    return std::make_pair(d.lastSeen, d.state);
  };
  const std::string quoted = R"({"a":"\"q\" \\ ü"})";
  const struct {
    double at;
    std::string state;
    bool readerSeesIt;  // at once; otherwise only the writer does
  } polls[] = {
      {100, "{}", true},     {100.5, "{}", false},   {101.5, "{}", true},  // a batch spans a second
      {101.7, quoted, true}, {101.9, quoted, false}, {112, quoted, true},  // a changed state; ten seconds without
  };
  for (const auto& poll : polls) {
    ASSERT_TRUE(writer->updateDevicePresence("MAC", poll.at, poll.state).ok());
    EXPECT_EQ(seenBy(*writer), std::make_pair(poll.at, poll.state)) << poll.at;
    if (poll.readerSeesIt) {
      EXPECT_EQ(seenBy(*reader), std::make_pair(poll.at, poll.state)) << poll.at;
    }
  }
  ASSERT_TRUE(writer->updateDevicePresence("MAC", 112.5, quoted).ok());
  ASSERT_TRUE(writer->purge(0, 0, 0).ok());
  EXPECT_EQ(seenBy(*reader).first, 112.5);
  ASSERT_TRUE(reader->updateDevicePresence("MAC", 50, "{}").ok());
  EXPECT_EQ(seenBy(*writer).first, 112.5);
}

// How many of `requests`, sent from as many threads at once, got each status.
std::map<int, int> atOnce(Service& service, const std::vector<Request>& requests) {
  std::vector<int> statuses(requests.size());
  std::atomic<size_t> ready{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] {
      for (++ready; ready < requests.size();) std::this_thread::yield();
      statuses[i] = service.handle(requests[i]).status;
    });
  }
  for (auto& t : threads) t.join();
  std::map<int, int> counts;
  for (int status : statuses) ++counts[status];
  return counts;
}

// Handlers running at once on a pool of connections: a code is spent once,
// a Mac has one open session.
TEST(PostgresStorage, ConcurrentHandlersSpendACodeOnceAndOpenOneSessionPerMac) {
  KX_FRESH_POSTGRES();
  auto storage = PostgresStorage::open(kPostgres, 8).value();
  VirtualLoop clock;
  ServiceOptions options;
  options.passwordHashing.n = 16;
  Service service(*storage, clock, options);
  ASSERT_TRUE(service.addTechnician("alice", "correct-horse").ok());
  const std::string publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
  auto post = [](std::string target, const Json& body, const std::string& bearer = "") {
    return Request{"POST", std::move(target), bearer.empty() ? "" : "Bearer " + bearer, "", dumpJson(body), "192.0.2.1"};
  };
  auto enroll = [&] {
    return post("/api/enroll", Json{{"token", service.createSetupCode("alice").value()}, {"publicKey", publicKey}});
  };
  EXPECT_EQ(atOnce(service, std::vector<Request>(8, enroll())), (std::map<int, int>{{200, 1}, {401, 7}}));

  // A Mac online, and a console token of alice's.
  const Json mac = parseJson(service.handle(enroll()).body).value();
  const std::string id = mac.value("id", "");
  ASSERT_EQ(service.handle(post("/api/device/" + id + "/poll", Json::object(), mac.value("key", ""))).status, 200);
  const int64_t alice = storage->technicianByName("alice").value()->id;
  ASSERT_TRUE(storage->addGrant(Grant{secretDigest("token"), GrantKind::technicianToken, alice, "", 1e12}).ok());
  std::vector<Request> requests;
  for (int i = 0; i < 8; ++i) {
    requests.push_back(post("/api/admin/request", Json{{"id", newUuid()}, {"device", id}, {"browserKey", publicKey},
                                                        {"salt", base64Encode(randomBytes(16))}}, "token"));
  }
  EXPECT_EQ(atOnce(service, requests), (std::map<int, int>{{200, 1}, {409, 7}}));

  // The person's decision and both sides' ends racing: one end acts, once,
  // and no approval reopens an ended session.
  const std::string key = mac.value("key", "");
  for (int round = 0; round < 6; ++round) {
    const std::string sid = storage->openSessions(id).value().at(0).id;
    const Json session{{"session", sid}};
    atOnce(service, {post("/api/device/" + id + "/decision", Json{{"session", sid}, {"approve", true}}, key),
                     post("/api/admin/session/" + sid + "/end", Json::object(), "token"),
                     post("/api/device/" + id + "/end", session, key)});
    EXPECT_EQ(storage->sessionById(sid).value()->state, SessionState::ended);
    const auto rows = storage->auditEntries(alice, 1000).value();
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [&](const AuditEntry& r) { return r.sessionId == sid && r.event == "session-end"; }),
              1)
        << "round " << round;
    ASSERT_EQ(service.handle(post("/api/admin/request", Json{{"id", newUuid()}, {"device", id}, {"browserKey", publicKey},
                                                             {"salt", base64Encode(randomBytes(16))}}, "token")).status,
              200);
  }
}

}  // namespace
}  // namespace kx::service
