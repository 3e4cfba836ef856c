// A small X client of the tests: one window over the whole screen that shows
// known colours and records the input events that reach it.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <poll.h>

// Xlib's Status macro would rename kx::Status in the tests that include this.
#undef Status

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kx::testing {

class XTestClient {
 public:
  XTestClient(const std::string& display, int width, int height) {
    display_ = XOpenDisplay(display.c_str());
    if (!display_) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager: place it exactly
    attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
    attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | KeyPressMask | KeyReleaseMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, unsigned(width), unsigned(height), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XMapRaised(display_, window_);
    waitFor([](const XEvent& e) { return e.type == MapNotify; }, 5000);
    // Keys go to the window whatever the pointer does.
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~XTestClient() {
    if (!display_) return;
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  ::Display* display() const { return display_; }

  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);  // TrueColor 24-bit: the pixel is 0xRRGGBB
    XFillRectangle(display_, window_, gc_, x, y, unsigned(w), unsigned(h));
    XSync(display_, False);
  }

  // Events until `until` holds or `ms` pass; MappingNotify is handled on the way.
  std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& until, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent e;
        XNextEvent(display_, &e);
        if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
        events.push_back(e);
        if (until(e)) return e;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{ConnectionNumber(display_), POLLIN, 0};
      poll(&p, 1, int(left.count()));
    }
  }
  // The keysym a key event produces with the event's own modifiers.
  static KeySym lookup(XEvent e) {
    KeySym keysym = 0;
    XLookupString(&e.xkey, nullptr, 0, &keysym, nullptr);
    return keysym;
  }

  std::vector<XEvent> events;

 private:
  ::Display* display_ = nullptr;
  ::Window window_ = 0;
  GC gc_{};
};

}  // namespace kx::testing
