// The service's storage in a PostgreSQL database that any number of service
// processes share: a small pool of libpq connections per process (calls from
// several threads run at once, each on its own), prepared statements, and the
// schema moved forward by the migrations every backend shares.
//
// A whole transaction takes one advisory lock exclusively, so it excludes
// every other transaction in every process, as SQLite's single writer does;
// a scoped one (transactionOn) takes that lock shared and one for its scope
// exclusively, so transactions on different things run side by side. Single
// statements outside transactions are atomic on their own. A lost connection
// is re-established on its next use outside a transaction.
//
// Presence (a Mac's last poll and state) is written behind by a flusher
// thread, in one statement for every poll that came meanwhile: news (the
// first this process sees of a Mac, or a changed state) within tens of
// milliseconds, so other replicas soon know a Mac is there; refreshes
// within a second, or at purge() or close. This process reads its own at
// once. No poll waits for it: "online" is judged over tens of seconds, and
// a write per poll would be most of the database's work, a burst of first
// polls after a start or a failover most of all.
//
// deviceForPoll() answers from a per-process cache while a dedicated
// connection LISTENs on kx_poll, where the schema's triggers announce every
// committed change to a device or to whether it has an open session; an
// announcement drops that device's entry, and so does this process's own
// change once committed. A fill is kept only if no drop came between its
// placeholder (taken before the read) and its end. Once listening, the
// listener reads every device's answer into the cache. Without a listening
// connection the cache is empty and every poll reads the database.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#include <string>
#include <unordered_map>
#include <utility>

#include "service/storage.h"

struct pg_conn;

namespace kx::service {

// Connections a serving process keeps to PostgreSQL (the server's default
// max_connections of 100 leaves room for several replicas and the commands).
inline constexpr size_t kPostgresConnections = 16;

class PostgresStorage final : public Storage {
 public:
  // Connects with a libpq connection URI (postgresql://user@host:port/db?...)
  // and migrates; refuses a database whose schema is newer than this program's.
  // At most `connections` connections are opened, as calls need them.
  static Expected<std::unique_ptr<PostgresStorage>> open(const std::string& uri,
                                                         size_t connections = kPostgresConnections);
  ~PostgresStorage() override;

  bool concurrent() const override { return true; }
  Status transaction(const std::function<Status()>& body) override;
  Status transactionOn(std::string_view scope, const std::function<Status()>& body) override;

  Expected<int64_t> addTechnician(std::string_view name, std::string_view passwordHash) override;
  Expected<std::optional<Technician>> technicianByName(std::string_view name) override;
  Expected<std::optional<Technician>> technicianById(int64_t id) override;
  Status removeTechnician(int64_t id) override;

  Status addGrant(const Grant& grant) override;
  Expected<std::optional<Grant>> findGrant(GrantKind kind, const Bytes& digest) override;
  Expected<std::optional<HeldGrant>> grantWithHolder(GrantKind kind, const Bytes& digest) override;
  Expected<bool> removeGrant(GrantKind kind, const Bytes& digest) override;
  Expected<size_t> liveGrantCount(GrantKind kind, int64_t technicianId, double now) override;

  Status addDevice(const Device& device) override;
  Expected<std::optional<Device>> deviceById(std::string_view id) override;
  Expected<std::optional<Device>> deviceByKeyDigest(const Bytes& digest) override;
  Expected<std::optional<PolledDevice>> deviceForPoll(std::string_view id) override;
  std::shared_ptr<const PolledDevice> cachedPoll(std::string_view id) override;
  Expected<std::vector<Device>> devicesOf(int64_t technicianId) override;
  Status updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                              std::string_view installation) override;
  Status updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) override;
  Status removeDevice(std::string_view id) override;

  Status addSession(const Session& session) override;
  Expected<std::optional<Session>> sessionById(std::string_view id) override;
  Expected<std::vector<Session>> openSessions(std::string_view deviceId) override;
  Expected<std::vector<PolledSession>> openSessionsForPoll(std::string_view deviceId) override;
  Status updateSession(const Session& session) override;
  Expected<std::vector<Session>> deniedSessions(std::string_view deviceId, double since) override;

  Status appendSignals(std::string_view sessionId, Direction direction,
                       const std::vector<std::string>& payloads) override;
  Expected<NewSignals> appendNewSignals(std::string_view sessionId, Direction direction,
                                        const std::vector<std::string>& payloads, size_t maxCount,
                                        size_t maxBytes) override;
  Expected<std::vector<std::string>> signals(std::string_view sessionId, Direction direction) override;
  Status removeSignals(std::string_view sessionId) override;

  Status addSignInFailure(std::string_view name, std::string_view address, double at) override;
  Expected<SignInFailureCount> signInFailures(std::string_view name, std::string_view address,
                                              double since) override;
  Status clearSignInFailures(std::string_view name) override;

  Status appendAudit(const AuditEntry& entry) override;
  Expected<std::vector<AuditEntry>> auditEntries(int64_t technicianId, size_t limit) override;

  Status purge(double now, double closedBefore, double failuresBefore) override;

  class Params;
  class Rows;

 private:
  struct Link;
  class Lease;

  PostgresStorage(std::string uri, size_t connections);
  Status migrate();
  Status transact(std::string_view scope, bool whole, const std::function<Status()>& body);
  Status exec(Link& link, const char* sql);
  // Runs a (cached, prepared) statement; `what` names it in errors.
  Expected<Rows> run(const char* sql, const Params& params, std::string_view what);
  Expected<Rows> run(Link& link, const char* sql, const Params& params, std::string_view what);
  // The same for statements whose result is only success.
  Status change(const char* sql, const Params& params, std::string_view what);
  Status flushPresence();
  // The flusher thread: news after a moment's wait for more, together with
  // whatever else waits (one statement for many polls), the rest every second.
  void flushBehind();
  // The cached poll answer follows this process's own presence writes.
  void followInCache(const std::string& id, double lastSeen, std::string_view state);
  // A device as this process knows it: its own latest presence wins when newer.
  void withOwnPresence(Device& device) const;
  // The listener thread: LISTEN, drop what is announced, and start over
  // with an empty cache when the connection is lost.
  void listen();
  // Caches every device's poll answer, a page at a time, once listening:
  // first polls after a start or a failover then read nothing. `heard`
  // handles the announcements that came meanwhile, after each page is
  // stored: a change the page's read missed drops what it stored.
  void warmCache(const std::function<bool()>& heard);
  // Drops one device's cached answer ("": every answer).
  void forget(std::string_view id);
  // The same once this thread's transaction (if any) has ended.
  void forgetAfterCommit(std::string_view id);

  // The link each thread's open transaction runs on, per storage: every call
  // the transaction's body makes on that thread goes to the same connection.
  static thread_local std::vector<std::pair<const PostgresStorage*, Link*>> bound_;
  // This thread's transaction link for this storage, if one is open.
  Link* boundLink() const;

  const std::string uri_;
  const size_t maxLinks_;
  std::mutex poolMutex_;
  std::condition_variable linkFree_;
  std::vector<std::unique_ptr<Link>> links_;
  std::vector<Link*> idle_;

  struct Presence {
    double lastSeen;
    std::string state;
  };
  mutable std::mutex presenceMutex_;
  std::unordered_map<std::string, Presence> presence_;  // not yet written, by device id
  std::unordered_map<std::string, Presence> written_;   // the latest written or batched
  bool flushNow_ = false;
  std::once_flag flusherStarted_;
  std::thread flusher_;
  bool stopFlusher_ = false;  // under presenceMutex_
  std::condition_variable flusherWake_;

  // A cached poll answer, or (ticket != 0) a placeholder for a read under way.
  struct CachedPoll {
    uint64_t ticket = 0;
    std::shared_ptr<const PolledDevice> polled;  // replaced, never changed: readers may hold it
  };
  // Looked up by string_view: a poll's device id is not copied to find it.
  struct IdHash {
    using is_transparent = void;
    size_t operator()(std::string_view id) const { return std::hash<std::string_view>()(id); }
  };
  std::mutex cacheMutex_;
  std::unordered_map<std::string, CachedPoll, IdHash, std::equal_to<>> cache_;
  uint64_t tickets_ = 0;
  bool listening_ = false;  // the cache is used only while true
  bool listenAttempted_ = false;
  std::condition_variable listenAttempt_;
  std::once_flag listenerStarted_;
  std::thread listener_;
  int stopListener_ = -1;  // an eventfd
};

}  // namespace kx::service
