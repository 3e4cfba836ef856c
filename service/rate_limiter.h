// Counts failed attempts per key (a technician name, a client address) in a
// sliding window, to slow down password guessing at the web portal.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kx::service {

class RateLimiter {
 public:
  // At most `limit` failures per key within `windowSeconds`; at most
  // `maxKeys` keys are tracked (the oldest windows are dropped first).
  RateLimiter(size_t limit, double windowSeconds, size_t maxKeys = 100000);

  // True while `key` has used up its failures at time `now`.
  bool blocked(std::string_view key, double now);
  void recordFailure(std::string_view key, double now);
  void reset(std::string_view key);
  // Drops windows with no failure left in them.
  void prune(double now);
  size_t trackedKeys() const { return failures_.size(); }

 private:
  void expire(std::deque<double>& times, double now) const;

  size_t limit_;
  double window_;
  size_t maxKeys_;
  std::unordered_map<std::string, std::deque<double>> failures_;
};

}  // namespace kx::service
