#include "service/sqlite_storage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>

#include "service/schema.h"

namespace kx::service {

namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

}  // namespace

// A cached prepared statement in use: binds by position (from 1), steps, and
// resets itself when it goes out of scope so the cache can hand it out again.
class SqliteStorage::Statement {
 public:
  Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }

  bool prepared() const { return stmt_ != nullptr; }

  // Values must outlive the statement (SQLITE_STATIC).
  Statement& bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    return *this;
  }
  Statement& bind(int index, const Bytes& blob) {
    sqlite3_bind_blob(stmt_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    return *this;
  }
  Statement& bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bind(int index, double value) {
    sqlite3_bind_double(stmt_, index, value);
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(stmt_); }

  std::string text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
  }
  Bytes blob(int column) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    return p ? Bytes(p, p + sqlite3_column_bytes(stmt_, column)) : Bytes();
  }
  int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }

 private:
  sqlite3_stmt* stmt_;
};

std::string_view sessionStateName(SessionState state) {
  switch (state) {
    case SessionState::pending: return "pending";
    case SessionState::approved: return "approved";
    case SessionState::denied: return "denied";
    case SessionState::ended: return "ended";
  }
  return "ended";
}

std::optional<SessionState> sessionStateFromName(std::string_view name) {
  for (auto s : {SessionState::pending, SessionState::approved, SessionState::denied, SessionState::ended}) {
    if (sessionStateName(s) == name) return s;
  }
  return std::nullopt;
}

int SqliteStorage::schemaVersion() { return currentSchemaVersion(); }

Expected<std::unique_ptr<SqliteStorage>> SqliteStorage::open(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (rc != SQLITE_OK) {
    return makeError("Storage", rc, "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  std::unique_ptr<SqliteStorage> storage(new SqliteStorage(db.release()));
  sqlite3_busy_timeout(storage->db_, 5000);
  // WAL lets the admin commands write while the server reads; NORMAL
  // synchronisation is durable across application crashes, and loses at most
  // the last transactions on power loss.
  const bool inMemory = path == ":memory:" || path.empty();
  if (!inMemory) {
    if (Status s = storage->exec("PRAGMA journal_mode=WAL"); !s) return std::move(s).error();
  }
  for (const char* pragma : {"PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
    if (Status s = storage->exec(pragma); !s) return std::move(s).error();
  }
  if (Status s = storage->migrate(); !s) return std::move(s).error();
  return storage;
}

SqliteStorage::SqliteStorage(sqlite3* db) : db_(db) {}

SqliteStorage::~SqliteStorage() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
}

Error SqliteStorage::failure(std::string_view what) const {
  return makeError("Storage", sqlite3_extended_errcode(db_), std::string(what) + ": " + sqlite3_errmsg(db_));
}

Status SqliteStorage::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    Error e = makeError("Storage", sqlite3_extended_errcode(db_), message ? message : "exec failed");
    sqlite3_free(message);
    return e;
  }
  return {};
}

SqliteStorage::Statement SqliteStorage::statement(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return Statement(it->second);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return Statement(nullptr);
  }
  statements_.emplace(sql, stmt);
  return Statement(stmt);
}

Status SqliteStorage::migrate() {
  int version = 0;
  {
    Statement s = statement("PRAGMA user_version");
    if (!s.prepared() || s.step() != SQLITE_ROW) return failure("reading the schema version");
    version = static_cast<int>(s.integer(0));
  }
  if (version > schemaVersion()) {
    return makeError("Storage", 1,
                     "the database has schema version " + std::to_string(version) +
                         ", newer than this program's " + std::to_string(schemaVersion()));
  }
  for (int next = version; next < schemaVersion(); ++next) {
    Status s = transaction([&]() -> Status {
      if (Status m = exec(schemaMigrations()[static_cast<size_t>(next)].sqlite); !m) return m;
      const std::string bump = "PRAGMA user_version=" + std::to_string(next + 1);
      return exec(bump.c_str());
    });
    if (!s) return s;
  }
  return {};
}

template <typename... Values>
Status SqliteStorage::run(const char* sql, std::string_view what, const Values&... values) {
  Statement s = statement(sql);
  if (!s.prepared()) return failure(what);
  int index = 0;
  (s.bind(++index, values), ...);
  if (s.step() != SQLITE_DONE) return failure(what);
  return {};
}

Status SqliteStorage::transaction(const std::function<Status()>& body) {
  // The outermost level is a write transaction taken at once (no upgrade
  // from a stale read snapshot can fail later); inner levels are savepoints,
  // so an inner failure undoes only its own writes.
  const bool outer = transactionDepth_ == 0;
  if (Status s = exec(outer ? "BEGIN IMMEDIATE" : "SAVEPOINT inner"); !s) return s;
  ++transactionDepth_;
  Status result = body();
  --transactionDepth_;
  if (!result) {
    (void)exec(outer ? "ROLLBACK" : "ROLLBACK TO inner; RELEASE inner");
    return result;
  }
  if (Status s = exec(outer ? "COMMIT" : "RELEASE inner"); !s) {
    (void)exec(outer ? "ROLLBACK" : "ROLLBACK TO inner; RELEASE inner");
    return s;
  }
  return {};
}

// --- technicians -----------------------------------------------------------

Expected<int64_t> SqliteStorage::addTechnician(std::string_view name, std::string_view passwordHash) {
  Statement s = statement("INSERT INTO technicians(name, password_hash) VALUES(?, ?)");
  if (!s.prepared()) return failure("adding a technician");
  s.bind(1, name).bind(2, passwordHash);
  const int rc = s.step();
  if (rc == SQLITE_CONSTRAINT) return makeError("Storage", 409, "a technician with that name exists");
  if (rc != SQLITE_DONE) return failure("adding a technician");
  return static_cast<int64_t>(sqlite3_last_insert_rowid(db_));
}

namespace {
Technician readTechnician(const SqliteStorage::Statement& s) {
  return Technician{s.integer(0), s.text(1), s.text(2)};
}
}  // namespace

Expected<std::optional<Technician>> SqliteStorage::technicianByName(std::string_view name) {
  Statement s = statement("SELECT id, name, password_hash FROM technicians WHERE name = ?");
  if (!s.prepared()) return failure("reading a technician");
  s.bind(1, name);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return std::optional<Technician>(readTechnician(s));
  if (rc == SQLITE_DONE) return std::optional<Technician>();
  return failure("reading a technician");
}

Expected<std::optional<Technician>> SqliteStorage::technicianById(int64_t id) {
  Statement s = statement("SELECT id, name, password_hash FROM technicians WHERE id = ?");
  if (!s.prepared()) return failure("reading a technician");
  s.bind(1, id);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return std::optional<Technician>(readTechnician(s));
  if (rc == SQLITE_DONE) return std::optional<Technician>();
  return failure("reading a technician");
}

Status SqliteStorage::removeTechnician(int64_t id) {
  return run("DELETE FROM technicians WHERE id = ?", "removing a technician", id);
}

// --- grants ----------------------------------------------------------------

Status SqliteStorage::addGrant(const Grant& grant) {
  Statement s = statement(
      "INSERT INTO grants(digest, kind, technician_id, challenge, expires) VALUES(?, ?, ?, ?, ?)");
  if (!s.prepared()) return failure("adding a grant");
  s.bind(1, grant.digest)
      .bind(2, static_cast<int64_t>(grant.kind))
      .bind(3, grant.technicianId)
      .bind(4, grant.challenge)
      .bind(5, grant.expires);
  if (s.step() != SQLITE_DONE) return failure("adding a grant");
  return {};
}

Expected<std::optional<Grant>> SqliteStorage::findGrant(GrantKind kind, const Bytes& digest) {
  Statement s = statement(
      "SELECT technician_id, challenge, expires FROM grants WHERE kind = ? AND digest = ?");
  if (!s.prepared()) return failure("reading a grant");
  s.bind(1, static_cast<int64_t>(kind)).bind(2, digest);
  const int rc = s.step();
  if (rc == SQLITE_DONE) return std::optional<Grant>();
  if (rc != SQLITE_ROW) return failure("reading a grant");
  return std::optional<Grant>(Grant{digest, kind, s.integer(0), s.text(1), s.real(2)});
}

Expected<bool> SqliteStorage::removeGrant(GrantKind kind, const Bytes& digest) {
  Statement s = statement("DELETE FROM grants WHERE kind = ? AND digest = ?");
  if (!s.prepared()) return failure("removing a grant");
  s.bind(1, static_cast<int64_t>(kind)).bind(2, digest);
  if (s.step() != SQLITE_DONE) return failure("removing a grant");
  return sqlite3_changes(db_) > 0;
}

Expected<size_t> SqliteStorage::liveGrantCount(GrantKind kind, int64_t technicianId, double now) {
  Statement s = statement("SELECT count(*) FROM grants WHERE kind = ? AND technician_id = ? AND expires > ?");
  if (!s.prepared()) return failure("counting grants");
  s.bind(1, static_cast<int64_t>(kind)).bind(2, technicianId).bind(3, now);
  if (s.step() != SQLITE_ROW) return failure("counting grants");
  return static_cast<size_t>(s.integer(0));
}

// --- devices ---------------------------------------------------------------

Status SqliteStorage::addDevice(const Device& d) {
  Statement s = statement(
      "INSERT INTO devices(id, technician_id, key_digest, name, public_key, installation, state, last_seen)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s.prepared()) return failure("adding a device");
  s.bind(1, d.id)
      .bind(2, d.technicianId)
      .bind(3, d.keyDigest)
      .bind(4, d.name)
      .bind(5, d.publicKey)
      .bind(6, d.installation)
      .bind(7, d.state)
      .bind(8, d.lastSeen);
  if (s.step() != SQLITE_DONE) return failure("adding a device");
  return {};
}

#define KX_DEVICE_COLUMNS "id, technician_id, key_digest, name, public_key, installation, state, last_seen"

namespace {
Device readDevice(const SqliteStorage::Statement& s) {
  Device d;
  d.id = s.text(0);
  d.technicianId = s.integer(1);
  d.keyDigest = s.blob(2);
  d.name = s.text(3);
  d.publicKey = s.text(4);
  d.installation = s.text(5);
  d.state = s.text(6);
  d.lastSeen = s.real(7);
  return d;
}
}  // namespace

Expected<std::optional<Device>> SqliteStorage::deviceById(std::string_view id) {
  Statement s = statement("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE id = ?");
  if (!s.prepared()) return failure("reading a device");
  s.bind(1, id);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return std::optional<Device>(readDevice(s));
  if (rc == SQLITE_DONE) return std::optional<Device>();
  return failure("reading a device");
}

Expected<std::optional<Device>> SqliteStorage::deviceByKeyDigest(const Bytes& digest) {
  Statement s = statement("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE key_digest = ?");
  if (!s.prepared()) return failure("reading a device");
  s.bind(1, digest);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return std::optional<Device>(readDevice(s));
  if (rc == SQLITE_DONE) return std::optional<Device>();
  return failure("reading a device");
}

Expected<std::vector<Device>> SqliteStorage::devicesOf(int64_t technicianId) {
  Statement s = statement("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE technician_id = ? ORDER BY rowid");
  if (!s.prepared()) return failure("listing devices");
  s.bind(1, technicianId);
  std::vector<Device> devices;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) devices.push_back(readDevice(s));
  if (rc != SQLITE_DONE) return failure("listing devices");
  return devices;
}

Status SqliteStorage::updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                                           std::string_view installation) {
  Statement s = statement("UPDATE devices SET name = ?, public_key = ?, installation = ? WHERE id = ?");
  if (!s.prepared()) return failure("updating a device");
  s.bind(1, name).bind(2, publicKey).bind(3, installation).bind(4, id);
  if (s.step() != SQLITE_DONE) return failure("updating a device");
  return {};
}

Status SqliteStorage::updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) {
  Statement s = statement("UPDATE devices SET last_seen = ?, state = ? WHERE id = ?");
  if (!s.prepared()) return failure("updating a device");
  s.bind(1, lastSeen).bind(2, state).bind(3, id);
  if (s.step() != SQLITE_DONE) return failure("updating a device");
  return {};
}

Status SqliteStorage::removeDevice(std::string_view id) {
  return run("DELETE FROM devices WHERE id = ?", "removing a device", id);
}

// --- sessions --------------------------------------------------------------

Status SqliteStorage::addSession(const Session& x) {
  Statement s = statement(
      "INSERT INTO sessions(id, device_id, technician_id, state, browser_key, salt, created, expires, closed)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!s.prepared()) return failure("adding a session");
  s.bind(1, x.id)
      .bind(2, x.deviceId)
      .bind(3, x.technicianId)
      .bind(4, sessionStateName(x.state))
      .bind(5, x.browserKey)
      .bind(6, x.salt)
      .bind(7, x.created)
      .bind(8, x.expires)
      .bind(9, x.closed);
  const int rc = s.step();
  if (rc == SQLITE_CONSTRAINT) return makeError("Storage", 409, "a session with that id exists");
  if (rc != SQLITE_DONE) return failure("adding a session");
  return {};
}

#define KX_SESSION_COLUMNS "id, device_id, technician_id, state, browser_key, salt, created, expires, closed"

namespace {
Session readSession(const SqliteStorage::Statement& s) {
  Session x;
  x.id = s.text(0);
  x.deviceId = s.text(1);
  x.technicianId = s.integer(2);
  x.state = sessionStateFromName(s.text(3)).value_or(SessionState::ended);
  x.browserKey = s.text(4);
  x.salt = s.text(5);
  x.created = s.real(6);
  x.expires = s.real(7);
  x.closed = s.real(8);
  return x;
}
}  // namespace

Expected<std::optional<Session>> SqliteStorage::sessionById(std::string_view id) {
  Statement s = statement("SELECT " KX_SESSION_COLUMNS " FROM sessions WHERE id = ?");
  if (!s.prepared()) return failure("reading a session");
  s.bind(1, id);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return std::optional<Session>(readSession(s));
  if (rc == SQLITE_DONE) return std::optional<Session>();
  return failure("reading a session");
}

Expected<std::vector<Session>> SqliteStorage::openSessions(std::string_view deviceId) {
  Statement s = deviceId.empty()
                    ? statement("SELECT " KX_SESSION_COLUMNS
                                " FROM sessions WHERE state IN ('pending', 'approved') ORDER BY created")
                    : statement("SELECT " KX_SESSION_COLUMNS
                                " FROM sessions WHERE device_id = ? AND state IN ('pending', 'approved')"
                                " ORDER BY created");
  if (!s.prepared()) return failure("listing sessions");
  if (!deviceId.empty()) s.bind(1, deviceId);
  std::vector<Session> sessions;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) sessions.push_back(readSession(s));
  if (rc != SQLITE_DONE) return failure("listing sessions");
  return sessions;
}

Status SqliteStorage::updateSession(const Session& x) {
  Statement s = statement("UPDATE sessions SET state = ?, expires = ?, closed = ? WHERE id = ? AND closed = 0");
  if (!s.prepared()) return failure("updating a session");
  s.bind(1, sessionStateName(x.state)).bind(2, x.expires).bind(3, x.closed).bind(4, x.id);
  if (s.step() != SQLITE_DONE) return failure("updating a session");
  return {};
}

Expected<std::vector<Session>> SqliteStorage::deniedSessions(std::string_view deviceId, double since) {
  Statement s = statement("SELECT " KX_SESSION_COLUMNS
                          " FROM sessions WHERE device_id = ? AND state = 'denied' AND closed >= ?"
                          " ORDER BY closed DESC");
  if (!s.prepared()) return failure("listing denied sessions");
  s.bind(1, deviceId).bind(2, since);
  std::vector<Session> sessions;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) sessions.push_back(readSession(s));
  if (rc != SQLITE_DONE) return failure("listing denied sessions");
  return sessions;
}

// --- signals ---------------------------------------------------------------

Status SqliteStorage::appendSignals(std::string_view sessionId, Direction direction,
                                    const std::vector<std::string>& payloads) {
  return transaction([&]() -> Status {
    for (const std::string& payload : payloads) {
      Statement s = statement("INSERT INTO signals(session_id, direction, payload) VALUES(?, ?, ?)");
      if (!s.prepared()) return failure("adding a signal");
      s.bind(1, sessionId).bind(2, static_cast<int64_t>(direction)).bind(3, payload);
      if (s.step() != SQLITE_DONE) return failure("adding a signal");
    }
    return {};
  });
}

Expected<std::vector<std::string>> SqliteStorage::signals(std::string_view sessionId, Direction direction) {
  Statement s = statement("SELECT payload FROM signals WHERE session_id = ? AND direction = ? ORDER BY seq");
  if (!s.prepared()) return failure("reading signals");
  s.bind(1, sessionId).bind(2, static_cast<int64_t>(direction));
  std::vector<std::string> payloads;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) payloads.push_back(s.text(0));
  if (rc != SQLITE_DONE) return failure("reading signals");
  return payloads;
}

Status SqliteStorage::removeSignals(std::string_view sessionId) {
  Statement s = statement("DELETE FROM signals WHERE session_id = ?");
  if (!s.prepared()) return failure("removing signals");
  s.bind(1, sessionId);
  if (s.step() != SQLITE_DONE) return failure("removing signals");
  return {};
}

// --- sign-in failures -----------------------------------------------------

Status SqliteStorage::addSignInFailure(std::string_view name, std::string_view address, double at) {
  return run("INSERT INTO sign_in_failures(name, address, at) VALUES(?, ?, ?)", "recording a sign-in failure", name,
             address, at);
}

Expected<SignInFailureCount> SqliteStorage::signInFailures(std::string_view name, std::string_view address,
                                                           double since) {
  Statement s = statement(
      "SELECT (SELECT count(*) FROM sign_in_failures WHERE name = ?1 AND at > ?3),"
      " (SELECT count(*) FROM sign_in_failures WHERE address = ?2 AND at > ?3)");
  if (!s.prepared()) return failure("counting sign-in failures");
  s.bind(1, name).bind(2, address).bind(3, since);
  if (s.step() != SQLITE_ROW) return failure("counting sign-in failures");
  return SignInFailureCount{static_cast<size_t>(s.integer(0)), static_cast<size_t>(s.integer(1))};
}

Status SqliteStorage::clearSignInFailures(std::string_view name) {
  return run("DELETE FROM sign_in_failures WHERE name = ?", "clearing sign-in failures", name);
}

// --- audit -----------------------------------------------------------------

Status SqliteStorage::appendAudit(const AuditEntry& e) {
  return run(
      "INSERT INTO audit(time, event, technician_id, technician, device_id, device, session_id, address, detail)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
      "writing the audit log", e.time, e.event, e.technicianId, e.technician, e.deviceId, e.device, e.sessionId,
      e.address, e.detail);
}

Expected<std::vector<AuditEntry>> SqliteStorage::auditEntries(int64_t technicianId, size_t limit) {
  Statement s = technicianId == 0
                    ? statement(
                          "SELECT id, time, event, technician_id, technician, device_id, device, session_id,"
                          " address, detail FROM audit WHERE ?1 = 0 ORDER BY id DESC LIMIT ?2")
                    : statement(
                          "SELECT id, time, event, technician_id, technician, device_id, device, session_id,"
                          " address, detail FROM audit WHERE technician_id = ?1 ORDER BY id DESC LIMIT ?2");
  if (!s.prepared()) return failure("reading the audit log");
  s.bind(1, technicianId).bind(2, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
  std::vector<AuditEntry> entries;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    entries.push_back(AuditEntry{s.integer(0), s.real(1), s.text(2), s.integer(3), s.text(4), s.text(5), s.text(6),
                                 s.text(7), s.text(8), s.text(9)});
  }
  if (rc != SQLITE_DONE) return failure("reading the audit log");
  return entries;
}

Status SqliteStorage::purge(double now, double closedBefore, double failuresBefore) {
  return transaction([&]() -> Status {
    if (Status f = run("DELETE FROM sign_in_failures WHERE at < ?", "purging sign-in failures", failuresBefore); !f) {
      return f;
    }
    {
      Statement s = statement("DELETE FROM grants WHERE expires < ?");
      if (!s.prepared()) return failure("purging grants");
      s.bind(1, now);
      if (s.step() != SQLITE_DONE) return failure("purging grants");
    }
    Statement s = statement("DELETE FROM sessions WHERE closed > 0 AND closed < ?");
    if (!s.prepared()) return failure("purging sessions");
    s.bind(1, closedBefore);
    if (s.step() != SQLITE_DONE) return failure("purging sessions");
    return {};
  });
}

}  // namespace kx::service
