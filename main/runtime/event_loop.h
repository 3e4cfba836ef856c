// The main loop that owns all state of both roles. Logic code only ever runs
// on the loop thread; other threads hand work over with post().
#pragma once

#include <cstdint>
#include <functional>

namespace kx {

class EventLoop {
 public:
  using TimerId = uint64_t;

  virtual ~EventLoop() = default;

  // Any thread. Runs `fn` on the loop thread after the work already queued;
  // posts from one thread keep their order.
  virtual void post(std::function<void()> fn) = 0;

  // Loop thread only. Fires `fn` after `delay` seconds, then every `interval`
  // seconds when `interval` > 0. Never fires after cancelTimer() returns.
  virtual TimerId addTimer(double delay, double interval, std::function<void()> fn) = 0;
  // Loop thread only. Unknown or already finished ids are ignored, so a
  // one-shot timer may cancel itself from inside its own callback.
  virtual void cancelTimer(TimerId id) = 0;
};

// Owns one timer and cancels it when destroyed or reset: a timer never
// outlives the object that holds it.
class Timer {
 public:
  Timer() = default;
  Timer(EventLoop* loop, EventLoop::TimerId id) : loop_(loop), id_(id) {}
  Timer(Timer&& other) noexcept : loop_(other.loop_), id_(other.id_) { other.loop_ = nullptr; }
  Timer& operator=(Timer&& other) noexcept {
    if (this != &other) {
      cancel();
      loop_ = other.loop_;
      id_ = other.id_;
      other.loop_ = nullptr;
    }
    return *this;
  }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { cancel(); }

  void cancel() {
    if (loop_) loop_->cancelTimer(id_);
    loop_ = nullptr;
  }
  // True while the timer is held (a one-shot timer that already fired still
  // counts until it is reset, as the agent's "timer" field does).
  explicit operator bool() const { return loop_ != nullptr; }

 private:
  EventLoop* loop_ = nullptr;
  EventLoop::TimerId id_ = 0;
};

inline Timer startOneShot(EventLoop& loop, double delay, std::function<void()> fn) {
  return Timer(&loop, loop.addTimer(delay, 0, std::move(fn)));
}

inline Timer startRepeating(EventLoop& loop, double interval, std::function<void()> fn) {
  return Timer(&loop, loop.addTimer(interval, interval, std::move(fn)));
}

}  // namespace kx
