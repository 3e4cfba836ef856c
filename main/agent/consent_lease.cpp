#include "agent/consent_lease.h"

#include <algorithm>
#include <cmath>

namespace kx {

void ConsentLease::approve(std::optional<double> serverExpiry, double wallTime, double uptime) {
  double remaining = kMaximum;
  if (serverExpiry && std::isfinite(*serverExpiry)) {
    remaining = std::clamp(*serverExpiry - wallTime, 0.0, kMaximum);
  }
  deadline_ = uptime + remaining;
}

}  // namespace kx
