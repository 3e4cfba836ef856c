#include "service/postgres_storage.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <type_traits>
#include <utility>

#include "protocol/encoding.h"
#include "service/schema.h"

namespace kx::service {

namespace {

// Whole transactions hold this lock exclusively, scoped ones share it and
// hold their scope's own exclusively; a transaction starts and takes its
// locks in one round trip.
constexpr int64_t kWholeKey = 7042005470;  // the number in both statements below
constexpr const char* kBeginWhole = "BEGIN; SELECT pg_advisory_xact_lock(7042005470)";
constexpr const char* kBeginScoped = "BEGIN; SELECT pg_advisory_xact_lock_shared(7042005470), pg_advisory_xact_lock(";

// A scope's lock key: FNV-1a, the same in every build and process.
int64_t scopeKey(std::string_view scope) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : scope) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return static_cast<int64_t>(hash);
}
constexpr const char* kUniqueViolation = "23505";
constexpr double kPresenceBatchSeconds = 1;
constexpr double kNewsGatherSeconds = 0.02;
// What this process wrote is remembered this long: it tells news from a
// refresh, and this process reads its own while a write is under way.
constexpr double kPresenceKnownSeconds = 60;
constexpr const char* kWritePresence =
    "UPDATE devices AS d SET last_seen = v.last_seen, state = v.state"
    " FROM unnest($1::text[], $2::float8[], $3::text[]) AS v(id, last_seen, state)"
    " WHERE d.id = v.id AND v.last_seen >= d.last_seen";
constexpr size_t kMaxPresenceBatch = 2000;  // waiting refreshes written without waiting for the second
// Beyond this many cached poll answers (far more devices than a service
// has) further devices are read every time.
constexpr size_t kMaxCachedPolls = 1'000'000;
constexpr int kWarmPage = 5000;  // devices per read when the cache is filled at once
// A listening connection that dies silently is noticed within about this
// many seconds (TCP keepalives); a lost one is reopened after a second.
constexpr const char* kKeepaliveIdle = "5";
constexpr const char* kKeepaliveInterval = "1";
constexpr const char* kKeepaliveCount = "3";
constexpr int kRelistenMilliseconds = 1000;

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

std::string lastMessage(PGconn* connection, const PGresult* result) {
  std::string message = result ? PQresultErrorMessage(result) : "";
  if (message.empty()) message = PQerrorMessage(connection);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

}  // namespace

// Statement parameters, sent in binary so that lengths are exact and bytes
// need no escaping; numbers go as text, which the server parses for any type.
class PostgresStorage::Params {
 public:
  Params& text(std::string_view value) { return add(std::string(value), 1); }
  Params& blob(const Bytes& value) { return add(std::string(value.begin(), value.end()), 1); }
  Params& integer(int64_t value) { return add(std::to_string(value), 0); }
  Params& real(double value) { return add(number(value), 0); }
  // A bytea[] literal (hex elements).
  Params& blobs(const std::vector<std::string>& items) {
    std::string literal = "{";
    for (const std::string& item : items) {
      if (literal.size() > 1) literal += ',';
      literal += "\"\\\\x" + hexEncode(reinterpret_cast<const uint8_t*>(item.data()), item.size()) + '"';
    }
    return add(literal + "}", 0);
  }
  // A one-dimensional array literal of texts or numbers, for unnest().
  template <typename T>
  Params& array(const std::vector<T>& items) {
    std::string literal = "{";
    for (const T& item : items) {
      if (literal.size() > 1) literal += ',';
      if constexpr (std::is_same_v<T, double>) {
        literal += number(item);
      } else {
        literal += '"';
        for (char c : item) {
          if (c == '"' || c == '\\') literal += '\\';
          literal += c;
        }
        literal += '"';
      }
    }
    return add(literal + "}", 0);
  }

  static std::string number(double value) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
  }

  int size() const { return static_cast<int>(values_.size()); }
  // Pointers stay valid while this object is unchanged.
  std::vector<const char*> pointers() const {
    std::vector<const char*> p;
    for (const std::string& v : values_) p.push_back(v.c_str());
    return p;
  }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& add(std::string value, int format) {
    lengths_.push_back(static_cast<int>(value.size()));
    formats_.push_back(format);
    values_.push_back(std::move(value));
    return *this;
  }
  std::vector<std::string> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// The rows of a result, read as text.
class PostgresStorage::Rows {
 public:
  explicit Rows(ResultPtr result) : result_(std::move(result)) {}
  int count() const { return PQntuples(result_.get()); }
  // Rows changed by an INSERT, UPDATE or DELETE.
  int64_t changed() const { return std::atoll(PQcmdTuples(result_.get())); }

  std::string text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<size_t>(PQgetlength(result_.get(), row, column)));
  }
  int64_t integer(int row, int column) const { return std::atoll(PQgetvalue(result_.get(), row, column)); }
  double real(int row, int column) const {
    const char* p = PQgetvalue(result_.get(), row, column);
    double value = 0;
    std::from_chars(p, p + std::strlen(p), value);
    return value;
  }
  bool null(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  Bytes blob(int row, int column) const {
    size_t length = 0;
    unsigned char* bytes =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, column)), &length);
    if (!bytes) return {};
    Bytes value(bytes, bytes + length);
    PQfreemem(bytes);
    return value;
  }

 private:
  ResultPtr result_;
};

// One connection with the statements prepared on it.
struct PostgresStorage::Link {
  PGconn* connection = nullptr;
  std::map<const char*, std::string> prepared;  // by the address of the static SQL text
  int depth = 0;                                 // transactions open on it
  std::vector<std::string> forgetAtEnd;          // cached polls its transaction changed

  ~Link() { PQfinish(connection); }

  bool reconnectIfLost() {
    if (PQstatus(connection) == CONNECTION_OK) return true;
    // Within a transaction its earlier writes are gone with the connection.
    if (depth > 0) return false;
    PQreset(connection);
    prepared.clear();
    return PQstatus(connection) == CONNECTION_OK;
  }
};

thread_local std::vector<std::pair<const PostgresStorage*, PostgresStorage::Link*>> PostgresStorage::bound_;

// A connection for one call: the thread's transaction's own, or one from the
// pool (waiting while all are busy), given back at the end.
class PostgresStorage::Lease {
 public:
  explicit Lease(PostgresStorage& storage) : storage_(storage) {
    link_ = storage.boundLink();
    if (link_) return;
    std::unique_lock lock(storage.poolMutex_);
    storage.linkFree_.wait(lock, [&] { return !storage.idle_.empty() || storage.links_.size() < storage.maxLinks_; });
    if (!storage.idle_.empty()) {
      link_ = storage.idle_.back();
      storage.idle_.pop_back();
    } else {
      storage.links_.push_back(std::make_unique<Link>());
      link_ = storage.links_.back().get();
      lock.unlock();
      link_->connection = PQconnectdb(storage.uri_.c_str());
      // Notices ("relation exists, skipping") are not failures and not news.
      if (link_->connection) PQsetNoticeProcessor(link_->connection, [](void*, const char*) {}, nullptr);
    }
    pooled_ = true;
  }
  ~Lease() {
    if (!pooled_) return;
    {
      std::lock_guard lock(storage_.poolMutex_);
      storage_.idle_.push_back(link_);
    }
    storage_.linkFree_.notify_one();
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Link& link() { return *link_; }
  bool connected() const { return link_->connection && PQstatus(link_->connection) == CONNECTION_OK; }
  // Calls on this thread use this link until unbind().
  void bind() { bound_.emplace_back(&storage_, link_); }
  void unbind() {
    std::erase_if(bound_, [&](const auto& entry) { return entry.first == &storage_; });
  }

 private:
  PostgresStorage& storage_;
  Link* link_ = nullptr;
  bool pooled_ = false;
};

Expected<std::unique_ptr<PostgresStorage>> PostgresStorage::open(const std::string& uri, size_t connections) {
  std::unique_ptr<PostgresStorage> storage(new PostgresStorage(uri, std::max<size_t>(1, connections)));
  {
    Lease lease(*storage);
    if (!lease.link().connection) return makeError("Storage", 1, "out of memory connecting to PostgreSQL");
    if (!lease.connected()) {
      return makeError("Storage", 1, "cannot connect to PostgreSQL: " + lastMessage(lease.link().connection, nullptr));
    }
  }
  if (Status s = storage->migrate(); !s) return std::move(s).error();
  return storage;
}

PostgresStorage::PostgresStorage(std::string uri, size_t connections) : uri_(std::move(uri)), maxLinks_(connections) {}

PostgresStorage::~PostgresStorage() {
  {
    std::lock_guard lock(presenceMutex_);
    stopFlusher_ = true;
  }
  flusherWake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  if (listener_.joinable()) {
    const uint64_t one = 1;
    (void)::write(stopListener_, &one, sizeof one);
    listener_.join();
  }
  if (stopListener_ >= 0) ::close(stopListener_);
  (void)flushPresence();
}

void PostgresStorage::listen() {
  const char* keys[] = {"dbname", "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", nullptr};
  const char* values[] = {uri_.c_str(), "1", kKeepaliveIdle, kKeepaliveInterval, kKeepaliveCount, nullptr};
  for (;;) {
    PGconn* connection = PQconnectdbParams(keys, values, 1);
    ResultPtr result(PQstatus(connection) == CONNECTION_OK ? PQexec(connection, "LISTEN kx_poll") : nullptr);
    const bool listening = result && PQresultStatus(result.get()) == PGRES_COMMAND_OK;
    result.reset();
    {
      // Only reads that start from now on are sure to hear of later changes.
      std::lock_guard lock(cacheMutex_);
      listening_ = listening;
      listenAttempted_ = true;
    }
    listenAttempt_.notify_all();
    const auto heard = [&] {
      if (!PQconsumeInput(connection) || PQstatus(connection) != CONNECTION_OK) return false;
      while (PGnotify* note = PQnotifies(connection)) {
        // An empty payload is not a device id and would drop everything: harmless.
        forget(note->extra);
        PQfreemem(note);
      }
      return true;
    };
    if (listening) warmCache(heard);
    bool stop = false;
    while (listening && !stop) {
      pollfd fds[2] = {{PQsocket(connection), POLLIN, 0}, {stopListener_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      stop = fds[1].revents != 0;
      if (fds[0].revents != 0 && !heard()) break;
    }
    PQfinish(connection);
    {
      // Announcements may have been missed: nothing cached may be trusted.
      std::lock_guard lock(cacheMutex_);
      listening_ = false;
      cache_.clear();
    }
    pollfd wake = {stopListener_, POLLIN, 0};
    if (stop || ::poll(&wake, 1, kRelistenMilliseconds) > 0) return;
  }
}

void PostgresStorage::forget(std::string_view id) {
  std::lock_guard lock(cacheMutex_);
  if (id.empty()) {
    cache_.clear();
  } else {
    cache_.erase(std::string(id));
  }
}

PostgresStorage::Link* PostgresStorage::boundLink() const {
  for (auto& [owner, link] : bound_) {
    if (owner == this) return link;
  }
  return nullptr;
}

void PostgresStorage::forgetAfterCommit(std::string_view id) {
  if (Link* link = boundLink()) {
    link->forgetAtEnd.emplace_back(id);
  } else {
    forget(id);
  }
}

Status PostgresStorage::exec(Link& link, const char* sql) {
  if (!link.reconnectIfLost()) return makeError("Storage", 1, "lost the PostgreSQL connection");
  ResultPtr result(PQexec(link.connection, sql));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return makeError("Storage", 1, lastMessage(link.connection, result.get()));
  }
  return {};
}

Expected<PostgresStorage::Rows> PostgresStorage::run(const char* sql, const Params& params, std::string_view what) {
  Lease lease(*this);
  return run(lease.link(), sql, params, what);
}

Expected<PostgresStorage::Rows> PostgresStorage::run(Link& link, const char* sql, const Params& params,
                                                     std::string_view what) {
  // One retry covers a connection the server dropped since the last call.
  for (int attempt = 0;; ++attempt) {
    if (!link.reconnectIfLost()) {
      return makeError("Storage", 1, std::string(what) + ": lost the PostgreSQL connection");
    }
    PGconn* connection = link.connection;
    auto known = link.prepared.find(sql);
    if (known == link.prepared.end()) {
      std::string name = "kx" + std::to_string(link.prepared.size());
      ResultPtr prepared(PQprepare(connection, name.c_str(), sql, 0, nullptr));
      if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
        if (attempt == 0 && PQstatus(connection) != CONNECTION_OK) continue;
        return makeError("Storage", 1, std::string(what) + ": " + lastMessage(connection, prepared.get()));
      }
      known = link.prepared.emplace(sql, std::move(name)).first;
    }
    const std::vector<const char*> values = params.pointers();
    ResultPtr result(PQexecPrepared(connection, known->second.c_str(), params.size(), values.data(),
                                    params.lengths(), params.formats(), 0));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Rows(std::move(result));
    if (attempt == 0 && PQstatus(connection) != CONNECTION_OK) continue;
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const bool duplicate = state && std::strcmp(state, kUniqueViolation) == 0;
    return makeError("Storage", duplicate ? 409 : 1, std::string(what) + ": " + lastMessage(connection, result.get()));
  }
}

Status PostgresStorage::change(const char* sql, const Params& params, std::string_view what) {
  auto rows = run(sql, params, what);
  if (!rows) return std::move(rows).error();
  return {};
}

Status PostgresStorage::migrate() {
  // Replicas starting together wait for each other on the whole lock.
  return transaction([&]() -> Status {
    Lease lease(*this);
    Link& link = lease.link();
    if (Status s = exec(link, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)"); !s) return s;
    auto rows = run(link, "SELECT version FROM schema_version", Params(), "reading the schema version");
    if (!rows) return std::move(rows).error();
    int version = rows->count() > 0 ? static_cast<int>(rows->integer(0, 0)) : 0;
    if (rows->count() == 0) {
      if (Status s = exec(link, "INSERT INTO schema_version VALUES(0)"); !s) return s;
    }
    if (version > currentSchemaVersion()) {
      return makeError("Storage", 1,
                       "the database has schema version " + std::to_string(version) +
                           ", newer than this program's " + std::to_string(currentSchemaVersion()));
    }
    for (; version < currentSchemaVersion(); ++version) {
      if (Status s = exec(link, schemaMigrations()[static_cast<size_t>(version)].postgres); !s) return s;
    }
    const std::string bump = "UPDATE schema_version SET version = " + std::to_string(version);
    return exec(link, bump.c_str());
  });
}

Status PostgresStorage::transaction(const std::function<Status()>& body) { return transact({}, true, body); }

Status PostgresStorage::transactionOn(std::string_view scope, const std::function<Status()>& body) {
  return transact(scope, false, body);
}

Status PostgresStorage::transact(std::string_view scope, bool whole, const std::function<Status()>& body) {
  Lease lease(*this);
  Link& link = lease.link();
  const bool outer = link.depth == 0;
  if (outer) {
    const std::string begin = whole ? kBeginWhole : kBeginScoped + std::to_string(scopeKey(scope)) + ")";
    if (Status locked = exec(link, begin.c_str()); !locked) {
      (void)exec(link, "ROLLBACK");
      return locked;
    }
    lease.bind();
  } else if (Status s = exec(link, "SAVEPOINT nested"); !s) {
    return s;
  }
  ++link.depth;
  Status result = body();
  --link.depth;
  const char* undo = outer ? "ROLLBACK" : "ROLLBACK TO nested; RELEASE nested";
  if (result) {
    if (Status s = exec(link, outer ? "COMMIT" : "RELEASE nested"); !s) result = std::move(s);
  }
  if (!result) (void)exec(link, undo);
  if (outer) {
    lease.unbind();
    // After the commit, so that no read of the old rows can fill the cache again.
    for (const std::string& id : link.forgetAtEnd) forget(id);
    link.forgetAtEnd.clear();
  }
  return result;
}

// --- technicians -----------------------------------------------------------

Expected<int64_t> PostgresStorage::addTechnician(std::string_view name, std::string_view passwordHash) {
  auto rows = run("INSERT INTO technicians(name, password_hash) VALUES($1, $2) RETURNING id",
                  Params().text(name).text(passwordHash), "adding a technician");
  if (!rows && rows.error().code == 409) return makeError("Storage", 409, "a technician with that name exists");
  if (!rows) return std::move(rows).error();
  return rows->integer(0, 0);
}

namespace {
template <typename Rows>
std::optional<Technician> readTechnician(const Rows& rows) {
  if (rows.count() == 0) return std::nullopt;
  return Technician{rows.integer(0, 0), rows.text(0, 1), rows.text(0, 2)};
}
}  // namespace

Expected<std::optional<Technician>> PostgresStorage::technicianByName(std::string_view name) {
  auto rows = run("SELECT id, name, password_hash FROM technicians WHERE name = $1", Params().text(name),
                  "reading a technician");
  if (!rows) return std::move(rows).error();
  return readTechnician(*rows);
}

Expected<std::optional<Technician>> PostgresStorage::technicianById(int64_t id) {
  auto rows = run("SELECT id, name, password_hash FROM technicians WHERE id = $1", Params().integer(id),
                  "reading a technician");
  if (!rows) return std::move(rows).error();
  return readTechnician(*rows);
}

Status PostgresStorage::removeTechnician(int64_t id) {
  Status removed = change("DELETE FROM technicians WHERE id = $1", Params().integer(id), "removing a technician");
  forgetAfterCommit("");  // their devices went with them
  return removed;
}

// --- grants ----------------------------------------------------------------

Status PostgresStorage::addGrant(const Grant& grant) {
  auto rows = run("INSERT INTO grants(digest, kind, technician_id, challenge, expires) VALUES($1, $2, $3, $4, $5)",
                  Params()
                      .blob(grant.digest)
                      .integer(static_cast<int64_t>(grant.kind))
                      .integer(grant.technicianId)
                      .text(grant.challenge)
                      .real(grant.expires),
                  "adding a grant");
  if (!rows) return std::move(rows).error();
  return {};
}

Expected<std::optional<Grant>> PostgresStorage::findGrant(GrantKind kind, const Bytes& digest) {
  auto rows = run("SELECT technician_id, challenge, expires FROM grants WHERE kind = $1 AND digest = $2",
                  Params().integer(static_cast<int64_t>(kind)).blob(digest), "reading a grant");
  if (!rows) return std::move(rows).error();
  if (rows->count() == 0) return std::optional<Grant>();
  return std::optional<Grant>(Grant{digest, kind, rows->integer(0, 0), rows->text(0, 1), rows->real(0, 2)});
}

Expected<std::optional<Storage::HeldGrant>> PostgresStorage::grantWithHolder(GrantKind kind, const Bytes& digest) {
  auto rows = run(
      "SELECT g.technician_id, g.challenge, g.expires, t.name, t.password_hash"
      " FROM grants AS g JOIN technicians AS t ON t.id = g.technician_id WHERE g.kind = $1 AND g.digest = $2",
      Params().integer(static_cast<int64_t>(kind)).blob(digest), "reading a grant");
  if (!rows) return std::move(rows).error();
  if (rows->count() == 0) return std::optional<HeldGrant>();
  const int64_t technician = rows->integer(0, 0);
  return std::optional<HeldGrant>(HeldGrant{Grant{digest, kind, technician, rows->text(0, 1), rows->real(0, 2)},
                                            Technician{technician, rows->text(0, 3), rows->text(0, 4)}});
}

Expected<bool> PostgresStorage::removeGrant(GrantKind kind, const Bytes& digest) {
  auto rows = run("DELETE FROM grants WHERE kind = $1 AND digest = $2",
                  Params().integer(static_cast<int64_t>(kind)).blob(digest), "removing a grant");
  if (!rows) return std::move(rows).error();
  return rows->changed() > 0;
}

Expected<size_t> PostgresStorage::liveGrantCount(GrantKind kind, int64_t technicianId, double now) {
  auto rows = run("SELECT count(*) FROM grants WHERE kind = $1 AND technician_id = $2 AND expires > $3",
                  Params().integer(static_cast<int64_t>(kind)).integer(technicianId).real(now), "counting grants");
  if (!rows) return std::move(rows).error();
  return static_cast<size_t>(rows->integer(0, 0));
}

// --- devices ---------------------------------------------------------------

Status PostgresStorage::addDevice(const Device& d) {
  auto rows = run(
      "INSERT INTO devices(id, technician_id, key_digest, name, public_key, installation, state, last_seen)"
      " VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
      Params()
          .text(d.id)
          .integer(d.technicianId)
          .blob(d.keyDigest)
          .text(d.name)
          .text(d.publicKey)
          .text(d.installation)
          .text(d.state)
          .real(d.lastSeen),
      "adding a device");
  if (!rows) return std::move(rows).error();
  return {};
}

#define KX_DEVICE_COLUMNS "id, technician_id, key_digest, name, public_key, installation, state, last_seen"

namespace {
template <typename Rows>
Device readDevice(const Rows& rows, int row) {
  Device d;
  d.id = rows.text(row, 0);
  d.technicianId = rows.integer(row, 1);
  d.keyDigest = rows.blob(row, 2);
  d.name = rows.text(row, 3);
  d.publicKey = rows.text(row, 4);
  d.installation = rows.text(row, 5);
  d.state = rows.text(row, 6);
  d.lastSeen = rows.real(row, 7);
  return d;
}
}  // namespace

Expected<std::optional<Device>> PostgresStorage::deviceById(std::string_view id) {
  auto rows = run("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE id = $1", Params().text(id), "reading a device");
  if (!rows) return std::move(rows).error();
  if (rows->count() == 0) return std::optional<Device>();
  Device device = readDevice(*rows, 0);
  withOwnPresence(device);
  return std::optional<Device>(std::move(device));
}

Expected<std::optional<Storage::PolledDevice>> PostgresStorage::deviceForPoll(std::string_view id) {
  std::call_once(listenerStarted_, [this] {
    stopListener_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopListener_ < 0) return;
    listener_ = std::thread([this] { listen(); });
    // The first poll waits for the first attempt: from then on polls are cached.
    std::unique_lock lock(cacheMutex_);
    listenAttempt_.wait(lock, [&] { return listenAttempted_; });
  });
  const std::string key(id);
  uint64_t ticket = 0;
  {
    std::lock_guard lock(cacheMutex_);
    if (listening_ && (cache_.size() < kMaxCachedPolls || cache_.contains(key))) {
      auto [entry, added] = cache_.try_emplace(key);
      if (!added && entry->second.ticket == 0) return std::optional<PolledDevice>(*entry->second.polled);
      if (added) entry->second.ticket = ++tickets_;
      ticket = entry->second.ticket;
    }
  }
  // The placeholder is in place before the read: a change announced after
  // it drops the placeholder, and then this read is not kept.
  auto rows = run("SELECT " KX_DEVICE_COLUMNS ", EXISTS(SELECT 1 FROM sessions WHERE device_id = $1"
                  " AND state IN ('pending', 'approved')) FROM devices WHERE id = $1",
                  Params().text(id), "reading a device");
  std::optional<PolledDevice> polled;
  if (rows && rows->count() > 0) {
    polled.emplace(PolledDevice{readDevice(*rows, 0), rows->text(0, 8) == "t"});
    withOwnPresence(polled->device);
  }
  if (ticket != 0) {
    std::lock_guard lock(cacheMutex_);
    auto entry = cache_.find(key);
    if (entry != cache_.end() && entry->second.ticket == ticket) {
      if (polled) {
        entry->second = CachedPoll{0, std::make_shared<const PolledDevice>(*polled)};
      } else {
        cache_.erase(entry);  // unknown devices and failed reads are not cached
      }
    }
  }
  if (!rows) return std::move(rows).error();
  return polled;
}

void PostgresStorage::warmCache(const std::function<bool()>& heard) {
  for (std::string after;;) {
    auto rows = run("SELECT " KX_DEVICE_COLUMNS ", EXISTS(SELECT 1 FROM sessions WHERE device_id = devices.id"
                    " AND state IN ('pending', 'approved')) FROM devices WHERE id > $1 ORDER BY id LIMIT $2",
                    Params().text(after).integer(kWarmPage), "reading devices");
    if (!rows || rows->count() == 0) return;
    std::unique_lock lock(cacheMutex_);
    if (!listening_) return;
    for (int i = 0; i < rows->count(); ++i) {
      if (cache_.size() >= kMaxCachedPolls) return;  // later devices are read by their polls
      PolledDevice polled{readDevice(*rows, i), rows->text(i, 8) == "t"};
      after = polled.device.id;
      // A poll's own read, or its placeholder, is newer than this one.
      cache_.try_emplace(after, CachedPoll{0, std::make_shared<const PolledDevice>(std::move(polled))});
    }
    lock.unlock();
    pollfd stop = {stopListener_, POLLIN, 0};
    if (!heard() || ::poll(&stop, 1, 0) > 0 || rows->count() < kWarmPage) return;
  }
}

std::shared_ptr<const Storage::PolledDevice> PostgresStorage::cachedPoll(std::string_view id) {
  std::lock_guard lock(cacheMutex_);
  auto entry = cache_.find(id);
  if (entry == cache_.end() || entry->second.ticket != 0) return nullptr;
  return entry->second.polled;
}

Expected<std::optional<Device>> PostgresStorage::deviceByKeyDigest(const Bytes& digest) {
  auto rows = run("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE key_digest = $1", Params().blob(digest),
                  "reading a device");
  if (!rows) return std::move(rows).error();
  if (rows->count() == 0) return std::optional<Device>();
  Device device = readDevice(*rows, 0);
  withOwnPresence(device);
  return std::optional<Device>(std::move(device));
}

Expected<std::vector<Device>> PostgresStorage::devicesOf(int64_t technicianId) {
  auto rows = run("SELECT " KX_DEVICE_COLUMNS " FROM devices WHERE technician_id = $1 ORDER BY enrolled",
                  Params().integer(technicianId), "listing devices");
  if (!rows) return std::move(rows).error();
  std::vector<Device> devices;
  for (int i = 0; i < rows->count(); ++i) {
    devices.push_back(readDevice(*rows, i));
    withOwnPresence(devices.back());
  }
  return devices;
}

Status PostgresStorage::updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                                             std::string_view installation) {
  auto rows = run("UPDATE devices SET name = $1, public_key = $2, installation = $3 WHERE id = $4",
                  Params().text(name).text(publicKey).text(installation).text(id), "updating a device");
  forgetAfterCommit(id);
  if (!rows) return std::move(rows).error();
  return {};
}

void PostgresStorage::followInCache(const std::string& id, double lastSeen, std::string_view state) {
  // Presence is not part of the cached answer's validity, but the cached
  // copy follows this process's own writes so it knows when the next is due.
  std::lock_guard lock(cacheMutex_);
  auto entry = cache_.find(id);
  if (entry != cache_.end() && entry->second.ticket == 0 && lastSeen >= entry->second.polled->device.lastSeen) {
    auto polled = std::make_shared<PolledDevice>(*entry->second.polled);
    polled->device.lastSeen = lastSeen;
    polled->device.state = state;
    entry->second.polled = std::move(polled);
  }
}

Status PostgresStorage::updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) {
  std::call_once(flusherStarted_, [this] { flusher_ = std::thread([this] { flushBehind(); }); });
  const std::string key(id);
  followInCache(key, lastSeen, state);
  bool now = false;
  {
    std::lock_guard lock(presenceMutex_);
    auto known = written_.find(key);
    const bool news = known == written_.end() || known->second.state != state || lastSeen < known->second.lastSeen;
    written_.insert_or_assign(key, Presence{lastSeen, std::string(state)});
    presence_.insert_or_assign(key, Presence{lastSeen, std::string(state)});
    now = news || presence_.size() >= kMaxPresenceBatch;
    flushNow_ = flushNow_ || now;
  }
  if (now) flusherWake_.notify_one();
  return {};
}

void PostgresStorage::flushBehind() {
  std::unique_lock lock(presenceMutex_);
  while (!stopFlusher_) {
    flusherWake_.wait_for(lock, std::chrono::duration<double>(kPresenceBatchSeconds),
                          [this] { return stopFlusher_ || flushNow_; });
    // News waits a moment for the news of other polls, a burst of them most of all.
    if (flushNow_) {
      flusherWake_.wait_for(lock, std::chrono::duration<double>(kNewsGatherSeconds), [this] { return stopFlusher_; });
    }
    flushNow_ = false;
    lock.unlock();
    (void)flushPresence();
    lock.lock();
  }
}

Status PostgresStorage::flushPresence() {
  std::unordered_map<std::string, Presence> batch;
  {
    // Soft state: a batch that cannot be written is dropped, not retried forever.
    std::lock_guard lock(presenceMutex_);
    batch.swap(presence_);
  }
  if (batch.empty()) return {};
  std::vector<std::string> ids, states;
  std::vector<double> times;
  for (auto& [id, p] : batch) {
    ids.push_back(id);
    times.push_back(p.lastSeen);
    states.push_back(p.state);
  }
  // Another replica may have written a newer poll of the same Mac.
  return change(kWritePresence, Params().array(ids).array(times).array(states), "writing presence");
}

void PostgresStorage::withOwnPresence(Device& device) const {
  std::lock_guard lock(presenceMutex_);
  // What this process wrote or queued: a flush in flight is in neither the database nor presence_.
  auto own = written_.find(device.id);
  if (own == written_.end() || own->second.lastSeen < device.lastSeen) return;
  device.lastSeen = own->second.lastSeen;
  device.state = own->second.state;
}

Status PostgresStorage::removeDevice(std::string_view id) {
  {
    std::lock_guard lock(presenceMutex_);
    presence_.erase(std::string(id));
    written_.erase(std::string(id));
  }
  Status removed = change("DELETE FROM devices WHERE id = $1", Params().text(id), "removing a device");
  forgetAfterCommit(id);
  return removed;
}

// --- sessions --------------------------------------------------------------

Status PostgresStorage::addSession(const Session& x) {
  auto rows = run(
      "INSERT INTO sessions(id, device_id, technician_id, state, browser_key, salt, created, expires, closed)"
      " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
      Params()
          .text(x.id)
          .text(x.deviceId)
          .integer(x.technicianId)
          .text(sessionStateName(x.state))
          .text(x.browserKey)
          .text(x.salt)
          .real(x.created)
          .real(x.expires)
          .real(x.closed),
      "adding a session");
  forgetAfterCommit(x.deviceId);
  if (!rows && rows.error().code == 409) return makeError("Storage", 409, "a session with that id exists");
  if (!rows) return std::move(rows).error();
  return {};
}

#define KX_SESSION_COLUMNS "id, device_id, technician_id, state, browser_key, salt, created, expires, closed"

namespace {
template <typename Rows>
Session readSession(const Rows& rows, int row) {
  Session x;
  x.id = rows.text(row, 0);
  x.deviceId = rows.text(row, 1);
  x.technicianId = rows.integer(row, 2);
  x.state = sessionStateFromName(rows.text(row, 3)).value_or(SessionState::ended);
  x.browserKey = rows.text(row, 4);
  x.salt = rows.text(row, 5);
  x.created = rows.real(row, 6);
  x.expires = rows.real(row, 7);
  x.closed = rows.real(row, 8);
  return x;
}
}  // namespace

Expected<std::optional<Session>> PostgresStorage::sessionById(std::string_view id) {
  auto rows = run("SELECT " KX_SESSION_COLUMNS " FROM sessions WHERE id = $1", Params().text(id),
                  "reading a session");
  if (!rows) return std::move(rows).error();
  if (rows->count() == 0) return std::optional<Session>();
  return std::optional<Session>(readSession(*rows, 0));
}

Expected<std::vector<Session>> PostgresStorage::openSessions(std::string_view deviceId) {
  auto rows = deviceId.empty()
                  ? run("SELECT " KX_SESSION_COLUMNS
                        " FROM sessions WHERE state IN ('pending', 'approved') ORDER BY created",
                        Params(), "listing sessions")
                  : run("SELECT " KX_SESSION_COLUMNS
                        " FROM sessions WHERE device_id = $1 AND state IN ('pending', 'approved') ORDER BY created",
                        Params().text(deviceId), "listing sessions");
  if (!rows) return std::move(rows).error();
  std::vector<Session> sessions;
  for (int i = 0; i < rows->count(); ++i) sessions.push_back(readSession(*rows, i));
  return sessions;
}

Expected<std::vector<Storage::PolledSession>> PostgresStorage::openSessionsForPoll(std::string_view deviceId) {
  // A row per signal, or one without when there are none.
  auto rows = run("SELECT " KX_SESSION_COLUMNS ","
                  " coalesce((SELECT name FROM technicians WHERE technicians.id = technician_id), ''), payload"
                  " FROM sessions LEFT JOIN signals ON session_id = id AND direction = $2 AND state = 'approved'"
                  " WHERE device_id = $1 AND state IN ('pending', 'approved') ORDER BY created, id, seq",
                  Params().text(deviceId).integer(static_cast<int64_t>(Direction::toDevice)), "reading a poll's sessions");
  if (!rows) return std::move(rows).error();
  std::vector<PolledSession> polled;
  for (int i = 0; i < rows->count(); ++i) {
    if (polled.empty() || polled.back().session.id != rows->text(i, 0)) {
      polled.push_back(PolledSession{readSession(*rows, i), rows->text(i, 9), {}});
    }
    if (rows->null(i, 10)) continue;
    const Bytes payload = rows->blob(i, 10);
    polled.back().signals.emplace_back(payload.begin(), payload.end());
  }
  return polled;
}

Status PostgresStorage::updateSession(const Session& x) {
  auto rows = run("UPDATE sessions SET state = $1, expires = $2, closed = $3 WHERE id = $4 AND closed = 0",
                  Params().text(sessionStateName(x.state)).real(x.expires).real(x.closed).text(x.id),
                  "updating a session");
  forgetAfterCommit(x.deviceId);
  if (!rows) return std::move(rows).error();
  return {};
}

Expected<std::vector<Session>> PostgresStorage::deniedSessions(std::string_view deviceId, double since) {
  auto rows = run("SELECT " KX_SESSION_COLUMNS
                  " FROM sessions WHERE device_id = $1 AND state = 'denied' AND closed >= $2 ORDER BY closed DESC",
                  Params().text(deviceId).real(since), "listing denied sessions");
  if (!rows) return std::move(rows).error();
  std::vector<Session> sessions;
  for (int i = 0; i < rows->count(); ++i) sessions.push_back(readSession(*rows, i));
  return sessions;
}

// --- signals ---------------------------------------------------------------

Status PostgresStorage::appendSignals(std::string_view sessionId, Direction direction,
                                      const std::vector<std::string>& payloads) {
  auto append = [&](const std::string& payload) {
    return change("INSERT INTO signals(session_id, direction, payload) VALUES($1, $2, $3)",
                  Params().text(sessionId).integer(static_cast<int64_t>(direction)).text(payload), "adding a signal");
  };
  // One statement is atomic on its own: the usual single signal needs no savepoint.
  if (payloads.size() == 1) return append(payloads.front());
  return transaction([&]() -> Status {
    for (const std::string& payload : payloads) {
      if (Status s = append(payload); !s) return s;
    }
    return {};
  });
}

Expected<Storage::NewSignals> PostgresStorage::appendNewSignals(std::string_view sessionId, Direction direction,
                                                                const std::vector<std::string>& payloads,
                                                                size_t maxCount, size_t maxBytes) {
  // The schema's function takes the same locks as transactionOn("session:…").
  auto rows = run("SELECT append_new_signals($1, $2, $3, $4, $5::bytea[], $6, $7)",
                  Params()
                      .integer(kWholeKey)
                      .integer(scopeKey("session:" + std::string(sessionId)))
                      .text(sessionId)
                      .integer(static_cast<int64_t>(direction))
                      .blobs(payloads)
                      .integer(static_cast<int64_t>(maxCount))
                      .integer(static_cast<int64_t>(maxBytes)),
                  "adding signals");
  if (!rows) return std::move(rows).error();
  switch (rows->integer(0, 0)) {
    case 2: return NewSignals{SignalsAppended::tooMany, false};
    case 3: return NewSignals{SignalsAppended::tooLarge, false};
    default: return NewSignals{SignalsAppended::appended, rows->integer(0, 0) == 1};
  }
}

Expected<std::vector<std::string>> PostgresStorage::signals(std::string_view sessionId, Direction direction) {
  auto rows = run("SELECT payload FROM signals WHERE session_id = $1 AND direction = $2 ORDER BY seq",
                  Params().text(sessionId).integer(static_cast<int64_t>(direction)), "reading signals");
  if (!rows) return std::move(rows).error();
  std::vector<std::string> payloads;
  for (int i = 0; i < rows->count(); ++i) {
    const Bytes bytes = rows->blob(i, 0);
    payloads.emplace_back(bytes.begin(), bytes.end());
  }
  return payloads;
}

Status PostgresStorage::removeSignals(std::string_view sessionId) {
  auto rows = run("DELETE FROM signals WHERE session_id = $1", Params().text(sessionId), "removing signals");
  if (!rows) return std::move(rows).error();
  return {};
}

// --- sign-in failures -----------------------------------------------------

Status PostgresStorage::addSignInFailure(std::string_view name, std::string_view address, double at) {
  return change("INSERT INTO sign_in_failures(name, address, at) VALUES($1, $2, $3)",
                Params().text(name).text(address).real(at), "recording a sign-in failure");
}

Expected<SignInFailureCount> PostgresStorage::signInFailures(std::string_view name, std::string_view address,
                                                             double since) {
  auto rows = run(
      "SELECT (SELECT count(*) FROM sign_in_failures WHERE name = $1 AND at > $3),"
      " (SELECT count(*) FROM sign_in_failures WHERE address = $2 AND at > $3)",
      Params().text(name).text(address).real(since), "counting sign-in failures");
  if (!rows) return std::move(rows).error();
  return SignInFailureCount{static_cast<size_t>(rows->integer(0, 0)), static_cast<size_t>(rows->integer(0, 1))};
}

Status PostgresStorage::clearSignInFailures(std::string_view name) {
  return change("DELETE FROM sign_in_failures WHERE name = $1", Params().text(name), "clearing sign-in failures");
}

// --- audit -----------------------------------------------------------------

Status PostgresStorage::appendAudit(const AuditEntry& e) {
  return change(
      "INSERT INTO audit(time, event, technician_id, technician, device_id, device, session_id, address, detail)"
      " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
      Params()
          .real(e.time)
          .text(e.event)
          .integer(e.technicianId)
          .text(e.technician)
          .text(e.deviceId)
          .text(e.device)
          .text(e.sessionId)
          .text(e.address)
          .text(e.detail),
      "writing the audit log");
}

Expected<std::vector<AuditEntry>> PostgresStorage::auditEntries(int64_t technicianId, size_t limit) {
  const Params params =
      Params().integer(technicianId).integer(static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
  auto rows = technicianId == 0
                  ? run("SELECT id, time, event, technician_id, technician, device_id, device, session_id,"
                        " address, detail FROM audit WHERE $1::bigint = 0 ORDER BY id DESC LIMIT $2",
                        params, "reading the audit log")
                  : run("SELECT id, time, event, technician_id, technician, device_id, device, session_id,"
                        " address, detail FROM audit WHERE technician_id = $1 ORDER BY id DESC LIMIT $2",
                        params, "reading the audit log");
  if (!rows) return std::move(rows).error();
  std::vector<AuditEntry> entries;
  for (int i = 0; i < rows->count(); ++i) {
    entries.push_back(AuditEntry{rows->integer(i, 0), rows->real(i, 1), rows->text(i, 2), rows->integer(i, 3),
                                 rows->text(i, 4), rows->text(i, 5), rows->text(i, 6), rows->text(i, 7),
                                 rows->text(i, 8), rows->text(i, 9)});
  }
  return entries;
}

Status PostgresStorage::purge(double now, double closedBefore, double failuresBefore) {
  if (Status s = flushPresence(); !s) return s;
  {
    std::lock_guard lock(presenceMutex_);
    std::erase_if(written_, [&](const auto& entry) { return now - entry.second.lastSeen > kPresenceKnownSeconds; });
  }
  return transaction([&]() -> Status {
    if (Status s = change("DELETE FROM sign_in_failures WHERE at < $1", Params().real(failuresBefore),
                          "purging sign-in failures");
        !s) {
      return s;
    }
    if (auto rows = run("DELETE FROM grants WHERE expires < $1", Params().real(now), "purging grants"); !rows) {
      return std::move(rows).error();
    }
    auto rows = run("DELETE FROM sessions WHERE closed > 0 AND closed < $1", Params().real(closedBefore),
                    "purging sessions");
    if (!rows) return std::move(rows).error();
    return {};
  });
}

}  // namespace kx::service
