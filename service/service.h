// The support service without its transport: every HTTP request of the Macs,
// the technician consoles and the web portal becomes a Response here, on top
// of a Storage and a Clock. The HTTPS server, the unit tests and the fuzzer
// all drive this one entry point.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/json.h"
#include "runtime/clock.h"
#include "service/http_message.h"
#include "service/rate_limiter.h"
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
  size_t maxPayloadBytes = 64 * 1024;
  size_t maxPayloadsPerDirection = 512;
  size_t maxBytesPerDirection = 2 * 1024 * 1024;

  // Failed portal sign-ins allowed per window, per name and per client address.
  size_t signInFailuresPerName = 5;
  size_t signInFailuresPerAddress = 20;
  double signInWindowSeconds = 15 * 60;

  ScryptParameters passwordHashing;
  std::string installerUrl;  // linked from /download when set

  // Where storage failures are reported (the server passes stderr).
  std::function<void(std::string_view)> log;
};

inline constexpr double kMaxConsentSeconds = 1800;

class Service {
 public:
  Service(Storage& storage, const Clock& clock, ServiceOptions options = {});

  // Thread-safe; never throws. Calls are serialised, except that password
  // hashing runs outside the lock so a sign-in does not stall the Macs' polls.
  Response handle(const Request& request);

  // Administration (the command line). Names are 1 to 64 printable characters.
  Status addTechnician(std::string_view name, std::string_view password);
  Expected<std::string> createEnrollmentToken(std::string_view technician);
  Expected<std::string> createSetupCode(std::string_view technician);

  // Ends sessions past their deadline and forgets expired grants, old closed
  // sessions and stale rate-limit windows. The server runs it now and then;
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
  Json sessionStatus(const Request& request, std::string_view sessionId);
  Json sessionSignalPost(const Request& request, std::string_view sessionId);
  Json sessionSignalGet(const Request& request, std::string_view sessionId);
  Json sessionEnd(const Request& request, std::string_view sessionId);

  Response signInForm(const Request& request);
  Response signInSubmit(const Request& request);
  Response download(const Request& request);

  Response dispatch(const Request& request);

  Device authenticateDevice(const Request& request, std::string_view deviceId);
  Technician authenticateTechnician(const Request& request, Bytes* tokenDigest = nullptr);
  Session deviceSession(const Device& device, const Json& body);
  Session technicianSession(const Technician& technician, std::string_view sessionId);
  // The session as it stands at `now`: one past its deadline is ended (and saved so).
  Session current(Session session, double now);
  std::optional<Session> openSession(std::string_view deviceId, double now);
  void close(Session& session, SessionState state, double now);
  void relay(const Session& session, Direction direction, const Json& body, size_t maxPerPost);
  Json signalList(const Session& session, Direction direction);
  Expected<std::string> issue(std::string_view technician, GrantKind kind, double lifetime);
  const std::string& dummyPasswordHash();
  bool online(const Device& device, double t) const;
  double now() const { return clock_.wallTime(); }

  Storage& storage_;
  const Clock& clock_;
  ServiceOptions options_;
  std::mutex mutex_;
  RateLimiter nameLimiter_;
  RateLimiter addressLimiter_;
  // Last poll per Mac as this process saw it; storage gets it at most every
  // few seconds, so "online" stays exact here and close for other readers.
  struct Presence {
    double lastPoll = 0;
    std::string body;   // the last poll body as received
    std::string state;  // what was read from it
  };
  std::unordered_map<std::string, Presence> presence_;
  std::once_flag dummyOnce_;
  std::string dummyHash_;  // verified for unknown names so they cost as much as known ones
};

}  // namespace kx::service
