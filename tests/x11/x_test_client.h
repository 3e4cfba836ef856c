// A small X client of the tests: one override-redirect window at the top left
// of the screen that shows known colours and records the input events that
// reach it. Include after the project's headers: Xlib's macros rename names.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/test_frames.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

namespace kx::testing {

class XTestClient {
 public:
  explicit XTestClient(const std::string& display, int width = 1920, int height = 1080)
      : x(XOpenDisplay(display.c_str())) {
    if (!x) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager: place it exactly
    attributes.event_mask = StructureNotifyMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            KeyPressMask | KeyReleaseMask;
    window_ = XCreateWindow(x, DefaultRootWindow(x), 0, 0, unsigned(width), unsigned(height), 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    gc_ = XCreateGC(x, window_, 0, nullptr);
    XMapRaised(x, window_);
    waitFor([](const XEvent& e) { return e.type == MapNotify; });
    XSetInputFocus(x, window_, RevertToParent, CurrentTime);  // keys go to the window wherever the pointer is
  }
  ~XTestClient() {
    if (x) XCloseDisplay(x);
  }

  // `sync`: wait until the server has drawn it.
  void fill(int left, int top, int w, int h, unsigned long rgb, bool sync = true) {
    XSetForeground(x, gc_, rgb);  // TrueColor 24-bit: the pixel is 0xRRGGBB
    XFillRectangle(x, window_, gc_, left, top, unsigned(w), unsigned(h));
    if (sync) XSync(x, False);
  }
  // Records events until `until` holds or five seconds pass.
  bool waitFor(const std::function<bool(const XEvent&)>& until) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(x) > 0) {
        XNextEvent(x, &events.emplace_back());
        if (events.back().type == MappingNotify) XRefreshKeyboardMapping(&events.back().xmapping);
        if (until(events.back())) return true;
      }
      pollfd p{ConnectionNumber(x), POLLIN, 0};
      poll(&p, 1, 100);
    }
    return false;
  }

  ::Display* const x;
  std::vector<XEvent> events;

 private:
  ::Window window_ = 0;
  GC gc_{};
};

// 0xRRGGBB as the BGRA bytes of a captured picture.
inline Bgra bgra(unsigned long rgb) { return Bgra{uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t(rgb >> 16)}; }

}  // namespace kx::testing
