// The support service without its transport: every HTTP request of the Macs,
// the technician consoles and the web portal becomes a Response here, on top
// of a Storage and a Clock. The HTTPS server, the unit tests and the fuzzer
// all drive this one entry point.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/json.h"
#include "runtime/clock.h"
#include "service/http_message.h"
#include "service/request_limits.h"
#include "service/secrets.h"
#include "service/storage.h"

namespace kx::service {

struct ServiceOptions {
  double pendingSeconds = 120;           // an undecided request ends after this
  double consentSeconds = 1800;          // an approval lasts this long (at most kMaxConsentSeconds)
  double onlineSeconds = 20;             // a Mac that polled this recently is online
  double setupCodeSeconds = 24 * 3600;   // "valid for one Mac for 24 hours"
  double signInCodeSeconds = 60;
  double enrollmentTokenSeconds = 30 * 24 * 3600;
  double technicianTokenSeconds = 30 * 24 * 3600;
  double closedSessionSeconds = 24 * 3600;  // closed sessions are forgotten after this

  // Relay bounds, per session and direction.
  size_t maxPayloadBytes = kMaxSignalPayloadBytes;
  size_t maxPayloadsPerDirection = 512;
  size_t maxBytesPerDirection = 2 * 1024 * 1024;

  // Failed portal sign-ins allowed per window, per name and per client address.
  size_t signInFailuresPerName = 5;
  size_t signInFailuresPerAddress = 20;
  double signInWindowSeconds = 15 * 60;
  // Password checks running at once, and waiting beyond those; a sign-in
  // past both is told the service is busy. Together they stay well under the
  // front's handler threads, so that devices' polls always find one free.
  size_t concurrentPasswordChecks = 1;
  size_t waitingPasswordChecks = 3;

  // Unused setup codes a technician may hold at once.
  size_t maxLiveSetupCodes = 20;

  ScryptParameters passwordHashing;
  std::string installerUrl;  // linked from /download when set

  // Where storage failures are reported (the server passes stderr).
  std::function<void(std::string_view)> log;
};

inline constexpr double kMaxConsentSeconds = 1800;

// An audit row as the API and `kx-service audit` show it.
Json auditJson(const AuditEntry& entry);

class Service {
 public:
  Service(Storage& storage, const Clock& clock, ServiceOptions options = {});

  // Thread-safe; never throws. Calls are serialised unless the storage is
  // concurrent (then its transactions keep each rule atomic, as they must
  // across replicas anyway); password hashing always runs outside the lock so
  // a sign-in does not stall the Macs' polls.
  Response handle(const Request& request);
  // The answer to a request that needs no storage round trip (an idle
  // Mac's poll its storage has cached, with no presence write due), or
  // nullopt for handle(). Never waits, so a network thread may call it.
  std::optional<Response> answerAtOnce(const Request& request);

  // Administration (the command line). Names are 1 to 64 printable characters.
  Status addTechnician(std::string_view name, std::string_view password);
  // Removes the technician with their devices, sessions and credentials.
  Status removeTechnician(std::string_view name);
  Expected<std::string> createEnrollmentToken(std::string_view technician);
  Expected<std::string> createSetupCode(std::string_view technician);

  // For monitoring: /healthz (the storage answers) and /metrics (Prometheus
  // text). `extra` is appended to the metrics (the front's own figures).
  Response monitor(const Request& request, std::string_view extra);

  // Audit rows, newest first: one technician's or (for "") everyone's.
  Expected<std::vector<AuditEntry>> auditLog(std::string_view technician, size_t limit);

  // Ends sessions past their deadline and forgets expired grants, old closed
  // sessions and sign-in failures past their window. The server runs it now and then;
  // correctness never depends on it (expiry is also checked on every read).
  Status sweep();

 private:
  Json enroll(const Request& request);
  Json devicePoll(const Request& request, std::string_view deviceId);
  Json deviceDecision(const Request& request, std::string_view deviceId);
  Json deviceSignal(const Request& request, std::string_view deviceId);
  Json deviceEnd(const Request& request, std::string_view deviceId);

  Json exchange(const Request& request);
  Json logout(const Request& request);
  Json whoami(const Request& request);
  Json devices(const Request& request);
  Json setupCode(const Request& request);
  Json accessRequest(const Request& request);
  Json revoke(const Request& request);
  Json auditList(const Request& request);
  Json sessionStatus(const Request& request, std::string_view sessionId);
  Json sessionSignalPost(const Request& request, std::string_view sessionId);
  Json sessionSignalGet(const Request& request, std::string_view sessionId);
  Json sessionEnd(const Request& request, std::string_view sessionId);

  Response signInForm(const Request& request);
  Response signInSubmit(const Request& request);
  Response download(const Request& request);

  Response dispatch(const Request& request);

  // With `sessionOpen`, also tells whether the device has an open session.
  Device authenticateDevice(const Request& request, std::string_view deviceId, bool* sessionOpen = nullptr);
  Technician authenticateTechnician(const Request& request, Bytes* tokenDigest = nullptr);
  Session deviceSession(const Device& device, const Json& body);
  Session technicianSession(const Technician& technician, std::string_view sessionId);
  // The session as it stands at `now`: one past its deadline is ended (and saved so).
  Session current(Session session, double now);
  // Refuses a request to a device whose user declined recently (escalating waits).
  void throttleAfterDenials(const Device& device, double now);
  // Appends an audit row stamped now; `device` and `technician` fill in the names.
  void audit(AuditEntry entry);
  void auditSession(std::string_view event, const Session& session, std::string_view detail, std::string_view address);
  // Runs a password check within the concurrency bounds; nullopt when they are full.
  std::optional<bool> checkPassword(std::string_view password, std::string_view hash);
  std::optional<Session> openSession(std::string_view deviceId, double now);
  // The first of `items` whose session, `sessionOf(item)`, is open at `now`;
  // every one is brought up to date on the way.
  template <typename Item, typename SessionOf>
  std::optional<Item> firstOpen(std::vector<Item> items, double now, SessionOf sessionOf);
  void close(Session& session, SessionState state, double now);
  // Runs `change` on the session as stored, under its device's exclusion: of
  // concurrent ends and decisions exactly one acts on an open session, and
  // none reopens one another has closed. Returns `change`'s result.
  template <typename F>
  auto transition(Session& session, F&& change);
  // True when these were the first signals of that direction.
  bool relay(const Session& session, Direction direction, const Json& body, size_t maxPerPost);
  Json signalList(const Session& session, Direction direction);
  Expected<std::string> newSetupCodeFor(const Technician& technician, std::string_view address);
  const std::string& dummyPasswordHash();
  bool online(const Device& device, double t) const;
  // Records a poll in this process's presence; returns the state it reports.
  std::string notePoll(const Request& request, const std::string& deviceId, double t);
  // True when the poll's presence must be written to storage.
  static bool presenceDue(const Device& device, const std::string& state, double t);
  double now() const { return clock_.wallTime(); }
  // Held while handling, unless the storage takes calls from several threads.
  std::unique_lock<std::mutex> serialised();

  Storage& storage_;
  const Clock& clock_;
  ServiceOptions options_;
  std::mutex mutex_;
  std::mutex checksMutex_;
  std::condition_variable checkDone_;
  size_t checksRunning_ = 0;
  size_t checksWaiting_ = 0;
  // Last poll per Mac as this process saw it; storage gets it at most every
  // few seconds, so "online" stays exact here and close for other readers.
  struct Presence {
    double lastPoll = 0;
    std::string body;   // the last poll body as received
    std::string state;  // what was read from it
  };
  mutable std::mutex presenceMutex_;
  std::unordered_map<std::string, Presence> presence_;
  std::atomic<uint64_t> polls_{0};
  std::atomic<uint64_t> signInFailures_{0};
  std::once_flag dummyOnce_;
  std::string dummyHash_;  // verified for unknown names so they cost as much as known ones
};

}  // namespace kx::service
