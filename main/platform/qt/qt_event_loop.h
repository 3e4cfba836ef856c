// The main loop on Qt's event loop: posts become queued calls on the GUI
// thread, timers are QTimers.
#pragma once

#include <QObject>
#include <map>
#include <memory>

#include "runtime/clock.h"
#include "runtime/event_loop.h"

class QTimer;

namespace kx {

class QtEventLoop final : public EventLoop, public Clock {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  void post(std::function<void()> fn) override;
  TimerId addTimer(double delay, double interval, std::function<void()> fn) override;
  void cancelTimer(TimerId id) override;

  double uptime() const override { return clock_.uptime(); }
  double wallTime() const override { return clock_.wallTime(); }

 private:
  SystemClock clock_;
  std::unique_ptr<QObject> context_;
  std::map<TimerId, QTimer*> timers_;
  TimerId nextId_ = 0;
};

}  // namespace kx
