#include "runtime/task.h"

#include <vector>

namespace kx {

TaskScope::Runner TaskScope::run(Task<void> task, std::shared_ptr<State> state, uint64_t id) {
  co_await std::move(task);
  state->live.erase(id);
}

void TaskScope::spawn(Task<void> task) {
  const uint64_t id = ++state_->next;
  Runner runner = run(std::move(task), state_, id);
  state_->live.emplace(id, runner.handle);
  runner.handle.resume();
}

void TaskScope::cancelAll() {
  // Destroying a frame destroys the task it awaits, and so on down the chain;
  // leaf awaiters mark their completions as cancelled.
  std::vector<std::coroutine_handle<>> handles;
  for (auto& [id, h] : state_->live) handles.push_back(h);
  state_->live.clear();
  for (auto h : handles) h.destroy();
}

}  // namespace kx
