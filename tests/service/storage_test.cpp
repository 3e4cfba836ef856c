// The SQLite storage: schema versions, one-time grants, purging.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "service/secrets.h"
#include "service/sqlite_storage.h"

namespace kx::service {
namespace {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/kx-storage-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

int pragma(const std::string& path, const char* query) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, query, -1, &stmt, nullptr);
  int value = -1;
  if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

std::string journalMode(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr);
  std::string mode;
  if (sqlite3_step(stmt) == SQLITE_ROW) mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return mode;
}

TEST(SqliteSchema, NewFileGetsTheCurrentVersionInWalMode) {
  TempFolder folder;
  const std::string path = folder.file("service.db");
  {
    auto storage = SqliteStorage::open(path);
    ASSERT_TRUE(storage.ok()) << storage.error().summary();
  }
  EXPECT_EQ(pragma(path, "PRAGMA user_version"), SqliteStorage::schemaVersion());
  EXPECT_EQ(journalMode(path), "wal");
}

TEST(SqliteSchema, ReopeningKeepsTheData) {
  TempFolder folder;
  const std::string path = folder.file("service.db");
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
  TempFolder folder;
  const std::string path = folder.file("service.db");
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

  for (double at : {60.0, 80.0}) ASSERT_TRUE(storage->addSignInFailure("alice", "192.0.2.1", at).ok());

  ASSERT_TRUE(storage->purge(100, 30, 70).ok());
  EXPECT_EQ(storage->signInFailures("alice", "192.0.2.1", 0).value().byName, 1u);
  EXPECT_FALSE(storage->findGrant(GrantKind::setupCode, secretDigest("old")).value().has_value());
  EXPECT_TRUE(storage->findGrant(GrantKind::setupCode, secretDigest("new")).value().has_value());
  EXPECT_FALSE(storage->sessionById("OLD").value().has_value());
  EXPECT_TRUE(storage->sessionById("OPEN").value().has_value());
  EXPECT_EQ(storage->signals("OPEN", Direction::toConsole).value(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(storage->openSessions("MAC").value().size(), 1u);
}

TEST(SqliteStorageSignInFailures, CountByNameAndAddressSinceAMoment) {
  auto storage = SqliteStorage::open(":memory:").value();
  const struct {
    const char* name;
    const char* address;
    double at;
  } failures[] = {{"alice", "a1", 10}, {"alice", "a2", 20}, {"bob", "a1", 30}, {"alice", "a1", 40}};
  for (const auto& f : failures) ASSERT_TRUE(storage->addSignInFailure(f.name, f.address, f.at).ok());
  const auto count = storage->signInFailures("alice", "a1", 15).value();
  EXPECT_EQ(count.byName, 2u);
  EXPECT_EQ(count.byAddress, 2u);
  ASSERT_TRUE(storage->clearSignInFailures("alice").ok());
  EXPECT_EQ(storage->signInFailures("alice", "a1", 0).value().byName, 0u);
  EXPECT_EQ(storage->signInFailures("alice", "a1", 0).value().byAddress, 1u);
}

TEST(SqliteStorageAudit, RowsAreNewestFirstPerTechnicianAndOutliveWhatTheyName) {
  TempFolder folder;
  const std::string path = folder.file("audit.db");
  auto storage = SqliteStorage::open(path).value();
  const int64_t alice = storage->addTechnician("alice", "h").value();
  const int64_t bob = storage->addTechnician("bob", "h").value();
  Device mac;
  mac.id = "MAC";
  mac.technicianId = alice;
  mac.keyDigest = secretDigest("key");
  ASSERT_TRUE(storage->addDevice(mac).ok());
  ASSERT_TRUE(storage->addSession(Session{"S", "MAC", alice, SessionState::denied, "k", "s", 1, 0, 5}).ok());
  for (const char* event : {"enrolment", "access-request", "decision"}) {
    ASSERT_TRUE(storage->appendAudit(AuditEntry{0, 1, event, alice, "alice", "MAC", "Mac", "S", "a1", ""}).ok());
  }
  ASSERT_TRUE(storage->appendAudit(AuditEntry{0, 2, "sign-in", bob, "bob", "", "", "", "a2", ""}).ok());

  EXPECT_EQ(storage->deniedSessions("MAC", 5).value().size(), 1u);
  EXPECT_TRUE(storage->deniedSessions("MAC", 6).value().empty());
  ASSERT_TRUE(storage->removeDevice("MAC").ok());
  ASSERT_TRUE(storage->removeTechnician(alice).ok());
  EXPECT_FALSE(storage->sessionById("S").value().has_value());

  const auto rows = storage->auditEntries(alice, 2).value();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].event, "decision");
  EXPECT_EQ(rows[1].event, "access-request");
  EXPECT_EQ(rows[0].device, "Mac");
  EXPECT_EQ(storage->auditEntries(0, 100).value().size(), 4u);

  // Not even a direct write to the file changes or removes a row.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "UPDATE audit SET detail = 'x'", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "DELETE FROM audit", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(storage->auditEntries(0, 100).value().size(), 4u);
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
