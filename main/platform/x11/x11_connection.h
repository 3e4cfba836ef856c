// One X server connection, owned. Xlib's defaults end the process on a lost
// connection or a refused request; a connection opened here instead records
// both and reports them, so a display that goes away ends a capture, not the
// program. Use a connection from one thread at a time.
#pragma once

#include <atomic>
#include <memory>
#include <string>

struct _XDisplay;

namespace kx::x11 {

class Connection {
 public:
  // `name` empty means $DISPLAY. Null when the server cannot be reached.
  static std::unique_ptr<Connection> open(const std::string& name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  _XDisplay* get() const { return display_; }
  // The connection is gone (server exited, socket closed); nothing more works.
  bool lost() const { return lost_; }
  // Waits for the server to process everything sent so far; returns the
  // error code of the first request it refused since the last call (0: none).
  int sync();

 private:
  friend struct ConnectionRegistry;
  explicit Connection(_XDisplay* display);

  _XDisplay* display_;
  std::atomic<bool> lost_{false};
  std::atomic<int> firstError_{0};
};

}  // namespace kx::x11
