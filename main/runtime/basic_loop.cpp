#include "runtime/basic_loop.h"

#include <algorithm>
#include <cassert>
#include <limits>

namespace kx {

void LoopCore::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

EventLoop::TimerId LoopCore::addTimer(double delay, double interval, std::function<void()> fn) {
  const TimerId id = ++nextId_;
  const auto key = std::make_pair(loopNow() + std::max(0.0, delay), id);
  timers_.emplace(key, Entry{id, interval, std::move(fn)});
  index_.emplace(id, key);
  return id;
}

void LoopCore::cancelTimer(TimerId id) {
  auto it = index_.find(id);
  if (it == index_.end()) return;
  timers_.erase(it->second);
  index_.erase(it);
}

bool LoopCore::drainPosted() {
  bool ran = false;
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return ran;
      fn = std::move(queue_.front());
      queue_.pop_front();
    }
    fn();
    ran = true;
  }
}

bool LoopCore::fireNextTimer(double limit) {
  if (timers_.empty() || timers_.begin()->first.first > limit) return false;
  auto node = timers_.extract(timers_.begin());
  const double due = node.key().first;
  Entry entry = std::move(node.mapped());
  if (entry.interval > 0) {
    // Re-arm before running so the callback may cancel its own timer.
    const auto key = std::make_pair(due + entry.interval, entry.id);
    index_[entry.id] = key;
    auto fn = entry.fn;
    timers_.emplace(key, std::move(entry));
    fn();
  } else {
    index_.erase(entry.id);
    entry.fn();
  }
  return true;
}

double LoopCore::nextDue() const {
  return timers_.empty() ? std::numeric_limits<double>::infinity() : timers_.begin()->first.first;
}

void LoopCore::waitForPost(double seconds) {
  std::unique_lock lock(mutex_);
  if (!queue_.empty() || seconds <= 0) return;
  posted_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !queue_.empty(); });
}

void VirtualLoop::advance(double seconds) {
  const double end = uptime_ + std::max(0.0, seconds);
  drainPosted();
  for (;;) {
    const double due = nextDue();
    if (due > end) break;
    uptime_ = std::max(uptime_, due);
    fireNextTimer(uptime_);
    drainPosted();
  }
  uptime_ = end;
  drainPosted();
}

void VirtualLoop::runUntilIdle() { drainPosted(); }

bool VirtualLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  SystemClock real;
  const double end = real.uptime() + timeoutSeconds;
  drainPosted();
  while (!done()) {
    const double left = end - real.uptime();
    if (left <= 0) return done();
    waitForPost(std::min(left, 0.05));
    drainPosted();
  }
  return true;
}

void RunLoop::run() {
  quit_ = false;
  runUntil([this] { return quit_; }, std::numeric_limits<double>::infinity());
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const double end = uptime() + timeoutSeconds;
  for (;;) {
    drainPosted();
    while (fireNextTimer(uptime())) drainPosted();
    if (done()) return true;
    const double now = uptime();
    if (now >= end) return false;
    waitForPost(std::min({nextDue() - now, end - now, 0.25}));
  }
}

void RunLoop::quit() {
  post([this] { quit_ = true; });
}

}  // namespace kx
