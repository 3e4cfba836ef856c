#include "service/rate_limiter.h"

#include <algorithm>

namespace kx::service {

RateLimiter::RateLimiter(size_t limit, double windowSeconds, size_t maxKeys)
    : limit_(limit), window_(windowSeconds), maxKeys_(maxKeys) {}

void RateLimiter::expire(std::deque<double>& times, double now) const {
  while (!times.empty() && times.front() <= now - window_) times.pop_front();
}

bool RateLimiter::blocked(std::string_view key, double now) {
  auto it = failures_.find(std::string(key));
  if (it == failures_.end()) return false;
  expire(it->second, now);
  return it->second.size() >= limit_;
}

void RateLimiter::recordFailure(std::string_view key, double now) {
  if (failures_.size() >= maxKeys_ && failures_.find(std::string(key)) == failures_.end()) {
    prune(now);
    if (failures_.size() >= maxKeys_) {
      // Forget the key whose latest failure is oldest.
      auto oldest = std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
        return a.second.back() < b.second.back();
      });
      failures_.erase(oldest);
    }
  }
  auto& times = failures_[std::string(key)];
  expire(times, now);
  times.push_back(now);
  // Only the last `limit_` failures matter.
  while (times.size() > limit_) times.pop_front();
}

void RateLimiter::reset(std::string_view key) { failures_.erase(std::string(key)); }

void RateLimiter::prune(double now) {
  for (auto it = failures_.begin(); it != failures_.end();) {
    expire(it->second, now);
    it = it->second.empty() ? failures_.erase(it) : std::next(it);
  }
}

}  // namespace kx::service
