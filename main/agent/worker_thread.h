// A BackgroundQueue with one worker thread: the blocking permission checks
// run there, their completions on the loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "agent/agent_platform.h"

namespace kx {

class WorkerThread final : public BackgroundQueue {
 public:
  explicit WorkerThread(EventLoop& loop);
  // Waits for the work that is running; queued work and every pending
  // completion are dropped.
  ~WorkerThread() override;

  void run(std::function<void()> work, std::function<void()> done) override;

 private:
  void loop();

  EventLoop& eventLoop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::function<void()>, std::function<void()>>> queue_;
  bool stopping_ = false;
  // Completions check this on the loop thread; reset in the destructor.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::thread thread_;
};

}  // namespace kx
