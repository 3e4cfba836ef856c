// The mouse-button state of remote input. Makes drags work (a "move" while a
// button is held becomes a drag of that button) and guarantees that a button
// the technician stopped holding is let go: by "up", by a new "down", by
// release() when capture or the session stops, or by expire() when no "down"
// or "move" came for more than 3 seconds.
#pragma once

#include <string_view>
#include <vector>

#include "media/capture.h"
#include "media/input_injector.h"

namespace kx {

struct PointerEvent {
  MouseEventType type;
  Point point;
  bool operator==(const PointerEvent&) const = default;
};

// The button a mouse event of this type carries: right for the right-button
// types, left for all others.
MouseButton buttonFor(MouseEventType type);

// Fractions (0...1, top-left origin) of `bounds` → global coordinates.
Point mapToDisplay(const Rect& bounds, double x, double y);

class PointerState {
 public:
  // Seconds a button may stay down without "down" or "move".
  static constexpr double kHoldTimeout = 3.0;

  // `action` is "hover", "down", "move" or "up"; `buttonText` "right" selects
  // the right button for "down", anything else the left one. Coordinates
  // outside 0...1 (or not finite), or empty bounds, change nothing.
  std::vector<PointerEvent> receive(std::string_view action, double x, double y, const Rect& bounds, double now,
                                    std::string_view buttonText);
  // The up event of a held button at its last position; nothing otherwise.
  std::vector<PointerEvent> release();
  // release(), but only once the button was held for more than kHoldTimeout
  // since the last "down" or "move".
  std::vector<PointerEvent> expire(double now);

  bool held() const { return held_; }
  Point position() const { return position_; }
  MouseButton button() const { return button_; }
  double lastUpdate() const { return lastUpdate_; }

 private:
  bool held_ = false;
  Point position_;
  MouseButton button_ = MouseButton::kLeft;
  double lastUpdate_ = 0;
};

}  // namespace kx
