#include "platform/x11/x11_displays.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <string>

namespace kx::x11 {

std::vector<Display> listDisplays(::Display* x) {
  std::vector<Display> displays;
  const ::Window root = DefaultRootWindow(x);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  const bool monitors = XRRQueryExtension(x, &eventBase, &errorBase) && XRRQueryVersion(x, &major, &minor) &&
                        (major > 1 || (major == 1 && minor >= 5));
  if (monitors) {
    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(x, root, True, &count);
    for (int i = 0; info && i < count; ++i) {
      char* atom = XGetAtomName(x, info[i].name);
      Display d;
      d.id = atom ? atom : ("monitor-" + std::to_string(i));
      if (atom) XFree(atom);
      d.name = d.id + " (" + std::to_string(info[i].width) + "×" + std::to_string(info[i].height) + ")";
      d.bounds = Rect{double(info[i].x), double(info[i].y), double(info[i].width), double(info[i].height)};
      d.primary = info[i].primary;
      displays.push_back(std::move(d));
    }
    if (info) XRRFreeMonitors(info);
  }
  if (displays.empty()) {
    const int screen = DefaultScreen(x);
    Display d;
    d.id = "screen";
    d.name = "Screen (" + std::to_string(DisplayWidth(x, screen)) + "×" + std::to_string(DisplayHeight(x, screen)) + ")";
    d.bounds = Rect{0, 0, double(DisplayWidth(x, screen)), double(DisplayHeight(x, screen))};
    d.primary = true;
    displays.push_back(std::move(d));
  }
  // Without a primary monitor, the one at the origin plays its part.
  bool anyPrimary = false;
  for (const auto& d : displays) anyPrimary = anyPrimary || d.primary;
  if (!anyPrimary) {
    for (auto& d : displays) {
      if (d.bounds.x == 0 && d.bounds.y == 0) {
        d.primary = true;
        break;
      }
    }
  }
  return displays;
}

}  // namespace kx::x11
