#include "platform/qt/qt_event_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <cmath>

namespace kx {

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>()) {}

QtEventLoop::~QtEventLoop() {
  for (auto& [id, timer] : timers_) delete timer;
}

void QtEventLoop::post(std::function<void()> fn) {
  // Queued calls to an object of the GUI thread are thread-safe and keep order.
  QMetaObject::invokeMethod(context_.get(), [fn = std::move(fn)] { fn(); }, Qt::QueuedConnection);
}

EventLoop::TimerId QtEventLoop::addTimer(double delay, double interval, std::function<void()> fn) {
  const TimerId id = ++nextId_;
  auto* timer = new QTimer(context_.get());
  timer->setTimerType(Qt::PreciseTimer);
  timer->setSingleShot(true);
  timer->setInterval(static_cast<int>(std::lround(std::max(0.0, delay) * 1000)));
  timers_.emplace(id, timer);
  QObject::connect(timer, &QTimer::timeout, context_.get(), [this, id, interval, timer, fn = std::move(fn)] {
    if (interval > 0) {
      // Re-arm first, so the callback may cancel its own timer.
      timer->setInterval(static_cast<int>(std::lround(interval * 1000)));
      timer->start();
      fn();
      return;
    }
    timers_.erase(id);
    timer->deleteLater();
    fn();
  });
  timer->start();
  return id;
}

void QtEventLoop::cancelTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

}  // namespace kx
