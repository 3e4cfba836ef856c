// The SQLite storage: schema versions, one-time grants, purging.
#include <gtest/gtest.h>
#include <sqlite3.h>


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

TEST(SqliteStorageGrants, OneTimeGrantIsSpentExactlyOnce) {
  auto storage = SqliteStorage::open(":memory:").value();
  const int64_t alice = storage->addTechnician("alice", "h").value();
  const Bytes digest = secretDigest("secret");
  ASSERT_TRUE(storage->addGrant(Grant{digest, GrantKind::setupCode, alice, "", 100}).ok());
  EXPECT_FALSE(storage->findGrant(GrantKind::enrollmentToken, digest).value().has_value());
  EXPECT_TRUE(storage->findGrant(GrantKind::setupCode, digest).value().has_value());
  EXPECT_TRUE(storage->removeGrant(GrantKind::setupCode, digest).value());
  EXPECT_FALSE(storage->removeGrant(GrantKind::setupCode, digest).value());
}

TEST(SqliteStorageTechnicians, NamesAreUnique) {
  auto storage = SqliteStorage::open(":memory:").value();
  ASSERT_TRUE(storage->addTechnician("alice", "h").ok());
  auto again = storage->addTechnician("alice", "h2");
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().code, 409);
}

TEST(SqliteStorageTransactions, FailedBodyLeavesNothingBehind) {
  auto storage = SqliteStorage::open(":memory:").value();
  Status s = storage->transaction([&]() -> Status {
    EXPECT_TRUE(storage->addTechnician("alice", "h").ok());
    return makeError("Test", 1, "changed my mind");
  });
  EXPECT_FALSE(s.ok());
  EXPECT_FALSE(storage->technicianByName("alice").value().has_value());
  EXPECT_TRUE(storage->addTechnician("alice", "h").ok());
}

TEST(SqliteStoragePurge, ForgetsExpiredGrantsAndOldClosedSessionsWithTheirSignals) {
  auto storage = SqliteStorage::open(":memory:").value();
  const int64_t alice = storage->addTechnician("alice", "h").value();
  ASSERT_TRUE(storage->addGrant(Grant{secretDigest("old"), GrantKind::setupCode, alice, "", 50}).ok());
  ASSERT_TRUE(storage->addGrant(Grant{secretDigest("new"), GrantKind::setupCode, alice, "", 150}).ok());
  Device mac;
  mac.id = "MAC";
  mac.technicianId = alice;
  mac.keyDigest = secretDigest("key");
  ASSERT_TRUE(storage->addDevice(mac).ok());
  Session closed{"OLD", "MAC", alice, SessionState::ended, "k", "s", 10, 0, 20};
  Session open{"OPEN", "MAC", alice, SessionState::approved, "k", "s", 90, 2000, 0};
  ASSERT_TRUE(storage->addSession(closed).ok());
  ASSERT_TRUE(storage->addSession(open).ok());
  ASSERT_TRUE(storage->appendSignals("OLD", Direction::toConsole, {"a"}).ok());
  ASSERT_TRUE(storage->appendSignals("OPEN", Direction::toConsole, {"b", "c"}).ok());

  ASSERT_TRUE(storage->purge(100, 30).ok());
  EXPECT_FALSE(storage->findGrant(GrantKind::setupCode, secretDigest("old")).value().has_value());
  EXPECT_TRUE(storage->findGrant(GrantKind::setupCode, secretDigest("new")).value().has_value());
  EXPECT_FALSE(storage->sessionById("OLD").value().has_value());
  EXPECT_TRUE(storage->sessionById("OPEN").value().has_value());
  EXPECT_EQ(storage->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(storage->openSessions("MAC").value().size(), 1u);
}

TEST(SqliteStorageSessions, IdsAreUnique) {
  auto storage = SqliteStorage::open(":memory:").value();
  const int64_t alice = storage->addTechnician("alice", "h").value();
  Device mac;
  mac.id = "MAC";
  mac.technicianId = alice;
  mac.keyDigest = secretDigest("key");
  ASSERT_TRUE(storage->addDevice(mac).ok());
  Session s{"S", "MAC", alice, SessionState::pending, "k", "s", 1, 0, 0};
  ASSERT_TRUE(storage->addSession(s).ok());
  auto again = storage->addSession(s);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().code, 409);
}

}  // namespace
}  // namespace kx::service
