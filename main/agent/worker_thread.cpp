#include "agent/worker_thread.h"

#include <memory>

namespace kx {

WorkerThread::WorkerThread(EventLoop& loop) : eventLoop_(loop), thread_([this] { this->loop(); }) {}

WorkerThread::~WorkerThread() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  thread_.join();
  alive_.reset();
}

void WorkerThread::run(std::function<void()> work, std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(std::move(work), std::move(done));
  }
  wake_.notify_all();
}

void WorkerThread::loop() {
  for (;;) {
    std::pair<std::function<void()>, std::function<void()>> item;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    item.first();
    eventLoop_.post([weak = std::weak_ptr<bool>(alive_), done = std::move(item.second)] {
      if (weak.lock() && done) done();
    });
  }
}

}  // namespace kx
