// The storage backends: each SQLite and PostgreSQL schema on its own, then
// one contract that both must keep, run against a private in-memory SQLite
// database and a fresh database on a real PostgreSQL server.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "driver/throwaway_postgres.h"
#include "service/postgres_storage.h"
#include "service/schema.h"
#include "service/secrets.h"
#include "service/sqlite_storage.h"
#include "support/scratch.h"

namespace kx::service {
namespace {

using kx::testing::TempDir;

// The first column of the first row of `query`, as text.
std::string queryText(const std::string& path, const char* query) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, query, -1, &stmt, nullptr);
  std::string value;
  if (sqlite3_step(stmt) == SQLITE_ROW) value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

TEST(SqliteSchema, NewFileGetsTheCurrentVersionInWalMode) {
  const TempDir folder("kx-storage");
  const std::string path = folder / "service.db";
  {
    auto storage = SqliteStorage::open(path);
    ASSERT_TRUE(storage.ok()) << storage.error().summary();
  }
  EXPECT_EQ(queryText(path, "PRAGMA user_version"), std::to_string(SqliteStorage::schemaVersion()));
  EXPECT_EQ(queryText(path, "PRAGMA journal_mode"), "wal");
}

TEST(SqliteSchema, ReopeningKeepsTheData) {
  const TempDir folder("kx-storage");
  const std::string path = folder / "service.db";
  {
    auto storage = SqliteStorage::open(path).value();
    ASSERT_TRUE(storage->addTechnician("alice", "hash").ok());
  }
  auto storage = SqliteStorage::open(path).value();
  auto alice = storage->technicianByName("alice").value();
  ASSERT_TRUE(alice.has_value());
  EXPECT_EQ(alice->passwordHash, "hash");
}

TEST(SqliteSchema, NewerSchemaIsRefused) {
  const TempDir folder("kx-storage");
  const std::string path = folder / "service.db";
  { auto storage = SqliteStorage::open(path).value(); }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  auto storage = SqliteStorage::open(path);
  ASSERT_FALSE(storage.ok());
  EXPECT_NE(storage.error().description.find("99"), std::string::npos);
}

// --- PostgreSQL ------------------------------------------------------------------

// One server for the whole test program, started on first use.
class PostgresServer : public ::testing::Environment {
 public:
  static driver::ThrowawayPostgres* get(std::string* why) {
    if (!instance_->tried_) {
      instance_->tried_ = true;
      auto started = driver::ThrowawayPostgres::start();
      if (started) instance_->server_ = std::move(*started);
      else instance_->why_ = started.error().description;
    }
    *why = instance_->why_;
    return instance_->server_.get();
  }
  // A fresh database each call.
  static Expected<std::string> freshDatabase(driver::ThrowawayPostgres& server) {
    return server.createDatabase("storage_" + std::to_string(++instance_->databases_));
  }
  void TearDown() override { server_.reset(); }

  static PostgresServer* instance_;

 private:
  bool tried_ = false;
  std::string why_;
  std::unique_ptr<driver::ThrowawayPostgres> server_;
  int databases_ = 0;
};

PostgresServer* PostgresServer::instance_ = static_cast<PostgresServer*>(
    ::testing::AddGlobalTestEnvironment(new PostgresServer));

#define KX_REQUIRE_POSTGRES(server)                                              \
  std::string why;                                                               \
  driver::ThrowawayPostgres* server = PostgresServer::get(&why);                 \
  if (!server) GTEST_SKIP() << "PostgreSQL cannot start on this machine: " << why

TEST(PostgresSchema, ReopeningMigratesOnceAndANewerSchemaIsRefused) {
  KX_REQUIRE_POSTGRES(server);
  const std::string uri = PostgresServer::freshDatabase(*server).value();
  const std::string db = uri.substr(uri.find("///") + 3, uri.find('?') - uri.find("///") - 3);
  {
    auto storage = PostgresStorage::open(uri);
    ASSERT_TRUE(storage.ok()) << storage.error().summary();
    ASSERT_TRUE((*storage)->addTechnician("alice", "hash").ok());
  }
  auto reopened = PostgresStorage::open(uri);
  ASSERT_TRUE(reopened.ok()) << reopened.error().summary();
  EXPECT_TRUE((*reopened)->technicianByName("alice").value().has_value());
  EXPECT_EQ(server->scalar(db, "SELECT version FROM schema_version").value(),
            std::to_string(currentSchemaVersion()));
  ASSERT_TRUE(server->scalar(db, "UPDATE schema_version SET version = 99").ok());
  auto refused = PostgresStorage::open(uri);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().description.find("99"), std::string::npos);
}

// What makes replicas safe: a transaction in one process waits for another
// process's transaction to end, then sees everything it wrote.
TEST(PostgresStorageTransactions, ExcludeEveryOtherConnectionsTransactions) {
  KX_REQUIRE_POSTGRES(server);
  const std::string uri = PostgresServer::freshDatabase(*server).value();
  const std::string db = uri.substr(uri.find("///") + 3, uri.find('?') - uri.find("///") - 3);
  auto first = PostgresStorage::open(uri).value();
  auto second = PostgresStorage::open(uri).value();
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
    // Wait until the other connection is queued behind this transaction's lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto waiting = [&] {
      auto n = server->scalar(db, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted");
      return n.ok() && *n == "1";
    };
    while (!waiting()) {
      if (std::chrono::steady_clock::now() > deadline) return makeError("Test", 1, "the other never waited");
    }
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
TEST(PostgresStoragePresence, NewsAtOnceRefreshesWithinASecondOfPollsOrAtPurge) {
  KX_REQUIRE_POSTGRES(server);
  const std::string uri = PostgresServer::freshDatabase(*server).value();
  auto writer = PostgresStorage::open(uri).value();
  auto reader = PostgresStorage::open(uri).value();
  Device mac;
  mac.id = "MAC";
  mac.technicianId = writer->addTechnician("alice", "h").value();
  mac.keyDigest = secretDigest("key");
  ASSERT_TRUE(writer->addDevice(mac).ok());
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
      {100, "{}", true},      // first seen
      {100.5, "{}", false},   // a refresh, batched
      {101.5, "{}", true},    // the batch spans a second
      {101.7, quoted, true},  // a changed state
      {101.9, quoted, false},
      {112, quoted, true},    // after ten seconds without
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

// --- the contract of every backend ------------------------------------------------

class StorageContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "sqlite") {
      storage_ = SqliteStorage::open((folder_ / "service.db")).value();
    } else {
      KX_REQUIRE_POSTGRES(server);
      postgres_ = server;
      auto uri = PostgresServer::freshDatabase(*server);
      ASSERT_TRUE(uri.ok()) << uri.error().description;
      database_ = uri->substr(uri->find("///") + 3, uri->find('?') - uri->find("///") - 3);
      auto opened = PostgresStorage::open(*uri);
      ASSERT_TRUE(opened.ok()) << opened.error().summary();
      storage_ = std::move(*opened);
    }
    alice_ = storage_->addTechnician("alice", "h").value();
  }

  // Runs SQL on the database directly, past the storage.
  bool rawWriteSucceeds(const char* sql) {
    if (!postgres_) {
      sqlite3* db = nullptr;
      sqlite3_open((folder_ / "service.db").c_str(), &db);
      const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(db);
      return ok;
    }
    return postgres_->scalar(database_, sql).ok();
  }

  Device mac(const std::string& id) const {
    Device d;
    d.id = id;
    d.technicianId = alice_;
    d.keyDigest = secretDigest("key of " + id);
    d.name = "Mac " + id;
    d.publicKey = "BPK";
    d.installation = "inst";
    return d;
  }

  TempDir folder_{"kx-storage"};
  driver::ThrowawayPostgres* postgres_ = nullptr;
  std::string database_;
  std::unique_ptr<Storage> storage_;
  int64_t alice_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, StorageContract, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(StorageContract, OneTimeGrantIsSpentExactlyOnce) {
  const Bytes digest = secretDigest("secret");
  ASSERT_TRUE(storage_->addGrant(Grant{digest, GrantKind::signInCode, alice_, "challenge", 100.25}).ok());
  EXPECT_FALSE(storage_->findGrant(GrantKind::enrollmentToken, digest).value().has_value());
  auto found = storage_->findGrant(GrantKind::signInCode, digest).value();
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->challenge, "challenge");
  EXPECT_EQ(found->expires, 100.25);
  EXPECT_EQ(found->technicianId, alice_);
  EXPECT_TRUE(storage_->removeGrant(GrantKind::signInCode, digest).value());
  EXPECT_FALSE(storage_->removeGrant(GrantKind::signInCode, digest).value());
}

TEST_P(StorageContract, TechnicianNamesAndSessionIdsAreUnique) {
  auto again = storage_->addTechnician("alice", "h2");
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().code, 409);

  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  Session s{"S", "MAC", alice_, SessionState::pending, "k", "s", 1, 0, 0};
  ASSERT_TRUE(storage_->addSession(s).ok());
  auto twice = storage_->addSession(s);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().code, 409);
}

TEST_P(StorageContract, FailedBodyLeavesNothingBehindAndAFailedInnerOneOnlyItsOwnWrites) {
  Status s = storage_->transaction([&]() -> Status {
    EXPECT_TRUE(storage_->addTechnician("bob", "h").ok());
    return makeError("Test", 1, "changed my mind");
  });
  EXPECT_FALSE(s.ok());
  EXPECT_FALSE(storage_->technicianByName("bob").value().has_value());

  s = storage_->transaction([&]() -> Status {
    EXPECT_TRUE(storage_->addTechnician("bob", "h").ok());
    EXPECT_FALSE(storage_->transaction([&]() -> Status {
                           EXPECT_TRUE(storage_->addTechnician("carol", "h").ok());
                           return makeError("Test", 1, "inner only");
                         }).ok());
    return {};
  });
  EXPECT_TRUE(s.ok());
  EXPECT_TRUE(storage_->technicianByName("bob").value().has_value());
  EXPECT_FALSE(storage_->technicianByName("carol").value().has_value());
}

TEST_P(StorageContract, DevicesKeepEveryFieldAndListInEnrollmentOrder) {
  Device b = mac("B");
  b.keyDigest = Bytes{0, 1, 0, 255, 0x5c, 0x78};  // NUL, backslash, "x": bytes, not text
  b.name = "Übungs-Mac ✓";
  b.state = R"({"rtcState":"connected"})";
  b.lastSeen = 1765000000.123456;
  ASSERT_TRUE(storage_->addDevice(b).ok());
  ASSERT_TRUE(storage_->addDevice(mac("A")).ok());

  auto byKey = storage_->deviceByKeyDigest(b.keyDigest).value();
  ASSERT_TRUE(byKey.has_value());
  EXPECT_EQ(byKey->id, "B");
  EXPECT_EQ(byKey->keyDigest, b.keyDigest);
  EXPECT_EQ(byKey->name, b.name);
  EXPECT_EQ(byKey->state, b.state);
  EXPECT_EQ(byKey->lastSeen, b.lastSeen);
  EXPECT_EQ(byKey->installation, "inst");

  ASSERT_TRUE(storage_->updateDeviceIdentity("A", "Renamed", "BPK2", "inst2").ok());
  ASSERT_TRUE(storage_->updateDevicePresence("A", 42.5, R"({"x":1})").ok());
  const auto listed = storage_->devicesOf(alice_).value();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, "B");
  EXPECT_EQ(listed[1].name, "Renamed");
  EXPECT_EQ(listed[1].publicKey, "BPK2");
  EXPECT_EQ(listed[1].lastSeen, 42.5);
  EXPECT_EQ(listed[1].state, R"({"x":1})");
  EXPECT_FALSE(storage_->deviceById("C").value().has_value());
}

TEST_P(StorageContract, AClosedSessionIsFinal) {
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  Session s{"S", "MAC", alice_, SessionState::pending, "k", "s", 1, 0, 0};
  ASSERT_TRUE(storage_->addSession(s).ok());
  Session ended = s;
  ended.state = SessionState::ended;
  ended.closed = 5;
  ASSERT_TRUE(storage_->updateSession(ended).ok());
  Session approved = s;  // from a read taken before the session ended
  approved.state = SessionState::approved;
  approved.expires = 1800;
  ASSERT_TRUE(storage_->updateSession(approved).ok());

  const auto stored = storage_->sessionById("S").value();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->state, SessionState::ended);
  EXPECT_EQ(stored->closed, 5);
  EXPECT_TRUE(storage_->openSessions("MAC").value().empty());
}

TEST_P(StorageContract, SignalsKeepTheirOrderBytesAndDirection) {
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(Session{"S", "MAC", alice_, SessionState::approved, "k", "s", 1, 99, 0}).ok());
  const std::string withNul("a\0b", 3);
  const std::string large(64 * 1024, 'L');
  ASSERT_TRUE(storage_->appendSignals("S", Direction::toDevice, {"3", withNul}).ok());
  ASSERT_TRUE(storage_->appendSignals("S", Direction::toConsole, {"up"}).ok());
  ASSERT_TRUE(storage_->appendSignals("S", Direction::toDevice, {"1", large}).ok());
  EXPECT_EQ(storage_->signals("S", Direction::toDevice).value(),
            (std::vector<std::string>{"3", withNul, "1", large}));
  EXPECT_EQ(storage_->signals("S", Direction::toConsole).value(), (std::vector<std::string>{"up"}));
  ASSERT_TRUE(storage_->removeSignals("S").ok());
  EXPECT_TRUE(storage_->signals("S", Direction::toDevice).value().empty());
}

TEST_P(StorageContract, PurgeForgetsExpiredGrantsAndOldClosedSessionsWithTheirSignals) {
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("old"), GrantKind::setupCode, alice_, "", 50}).ok());
  ASSERT_TRUE(storage_->addGrant(Grant{secretDigest("new"), GrantKind::setupCode, alice_, "", 150}).ok());
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  Session closed{"OLD", "MAC", alice_, SessionState::ended, "k", "s", 10, 0, 20};
  Session open{"OPEN", "MAC", alice_, SessionState::approved, "k", "s", 90, 2000, 0};
  ASSERT_TRUE(storage_->addSession(closed).ok());
  ASSERT_TRUE(storage_->addSession(open).ok());
  ASSERT_TRUE(storage_->appendSignals("OLD", Direction::toConsole, {"a"}).ok());
  ASSERT_TRUE(storage_->appendSignals("OPEN", Direction::toConsole, {"b", "c"}).ok());
  for (double at : {60.0, 80.0}) ASSERT_TRUE(storage_->addSignInFailure("alice", "192.0.2.1", at).ok());

  ASSERT_TRUE(storage_->purge(100, 30, 70).ok());
  EXPECT_EQ(storage_->signInFailures("alice", "192.0.2.1", 0).value().byName, 1u);
  EXPECT_FALSE(storage_->findGrant(GrantKind::setupCode, secretDigest("old")).value().has_value());
  EXPECT_TRUE(storage_->findGrant(GrantKind::setupCode, secretDigest("new")).value().has_value());
  EXPECT_FALSE(storage_->sessionById("OLD").value().has_value());
  EXPECT_TRUE(storage_->sessionById("OPEN").value().has_value());
  EXPECT_EQ(storage_->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(storage_->openSessions("MAC").value().size(), 1u);
  EXPECT_EQ(storage_->openSessions("").value().size(), 1u);
}

TEST_P(StorageContract, SignInFailuresCountByNameAndAddressSinceAMoment) {
  const struct {
    const char* name;
    const char* address;
    double at;
  } failures[] = {{"alice", "a1", 10}, {"alice", "a2", 20}, {"bob", "a1", 30}, {"alice", "a1", 40}};
  for (const auto& f : failures) ASSERT_TRUE(storage_->addSignInFailure(f.name, f.address, f.at).ok());
  const auto count = storage_->signInFailures("alice", "a1", 15).value();
  EXPECT_EQ(count.byName, 2u);
  EXPECT_EQ(count.byAddress, 2u);
  ASSERT_TRUE(storage_->clearSignInFailures("alice").ok());
  EXPECT_EQ(storage_->signInFailures("alice", "a1", 0).value().byName, 0u);
  EXPECT_EQ(storage_->signInFailures("alice", "a1", 0).value().byAddress, 1u);
}

TEST_P(StorageContract, AuditRowsAreNewestFirstPerTechnicianAndOutliveWhatTheyName) {
  const int64_t bob = storage_->addTechnician("bob", "h").value();
  ASSERT_TRUE(storage_->addDevice(mac("MAC")).ok());
  ASSERT_TRUE(storage_->addSession(Session{"S", "MAC", alice_, SessionState::denied, "k", "s", 1, 0, 5}).ok());
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
  EXPECT_EQ(rows[0].event, "decision");
  EXPECT_EQ(rows[1].event, "access-request");
  EXPECT_EQ(rows[0].device, "Mac");
  EXPECT_GT(rows[0].id, rows[1].id);
  EXPECT_EQ(storage_->auditEntries(0, 100).value().size(), 4u);

  // Not even a direct write to the database changes or removes a row.
  EXPECT_FALSE(rawWriteSucceeds("UPDATE audit SET detail = 'x'"));
  EXPECT_FALSE(rawWriteSucceeds("DELETE FROM audit"));
  EXPECT_EQ(storage_->auditEntries(0, 100).value().size(), 4u);
}

}  // namespace
}  // namespace kx::service
