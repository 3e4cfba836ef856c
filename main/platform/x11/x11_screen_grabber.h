// Reads one rectangle of the root window into a 32-bit BGRx picture, through
// shared memory when the server offers it (a local server) and a plain
// GetImage otherwise, with the pointer drawn in when asked.
#pragma once

#include <cstdint>
#include <memory>

#include "media/capture.h"
#include "platform/x11/x11_connection.h"
#include "runtime/error.h"

namespace kx::x11 {

class ScreenGrabber {
 public:
  // `area` in root coordinates; it must lie inside the root window.
  static Expected<std::unique_ptr<ScreenGrabber>> create(Connection& connection, const Rect& area);
  ~ScreenGrabber();
  ScreenGrabber(const ScreenGrabber&) = delete;
  ScreenGrabber& operator=(const ScreenGrabber&) = delete;

  // Reads the area again; false when the server refused or the connection is gone.
  bool grab(bool withCursor);

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const;
  const uint8_t* data() const;

 private:
  struct Image;
  ScreenGrabber(Connection& connection, int x, int y, int width, int height);
  void drawCursor();

  Connection& connection_;
  int x_, y_, width_, height_;
  std::unique_ptr<Image> image_;
  bool haveCursor_ = false;
};

}  // namespace kx::x11
