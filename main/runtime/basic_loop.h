// Loops that are not tied to a UI toolkit: VirtualLoop for tests (time moves
// only when told to) and RunLoop for command-line programs and integration
// tests (real time).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace kx {

// Shared machinery: a thread-safe post queue and an ordered timer set.
class LoopCore : public EventLoop {
 public:
  void post(std::function<void()> fn) override;
  TimerId addTimer(double delay, double interval, std::function<void()> fn) override;
  void cancelTimer(TimerId id) override;

 protected:
  // The loop's own notion of the present, in uptime seconds.
  virtual double loopNow() const = 0;

  // Runs everything posted so far (and what that posts). Returns whether anything ran.
  bool drainPosted();
  // Fires the earliest timer due at or before `limit`, if any.
  bool fireNextTimer(double limit);
  // Due time of the earliest timer, or +infinity.
  double nextDue() const;
  // Blocks (real time) until something is posted or `seconds` pass.
  void waitForPost(double seconds);

  std::thread::id owner_ = std::this_thread::get_id();

 private:
  struct Entry {
    TimerId id;
    double interval;
    std::function<void()> fn;
  };
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
  std::multimap<std::pair<double, TimerId>, Entry> timers_;
  std::map<TimerId, std::pair<double, TimerId>> index_;
  TimerId nextId_ = 0;
};

// Virtual time for tests: nothing happens until advance() or runUntilIdle().
class VirtualLoop final : public LoopCore, public Clock {
 public:
  explicit VirtualLoop(double uptime = 1000.0, double wallTime = 1.8e9)
      : uptime_(uptime), wallOffset_(wallTime - uptime) {}

  double uptime() const override { return uptime_; }
  double wallTime() const override { return uptime_ + wallOffset_; }
  // Moves the wall clock (as a person changing the system time would); uptime is untouched.
  void setWallTime(double wallTime) { wallOffset_ = wallTime - uptime_; }

  // Runs posted work and every timer due within the next `seconds`, in due
  // order, with uptime set to each timer's due time while it runs.
  void advance(double seconds);
  // Runs posted work only; no time passes.
  void runUntilIdle();
  // Real-time wait for work posted from other threads (HTTP, engines), running
  // it as it arrives, until `done` holds or `timeoutSeconds` of real time pass.
  // Virtual time does not move. Returns `done()`.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

 protected:
  double loopNow() const override { return uptime_; }

 private:
  double uptime_;
  double wallOffset_;
};

// A real-time loop for programs without Qt.
class RunLoop final : public LoopCore, public Clock {
 public:
  double uptime() const override { return clock_.uptime(); }
  double wallTime() const override { return clock_.wallTime(); }

  // Runs until quit() is called (from any thread).
  void run();
  // Runs until `done` holds or `timeoutSeconds` pass. Returns `done()`.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
  void quit();

 protected:
  double loopNow() const override { return clock_.uptime(); }

 private:
  SystemClock clock_;
  bool quit_ = false;
};

}  // namespace kx
