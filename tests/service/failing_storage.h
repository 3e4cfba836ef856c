// A Storage that forwards to a real one and fails chosen operations, to see
// what the service does when its database fails half-way.
#pragma once

#include <string>

#include "service/storage.h"

namespace kx::service::testing {

class FailingStorage final : public Storage {
 public:
  explicit FailingStorage(Storage& real) : real_(real) {}

  // Operations whose name is `failing` fail from now on; "" fails nothing,
  // "*" fails everything.
  void failOn(std::string failing) { failing_ = std::move(failing); }

  Status transaction(const std::function<Status()>& body) override {
    if (fails("transaction")) return broken();
    return real_.transaction(body);
  }
  Expected<int64_t> addTechnician(std::string_view name, std::string_view hash) override {
    if (fails("addTechnician")) return broken();
    return real_.addTechnician(name, hash);
  }
  Expected<std::optional<Technician>> technicianByName(std::string_view name) override {
    if (fails("technicianByName")) return broken();
    return real_.technicianByName(name);
  }
  Expected<std::optional<Technician>> technicianById(int64_t id) override {
    if (fails("technicianById")) return broken();
    return real_.technicianById(id);
  }
  Status addGrant(const Grant& grant) override {
    if (fails("addGrant")) return broken();
    return real_.addGrant(grant);
  }
  Expected<std::optional<Grant>> findGrant(GrantKind kind, const Bytes& digest) override {
    if (fails("findGrant")) return broken();
    return real_.findGrant(kind, digest);
  }
  Expected<bool> removeGrant(GrantKind kind, const Bytes& digest) override {
    if (fails("removeGrant")) return broken();
    return real_.removeGrant(kind, digest);
  }
  Status addDevice(const Device& device) override {
    if (fails("addDevice")) return broken();
    return real_.addDevice(device);
  }
  Expected<std::optional<Device>> deviceById(std::string_view id) override {
    if (fails("deviceById")) return broken();
    return real_.deviceById(id);
  }
  Expected<std::optional<Device>> deviceByKeyDigest(const Bytes& digest) override {
    if (fails("deviceByKeyDigest")) return broken();
    return real_.deviceByKeyDigest(digest);
  }
  Expected<std::vector<Device>> devicesOf(int64_t technicianId) override {
    if (fails("devicesOf")) return broken();
    return real_.devicesOf(technicianId);
  }
  Status updateDeviceIdentity(std::string_view id, std::string_view name, std::string_view publicKey,
                              std::string_view installation) override {
    if (fails("updateDeviceIdentity")) return broken();
    return real_.updateDeviceIdentity(id, name, publicKey, installation);
  }
  Status updateDevicePresence(std::string_view id, double lastSeen, std::string_view state) override {
    if (fails("updateDevicePresence")) return broken();
    return real_.updateDevicePresence(id, lastSeen, state);
  }
  Status addSession(const Session& session) override {
    if (fails("addSession")) return broken();
    return real_.addSession(session);
  }
  Expected<std::optional<Session>> sessionById(std::string_view id) override {
    if (fails("sessionById")) return broken();
    return real_.sessionById(id);
  }
  Expected<std::vector<Session>> openSessions(std::string_view deviceId) override {
    if (fails("openSessions")) return broken();
    return real_.openSessions(deviceId);
  }
  Status updateSession(const Session& session) override {
    if (fails("updateSession")) return broken();
    return real_.updateSession(session);
  }
  Status appendSignals(std::string_view sessionId, Direction direction,
                       const std::vector<std::string>& payloads) override {
    if (fails("appendSignals")) return broken();
    return real_.appendSignals(sessionId, direction, payloads);
  }
  Expected<std::vector<std::string>> signals(std::string_view sessionId, Direction direction) override {
    if (fails("signals")) return broken();
    return real_.signals(sessionId, direction);
  }
  Status removeSignals(std::string_view sessionId) override {
    if (fails("removeSignals")) return broken();
    return real_.removeSignals(sessionId);
  }
  Status removeTechnician(int64_t id) override {
    if (fails("removeTechnician")) return broken();
    return real_.removeTechnician(id);
  }
  Expected<size_t> liveGrantCount(GrantKind kind, int64_t technicianId, double now) override {
    if (fails("liveGrantCount")) return broken();
    return real_.liveGrantCount(kind, technicianId, now);
  }
  Status removeDevice(std::string_view id) override {
    if (fails("removeDevice")) return broken();
    return real_.removeDevice(id);
  }
  Expected<std::vector<Session>> deniedSessions(std::string_view deviceId, double since) override {
    if (fails("deniedSessions")) return broken();
    return real_.deniedSessions(deviceId, since);
  }
  Status addSignInFailure(std::string_view name, std::string_view address, double at) override {
    if (fails("addSignInFailure")) return broken();
    return real_.addSignInFailure(name, address, at);
  }
  Expected<SignInFailureCount> signInFailures(std::string_view name, std::string_view address, double since) override {
    if (fails("signInFailures")) return broken();
    return real_.signInFailures(name, address, since);
  }
  Status clearSignInFailures(std::string_view name) override {
    if (fails("clearSignInFailures")) return broken();
    return real_.clearSignInFailures(name);
  }
  Status appendAudit(const AuditEntry& entry) override {
    if (fails("appendAudit")) return broken();
    return real_.appendAudit(entry);
  }
  Expected<std::vector<AuditEntry>> auditEntries(int64_t technicianId, size_t limit) override {
    if (fails("auditEntries")) return broken();
    return real_.auditEntries(technicianId, limit);
  }
  Status purge(double now, double closedBefore, double failuresBefore) override {
    if (fails("purge")) return broken();
    return real_.purge(now, closedBefore, failuresBefore);
  }

 private:
  bool fails(std::string_view operation) const { return failing_ == "*" || failing_ == operation; }
  static Error broken() { return makeError("Storage", 10, "disk I/O error"); }

  Storage& real_;
  std::string failing_;
};

}  // namespace kx::service::testing
