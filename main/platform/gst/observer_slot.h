// Observer dispatch from engine threads with a hard stop: once set(nullptr)
// (or set(other)) has returned, no call reaches the old observer. The lock is
// held while the observer runs, so clearing waits for a call in progress. It is
// recursive so an observer may clear itself from inside its own callback.
//
// GObject signal handlers reach engine state through a weak pointer that the
// closure owns (connectWeak), so a handler still running on an engine thread
// after its owner went away finds nothing and returns.
#pragma once

#include <glib-object.h>

#include <memory>
#include <mutex>

namespace kx::gst {

template <typename Observer>
class ObserverSlot {
 public:
  void set(Observer* observer) {
    std::lock_guard lock(mutex_);
    observer_ = observer;
  }
  // Sets the observer and, still holding the lock, calls `fn(observer)` when it
  // is not null: nothing else reaches the new observer before `fn` returns.
  template <typename Fn>
  void setThen(Observer* observer, Fn&& fn) {
    std::lock_guard lock(mutex_);
    observer_ = observer;
    if (observer_) fn(*observer_);
  }
  // Calls `fn(observer)` when an observer is set; returns whether it did.
  template <typename Fn>
  bool notify(Fn&& fn) {
    std::lock_guard lock(mutex_);
    if (!observer_) return false;
    fn(*observer_);
    return true;
  }
  bool empty() {
    std::lock_guard lock(mutex_);
    return observer_ == nullptr;
  }

 private:
  std::recursive_mutex mutex_;
  Observer* observer_ = nullptr;
};

// Connects `callback` to `signal` with a weak pointer to `core` as its user
// data; the closure deletes that pointer when the handler goes away.
template <typename Core>
gulong connectWeak(gpointer instance, const char* signal, GCallback callback, const std::shared_ptr<Core>& core) {
  return g_signal_connect_data(
      instance, signal, callback, new std::weak_ptr<Core>(core),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<Core>*>(data); }, GConnectFlags(0));
}

// The owner behind a connectWeak user-data pointer, or null once it is gone.
template <typename Core>
std::shared_ptr<Core> lockWeak(gpointer data) {
  return static_cast<std::weak_ptr<Core>*>(data)->lock();
}

}  // namespace kx::gst
