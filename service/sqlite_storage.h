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

  Status addGrant(const Grant& grant) override;
  Expected<std::optional<Grant>> findGrant(GrantKind kind, const Bytes& digest) override;
  Expected<bool> removeGrant(GrantKind kind, const Bytes& digest) override;

  Status addDevice(const Device& device) override;
  Expected<std::optional<Device>> deviceById(std::string_view id) override;
  Expected<std::optional<Device>> deviceByKeyDigest(const Bytes& digest) override;
  Expected<std::vector<Device>> devicesOf(int64_t technicianId) override;
  Status updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                              std::string_view installation) override;
  Status updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) override;

  Status addSession(const Session& session) override;
  Expected<std::optional<Session>> sessionById(std::string_view id) override;
  Expected<std::vector<Session>> openSessions(std::string_view deviceId) override;
  Status updateSession(const Session& session) override;

  Status appendSignals(std::string_view sessionId, Direction direction,
                       const std::vector<std::string>& payloads) override;
  Expected<std::vector<std::string>> signals(std::string_view sessionId, Direction direction) override;
  Status removeSignals(std::string_view sessionId) override;

  Status purge(double now, double closedBefore) override;

  class Statement;

 private:
  explicit SqliteStorage(sqlite3* db);
  Status migrate();
  Status exec(const char* sql);
  Error failure(std::string_view what) const;
  // Cached by the address of its (static) SQL text.
  Statement statement(const char* sql);

  sqlite3* db_;
  std::map<const char*, sqlite3_stmt*> statements_;
  int transactionDepth_ = 0;
};

}  // namespace kx::service
