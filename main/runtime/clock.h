// Time sources. Uptime drives every lease, time-out, schedule and round trip;
// wall time is read only to turn a service's absolute expiry into a duration.
#pragma once

namespace kx {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since boot, monotonic; unaffected by changes of the wall clock.
  virtual double uptime() const = 0;
  // Seconds since 1970.
  virtual double wallTime() const = 0;
};

// The machine's clocks: CLOCK_MONOTONIC and the system clock.
class SystemClock final : public Clock {
 public:
  double uptime() const override;
  double wallTime() const override;
};

}  // namespace kx
