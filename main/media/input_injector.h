// Posting input events into the shared desktop. Implemented with XTest in
// main/platform/x11 and by a recording fake in tests. Loop thread only.
#pragma once

#include <cstdint>
#include <string>

#include "media/capture.h"

namespace kx {

// The mouse event kinds of the control protocol, with their numeric values.
enum class MouseEventType : int {
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
  kRightMouseDragged = 7,
};

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

enum class MouseButton { kLeft, kRight };

struct KeyEvent {
  int virtualKeyCode = 0;  // macOS virtual key code, 0...127
  bool down = true;
  uint64_t flags = 0;      // event flags, already masked to 0x9f0000
  std::u16string text;     // when not empty, the text this event types
};

// Modifier flag bits of the protocol.
inline constexpr uint64_t kFlagCapsLock = 0x10000;
inline constexpr uint64_t kFlagShift = 0x20000;
inline constexpr uint64_t kFlagControl = 0x40000;
inline constexpr uint64_t kFlagOption = 0x80000;
inline constexpr uint64_t kFlagCommand = 0x100000;
inline constexpr uint64_t kFlagFunction = 0x800000;
inline constexpr uint64_t kFlagMask = 0x9f0000;

class InputInjector {
 public:
  virtual ~InputInjector() = default;
  // Each returns false when the event could not be created; callers skip it.
  virtual bool postMouse(MouseEventType type, Point point, MouseButton button, int clickCount) = 0;
  virtual bool postKey(const KeyEvent& event) = 0;
  // One scroll-wheel event in pixels: wheel 1 vertical, wheel 2 horizontal.
  virtual bool postScroll(int32_t wheel1, int32_t wheel2) = 0;
};

}  // namespace kx
