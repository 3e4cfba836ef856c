#include "link_model.h"

#include <algorithm>
#include <array>

namespace kx::netem {

namespace {

// Round trips halve into one-way delays; loss applies each way.
constexpr std::array<Profile, 6> kProfiles = {{
    {"loopback", {}},
    {"broadband", {.delayMs = 10, .rateKbits = 50'000}},
    {"dsl", {.delayMs = 30, .lossPercent = 0.5, .rateKbits = 3'000}},
    {"wifi", {.delayMs = 50, .jitterMs = 10, .lossPercent = 2, .rateKbits = 2'000}},
    {"mobile", {.delayMs = 75, .lossPercent = 3, .rateKbits = 1'000}},
    // The outage itself is switched on and off by whoever runs the session.
    {"outage", {.delayMs = 10, .rateKbits = 50'000}},
}};

}  // namespace

std::optional<Profile> findProfile(std::string_view name) {
  for (const Profile& p : kProfiles) {
    if (p.name == name) return p;
  }
  return std::nullopt;
}

size_t LinkDirection::backlog(int64_t nowNs) {
  while (!serialisedAt_.empty() && serialisedAt_.front() <= nowNs) serialisedAt_.pop_front();
  return serialisedAt_.size();
}

std::optional<int64_t> LinkDirection::admit(int64_t nowNs, size_t bytes) {
  if (outage_) return std::nullopt;
  if (p_.lossPercent > 0 && std::uniform_real_distribution<double>(0, 100)(random_) < p_.lossPercent) {
    return std::nullopt;
  }
  int64_t leaves = nowNs;
  if (p_.rateKbits > 0) {
    if (backlog(nowNs) >= p_.queueLimit) return std::nullopt;
    const auto serialise = static_cast<int64_t>(double(bytes) * 8 * 1e6 / p_.rateKbits);
    busyUntilNs_ = std::max(busyUntilNs_, nowNs) + serialise;
    serialisedAt_.push_back(busyUntilNs_);
    leaves = busyUntilNs_;
  }
  double delayMs = p_.delayMs;
  if (p_.jitterMs > 0) delayMs += std::uniform_real_distribution<double>(-p_.jitterMs, p_.jitterMs)(random_);
  return leaves + static_cast<int64_t>(std::max(0.0, delayMs) * 1e6);
}

}  // namespace kx::netem
