// C++20 coroutines for the main loop.
//
// Task<T> is a lazily started coroutine that is either awaited by another task
// or spawned into a TaskScope. A scope belongs to an owner (the agent, the
// console, a peer): destroying the scope destroys every task still suspended
// without resuming it, so no step ever resumes into a destroyed owner.
//
// awaitCallback() turns a callback-style operation into an awaitable. The
// operation's completion must be called on the loop thread; a completion that
// arrives after its task was destroyed is ignored.
#pragma once

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace kx {

template <typename T = void>
class Task;

namespace detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr exception;

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      auto next = h.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { exception = std::current_exception(); }
};

template <typename T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object();
  template <typename U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object();
  void return_void() {}
};

}  // namespace detail

template <typename T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;

  explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (h_) h_.destroy();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (h_) std::exchange(h_, {}).destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    h_.promise().continuation = caller;
    return h_;
  }
  T await_resume() {
    auto& p = h_.promise();
    if (p.exception) std::rethrow_exception(p.exception);
    if constexpr (!std::is_void_v<T>) return std::move(*p.value);
  }

 private:
  std::coroutine_handle<promise_type> h_;
};

namespace detail {
template <typename T>
Task<T> Promise<T>::get_return_object() {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

// Runs spawned tasks and owns them until they finish. Loop thread only. Never
// destroy a scope from inside one of its own tasks.
class TaskScope {
 public:
  TaskScope() : state_(std::make_shared<State>()) {}
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;
  ~TaskScope() { cancelAll(); }

  // Starts `task` at once; it runs until its first suspension before spawn returns.
  void spawn(Task<void> task);
  // Destroys every unfinished task without resuming it.
  void cancelAll();
  size_t pending() const { return state_->live.size(); }

 private:
  struct Runner {
    struct promise_type {
      Runner get_return_object() { return Runner{std::coroutine_handle<promise_type>::from_promise(*this)}; }
      std::suspend_always initial_suspend() noexcept { return {}; }
      std::suspend_never final_suspend() noexcept { return {}; }
      void return_void() {}
      void unhandled_exception() noexcept { std::terminate(); }
    };
    std::coroutine_handle<promise_type> handle;
  };
  struct State {
    uint64_t next = 0;
    std::map<uint64_t, std::coroutine_handle<>> live;
  };
  static Runner run(Task<void> task, std::shared_ptr<State> state, uint64_t id);

  std::shared_ptr<State> state_;
};

namespace detail {

template <typename T>
struct CallbackState {
  std::optional<T> value;
  std::coroutine_handle<> waiter;
  bool starting = false;
  bool cancelled = false;
};

// g++ 12 may run the destructors of temporaries in a co_await expression
// twice. Everything here therefore leaves its moved-from or destroyed state
// empty, so a second destructor call finds nothing to release.
template <typename T, typename Start>
class CallbackAwaiter {
 public:
  explicit CallbackAwaiter(Start start)
      : start_(std::move(start)), state_(std::make_shared<CallbackState<T>>()) {}
  CallbackAwaiter(CallbackAwaiter&& other) noexcept
      : start_(std::move(other.start_)), state_(std::move(other.state_)) {
    other.start_.reset();
  }
  CallbackAwaiter(const CallbackAwaiter&) = delete;
  ~CallbackAwaiter() {
    if (state_) state_->cancelled = true;
    state_.reset();
    start_.reset();
  }

  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> h) {
    auto state = state_;
    state->starting = true;
    {
      Start start = std::move(*start_);
      start_.reset();
      start([state](T value) {
        if (state->cancelled || state->value) return;
        state->value.emplace(std::move(value));
        if (!state->starting && state->waiter) std::exchange(state->waiter, {}).resume();
      });
    }
    state->starting = false;
    if (state->value) return false;  // completed synchronously
    state->waiter = h;
    return true;
  }
  T await_resume() { return std::move(*state_->value); }

 private:
  std::optional<Start> start_;
  std::shared_ptr<CallbackState<T>> state_;
};

}  // namespace detail

// `start` receives a std::function<void(T)> completion and must call it once,
// on the loop thread (possibly before returning).
//
// Prefer naming the awaiter (`auto op = awaitCallback<T>(...); auto v =
// co_await op;`): g++ 12 may destroy temporaries of a co_await expression
// twice. The types here tolerate it, but lambdas with captures of their own
// are only safe once moved from.
template <typename T, typename Start>
detail::CallbackAwaiter<T, std::decay_t<Start>> awaitCallback(Start&& start) {
  return detail::CallbackAwaiter<T, std::decay_t<Start>>(std::forward<Start>(start));
}

}  // namespace kx
