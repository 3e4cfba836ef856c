#include "service/storage.h"

#include <unordered_set>

namespace kx::service {

Expected<std::optional<Storage::HeldGrant>> Storage::grantWithHolder(GrantKind kind, const Bytes& digest) {
  auto grant = findGrant(kind, digest);
  if (!grant) return std::move(grant).error();
  if (!*grant) return std::optional<HeldGrant>();
  auto technician = technicianById((*grant)->technicianId);
  if (!technician) return std::move(technician).error();
  if (!*technician) return std::optional<HeldGrant>();
  return std::optional<HeldGrant>(HeldGrant{std::move(**grant), std::move(**technician)});
}

Expected<std::vector<Storage::PolledSession>> Storage::openSessionsForPoll(std::string_view deviceId) {
  auto open = openSessions(deviceId);
  if (!open) return std::move(open).error();
  std::vector<PolledSession> polled;
  for (Session& session : *open) {
    PolledSession p{std::move(session), {}, {}};
    auto technician = technicianById(p.session.technicianId);
    if (!technician) return std::move(technician).error();
    if (*technician) p.technician = std::move((*technician)->name);
    if (p.session.state == SessionState::approved) {
      auto kept = signals(p.session.id, Direction::toDevice);
      if (!kept) return std::move(kept).error();
      p.signals = std::move(*kept);
    }
    polled.push_back(std::move(p));
  }
  return polled;
}

Expected<Storage::NewSignals> Storage::appendNewSignals(std::string_view sessionId, Direction direction,
                                                        const std::vector<std::string>& payloads, size_t maxCount,
                                                        size_t maxBytes) {
  NewSignals result;
  Status status = transactionOn("session:" + std::string(sessionId), [&]() -> Status {
    auto kept = signals(sessionId, direction);
    if (!kept) return std::move(kept).error();
    result.first = kept->empty();
    std::unordered_set<std::string_view> known(kept->begin(), kept->end());
    size_t bytes = 0;
    for (const std::string& p : *kept) bytes += p.size();
    std::vector<std::string> fresh;
    for (const std::string& p : payloads) {
      if (!known.insert(p).second) continue;
      fresh.push_back(p);
      bytes += p.size();
    }
    if (kept->size() + fresh.size() > maxCount) result.outcome = SignalsAppended::tooMany;
    else if (bytes > maxBytes) result.outcome = SignalsAppended::tooLarge;
    else if (!fresh.empty()) return appendSignals(sessionId, direction, fresh);
    return {};
  });
  if (!status) return std::move(status).error();
  return result;
}

}  // namespace kx::service
