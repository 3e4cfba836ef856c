#include "platform/x11/x11_connection.h"

#include <X11/Xlib.h>

#include <map>
#include <mutex>

namespace kx::x11 {

// Xlib's error handler is process-wide: errors on our connections are
// recorded on them, errors on anyone else's go to the handler that was there.
struct ConnectionRegistry {
  std::mutex mutex;
  std::map<::Display*, Connection*> connections;
  XErrorHandler previous = nullptr;
  XIOErrorHandler previousIo = nullptr;

  static ConnectionRegistry& instance() {
    static ConnectionRegistry registry;
    return registry;
  }

  static int onError(::Display* display, XErrorEvent* event) {
    auto& r = instance();
    XErrorHandler previous;
    {
      std::lock_guard lock(r.mutex);
      auto it = r.connections.find(display);
      if (it != r.connections.end()) {
        int expected = 0;
        it->second->firstError_.compare_exchange_strong(expected, event->error_code);
        return 0;
      }
      previous = r.previous;
    }
    return previous ? previous(display, event) : 0;
  }

  // Xlib's default I/O error handler exits; on our connections this one
  // returns, and the exit handler below runs instead.
  static int onIoError(::Display* display) {
    auto& r = instance();
    XIOErrorHandler previous;
    {
      std::lock_guard lock(r.mutex);
      if (r.connections.count(display)) return 0;
      previous = r.previousIo;
    }
    return previous ? previous(display) : 0;
  }

  // Called instead of exit() when our connection breaks; Xlib then fails
  // every further call on it quickly.
  static void onLost(::Display*, void* self) { static_cast<Connection*>(self)->lost_ = true; }

  void add(Connection* connection) {
    std::lock_guard lock(mutex);
    static std::once_flag once;
    std::call_once(once, [this] {
      previous = XSetErrorHandler(&ConnectionRegistry::onError);
      previousIo = XSetIOErrorHandler(&ConnectionRegistry::onIoError);
    });
    connections[connection->get()] = connection;
  }
  void remove(Connection* connection) {
    std::lock_guard lock(mutex);
    connections.erase(connection->get());
  }
};

std::unique_ptr<Connection> Connection::open(const std::string& name) {
  ::Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) return nullptr;
  std::unique_ptr<Connection> connection(new Connection(display));
  XSetIOErrorExitHandler(display, &ConnectionRegistry::onLost, connection.get());
  ConnectionRegistry::instance().add(connection.get());
  return connection;
}

Connection::Connection(::Display* display) : display_(display) {}

Connection::~Connection() {
  // Still registered while closing: errors of requests in flight must not
  // reach Xlib's default handler, which exits.
  XCloseDisplay(display_);
  ConnectionRegistry::instance().remove(this);
}

int Connection::sync() {
  if (!lost_) XSync(display_, False);
  return firstError_.exchange(0);
}

}  // namespace kx::x11
