// One direction of an emulated link, in the terms netem uses: a loss rate, a
// rate limit behind a bounded queue, then a one-way delay with jitter. Pure
// arithmetic on times given by the caller, so it runs in virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string_view>

namespace kx::netem {

struct LinkParameters {
  double delayMs = 0;        // one way
  double jitterMs = 0;       // delay varies uniformly within ± this
  double lossPercent = 0;    // independent per packet
  double rateKbits = 0;      // 0: unlimited
  size_t queueLimit = 1000;  // packets waiting for the rate limiter (netem's default)
};

// A named link. The round trip is twice the one-way figures.
struct Profile {
  std::string_view name;
  LinkParameters link;
};
std::optional<Profile> findProfile(std::string_view name);

class LinkDirection {
 public:
  LinkDirection(LinkParameters parameters, uint32_t seed) : p_(parameters), random_(seed) {}

  // When a packet of `bytes` arriving at `nowNs` leaves the far end, or
  // nothing when it is lost (loss, a full queue, an outage). Each packet's
  // delay varies on its own, so jitter can reorder packets, as netem's does.
  std::optional<int64_t> admit(int64_t nowNs, size_t bytes);

  void setOutage(bool on) { outage_ = on; }
  // Packets waiting for the rate limiter at `nowNs`.
  size_t backlog(int64_t nowNs);

 private:
  LinkParameters p_;
  std::mt19937 random_;
  bool outage_ = false;
  int64_t busyUntilNs_ = 0;
  std::deque<int64_t> serialisedAt_;  // when each queued packet finishes serialising
};

}  // namespace kx::netem
