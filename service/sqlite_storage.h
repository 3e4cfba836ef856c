// The service's storage in one SQLite file: WAL journal, prepared statements,
// and a schema version (PRAGMA user_version) moved forward by migrations.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "service/storage.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kx::service {

class SqliteStorage final : public Storage {
 public:
  // The schema version this program writes.
  static int schemaVersion();

  // Opens (creating when missing) and migrates the database at `path`;
  // ":memory:" gives a private in-memory database. Refuses a database whose
  // schema is newer than this program's.
  static Expected<std::unique_ptr<SqliteStorage>> open(const std::string& path);
  ~SqliteStorage() override;

  Status transaction(const std::function<Status()>& body) override;

  Expected<int64_t> addTechnician(std::string_view name, std::string_view passwordHash) override;
  Expected<std::optional<Technician>> technicianByName(std::string_view name) override;
  Expected<std::optional<Technician>> technicianById(int64_t id) override;
  Status removeTechnician(int64_t id) override;

  Status addGrant(const Grant& grant) override;
  Expected<std::optional<Grant>> findGrant(GrantKind kind, const Bytes& digest) override;
  Expected<bool> removeGrant(GrantKind kind, const Bytes& digest) override;
  Expected<size_t> liveGrantCount(GrantKind kind, int64_t technicianId, double now) override;

  Status addDevice(const Device& device) override;
  Expected<std::optional<Device>> deviceById(std::string_view id) override;
  Expected<std::optional<Device>> deviceByKeyDigest(const Bytes& digest) override;
  Expected<std::vector<Device>> devicesOf(int64_t technicianId) override;
  Status updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                              std::string_view installation) override;
  Status updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) override;
  Status removeDevice(std::string_view id) override;

  Status addSession(const Session& session) override;
  Expected<std::optional<Session>> sessionById(std::string_view id) override;
  Expected<std::vector<Session>> openSessions(std::string_view deviceId) override;
  Status updateSession(const Session& session) override;
  Expected<std::vector<Session>> deniedSessions(std::string_view deviceId, double since) override;

  Status appendSignals(std::string_view sessionId, Direction direction,
                       const std::vector<std::string>& payloads) override;
  Expected<std::vector<std::string>> signals(std::string_view sessionId, Direction direction) override;
  Status removeSignals(std::string_view sessionId) override;

  Status addSignInFailure(std::string_view name, std::string_view address, double at) override;
  Expected<SignInFailureCount> signInFailures(std::string_view name, std::string_view address, double since) override;
  Status clearSignInFailures(std::string_view name) override;

  Status appendAudit(const AuditEntry& entry) override;
  Expected<std::vector<AuditEntry>> auditEntries(int64_t technicianId, size_t limit) override;

  Status purge(double now, double closedBefore, double failuresBefore) override;

  class Statement;

 private:
  explicit SqliteStorage(sqlite3* db);
  Status migrate();
  Status exec(const char* sql);
  // Runs a statement that returns no rows, binding `values` from 1.
  template <typename... Values>
  Status run(const char* sql, std::string_view what, const Values&... values);
  Error failure(std::string_view what) const;
  // Cached by the address of its (static) SQL text.
  Statement statement(const char* sql);

  sqlite3* db_;
  std::map<const char*, sqlite3_stmt*> statements_;
  int transactionDepth_ = 0;
};

}  // namespace kx::service
