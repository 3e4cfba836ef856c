// What the support service keeps between requests, behind a small interface so
// that a networked database can replace the local SQLite file.
//
// Secrets never reach the storage in clear text: device keys, technician
// tokens, enrollment tokens, setup codes and sign-in codes are stored as their
// SHA-256 digest, passwords as an scrypt hash. Times are wall-clock seconds
// since 1970 (they must survive restarts).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/encoding.h"
#include "runtime/error.h"

namespace kx::service {

struct Technician {
  int64_t id = 0;
  std::string name;
  std::string passwordHash;  // "scrypt$N$r$p$salt$hash"
};

// One-time or revocable credentials issued to a technician.
enum class GrantKind : int {
  enrollmentToken = 1,  // in an enrollment file; makes one device
  setupCode = 2,        // typed on the Mac; makes one device
  signInCode = 3,       // web portal → console, bound to a PKCE challenge
  technicianToken = 4,  // the console's bearer token
};

struct Grant {
  Bytes digest;  // SHA-256 of the secret text
  GrantKind kind = GrantKind::enrollmentToken;
  int64_t technicianId = 0;
  std::string challenge;  // sign-in codes only
  double expires = 0;
};

struct Device {
  std::string id;
  int64_t technicianId = 0;
  Bytes keyDigest;
  std::string name;
  std::string publicKey;  // standard base64 of the X9.63 point
  std::string installation;
  std::string state = "{}";  // the latest state report of its poll, as JSON
  double lastSeen = 0;       // 0 = never polled
};

enum class SessionState { pending, approved, denied, ended };
std::string_view sessionStateName(SessionState state);
std::optional<SessionState> sessionStateFromName(std::string_view name);
inline bool isOpen(SessionState state) {
  return state == SessionState::pending || state == SessionState::approved;
}

struct Session {
  std::string id;
  std::string deviceId;
  int64_t technicianId = 0;
  SessionState state = SessionState::pending;
  std::string browserKey;
  std::string salt;
  double created = 0;
  double expires = 0;  // consent end while approved; 0 before
  double closed = 0;   // when it was denied or ended; 0 while open
};

// Which way a relayed signal travels.
enum class Direction : int {
  toDevice = 1,   // posted by the console, read by the Mac's poll
  toConsole = 2,  // posted by the Mac, read by the console
};

// Failed portal sign-ins after a moment, counted by name and by client address.
struct SignInFailureCount {
  size_t byName = 0;
  size_t byAddress = 0;
};

// One row of the audit log. Rows are only ever appended; names are kept as
// they were, so a row outlives the technician or device it names.
struct AuditEntry {
  int64_t id = 0;  // assigned by the storage, increasing
  double time = 0;
  std::string event;         // "access-request", "decision", "session-end", "sign-in", ...
  int64_t technicianId = 0;  // the technician it concerns (a device's owner); 0 for none
  std::string technician;    // that technician's name
  std::string deviceId;      // "" when no device is involved
  std::string device;        // the device's name
  std::string sessionId;
  std::string address;  // the client address of the request; "" for the command line
  std::string detail;   // the outcome or reason ("approved", "ended by the person", ...)
};

// Every operation may fail with an error of domain "Storage". Unless
// concurrent() says otherwise an implementation need not be thread-safe: the
// service then serialises its calls. Several service processes may share one
// database (PostgreSQL): a transaction then excludes every other process's
// transactions, as SQLite's single writer does.
class Storage {
 public:
  virtual ~Storage() = default;

  // True when calls may come from several threads at once.
  virtual bool concurrent() const { return false; }

  // Runs `body` atomically: its writes are kept only when it succeeds.
  // Nested calls are atomic on their own within the outer one and share its
  // exclusion.
  virtual Status transaction(const std::function<Status()>& body) = 0;
  // The same, excluding only the transactions on the same `scope` (a name
  // such as "device:<id>") and whole ones: for a read-check-write whose
  // conflicts all name one thing. Single-writer backends exclude everything.
  virtual Status transactionOn(std::string_view scope, const std::function<Status()>& body) {
    (void)scope;
    return transaction(body);
  }

  // Fails with code 409 when the name is taken.
  virtual Expected<int64_t> addTechnician(std::string_view name, std::string_view passwordHash) = 0;
  virtual Expected<std::optional<Technician>> technicianByName(std::string_view name) = 0;
  virtual Expected<std::optional<Technician>> technicianById(int64_t id) = 0;
  // Removes the technician with their grants, devices and sessions.
  virtual Status removeTechnician(int64_t id) = 0;

  virtual Status addGrant(const Grant& grant) = 0;
  virtual Expected<std::optional<Grant>> findGrant(GrantKind kind, const Bytes& digest) = 0;
  // Removes the grant; true when it was still there. Spending a one-time
  // grant is exactly one successful removal.
  virtual Expected<bool> removeGrant(GrantKind kind, const Bytes& digest) = 0;
  // Grants of that kind and technician that expire after `now`.
  virtual Expected<size_t> liveGrantCount(GrantKind kind, int64_t technicianId, double now) = 0;
  // A grant with the technician it belongs to: what every console request
  // checks, in one read where the backend can.
  struct HeldGrant {
    Grant grant;
    Technician technician;
  };
  virtual Expected<std::optional<HeldGrant>> grantWithHolder(GrantKind kind, const Bytes& digest);

  virtual Status addDevice(const Device& device) = 0;
  virtual Expected<std::optional<Device>> deviceById(std::string_view id) = 0;
  virtual Expected<std::optional<Device>> deviceByKeyDigest(const Bytes& digest) = 0;
  // The device and whether it has a pending or approved session: all that
  // most polls need, in one read where the backend can, or none where it
  // caches. Its presence (lastSeen, state) may lag other processes' writes.
  struct PolledDevice {
    Device device;
    bool sessionOpen = false;
  };
  virtual Expected<std::optional<PolledDevice>> deviceForPoll(std::string_view id) {
    auto device = deviceById(id);
    if (!device) return std::move(device).error();
    if (!*device) return std::optional<PolledDevice>();
    auto open = openSessions(id);
    if (!open) return std::move(open).error();
    return std::optional<PolledDevice>(PolledDevice{std::move(**device), !open->empty()});
  }
  // deviceForPoll's answer when the backend holds it without asking the
  // database (its cache), else null: never waits. Shared, not copied: the
  // answer is read on every idle poll.
  virtual std::shared_ptr<const PolledDevice> cachedPoll(std::string_view id) {
    (void)id;
    return nullptr;
  }
  virtual Expected<std::vector<Device>> devicesOf(int64_t technicianId) = 0;
  virtual Status updateDeviceIdentity(std::string_view id, std::string_view name,
                                      std::string_view publicKey, std::string_view installation) = 0;
  // A backend that answers polls from its cache takes presence without
  // waiting: cached polls write it on the network thread.
  virtual Status updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) = 0;
  // Removes the device with its sessions; its key stops working.
  virtual Status removeDevice(std::string_view id) = 0;

  // Fails with code 409 when the id is taken.
  virtual Status addSession(const Session& session) = 0;
  virtual Expected<std::optional<Session>> sessionById(std::string_view id) = 0;
  // Pending and approved sessions of one device, or of every device when
  // `deviceId` is empty; expiry is the caller's business.
  virtual Expected<std::vector<Session>> openSessions(std::string_view deviceId) = 0;
  // A device's open sessions (as openSessions) with what its poll returns
  // of each: the technician's name ("" when gone) and, while approved, the
  // signals towards the device. In one read where the backend can.
  struct PolledSession {
    Session session;
    std::string technician;
    std::vector<std::string> signals;
  };
  virtual Expected<std::vector<PolledSession>> openSessionsForPoll(std::string_view deviceId);
  // A closed session is final: updating one changes nothing, so a replica
  // acting on a stale read cannot reopen a session another one closed.
  virtual Status updateSession(const Session& session) = 0;
  // Sessions of the device denied at or after `since`, latest denial first.
  virtual Expected<std::vector<Session>> deniedSessions(std::string_view deviceId, double since) = 0;

  virtual Status appendSignals(std::string_view sessionId, Direction direction,
                               const std::vector<std::string>& payloads) = 0;
  // Appends those of `payloads` not already kept for the session and
  // direction, in order, unless the kept ones would then number more than
  // `maxCount` or weigh more than `maxBytes` (then nothing is appended):
  // atomic with every other call on the same session, in one round trip
  // where the backend can.
  enum class SignalsAppended { appended, tooMany, tooLarge };
  struct NewSignals {
    SignalsAppended outcome = SignalsAppended::appended;
    bool first = false;  // none were kept before
  };
  virtual Expected<NewSignals> appendNewSignals(std::string_view sessionId, Direction direction,
                                                const std::vector<std::string>& payloads, size_t maxCount,
                                                size_t maxBytes);
  // In the order they were appended.
  virtual Expected<std::vector<std::string>> signals(std::string_view sessionId, Direction direction) = 0;
  virtual Status removeSignals(std::string_view sessionId) = 0;

  // Only failures are written, so a flood of wrong passwords costs one
  // insert each and nothing an attacker does can drop a victim's count
  // before its time (purge() does, by age).
  virtual Status addSignInFailure(std::string_view name, std::string_view address, double at) = 0;
  virtual Expected<SignInFailureCount> signInFailures(std::string_view name, std::string_view address,
                                                      double since) = 0;
  // After a successful sign-in: that name's failures are forgotten.
  virtual Status clearSignInFailures(std::string_view name) = 0;

  // Appends one row (its id is ignored and assigned). Nothing changes or
  // removes a row once written.
  virtual Status appendAudit(const AuditEntry& entry) = 0;
  // Newest first, at most `limit`: the rows of one technician, or every row
  // when `technicianId` is 0.
  virtual Expected<std::vector<AuditEntry>> auditEntries(int64_t technicianId, size_t limit) = 0;

  // Forgets grants that expired before `now`, sessions closed before
  // `closedBefore` (with their signals) and sign-in failures before
  // `failuresBefore`.
  virtual Status purge(double now, double closedBefore, double failuresBefore) = 0;
};

}  // namespace kx::service
