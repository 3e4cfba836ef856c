// The bounded consent of the person at the computer. It runs on uptime, so
// moving the wall clock neither extends nor shortens it; the wall clock is
// read once, to turn the service's absolute expiry into a duration.
#pragma once

#include <optional>

namespace kx {

class ConsentLease {
 public:
  // No approval ever lasts longer than this.
  static constexpr double kMaximum = 1800;

  // `serverExpiry` and `wallTime` are seconds since 1970, `uptime` seconds
  // since boot. A missing or non-finite expiry gives the maximum; a past one
  // gives 0 (the next poll tick ends the session).
  void approve(std::optional<double> serverExpiry, double wallTime, double uptime);
  bool isValid(double uptime) const { return deadline_ && *deadline_ > uptime; }
  void end() { deadline_.reset(); }

  const std::optional<double>& deadline() const { return deadline_; }

 private:
  std::optional<double> deadline_;
};

}  // namespace kx
