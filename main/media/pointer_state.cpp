#include "media/pointer_state.h"

#include <cmath>

namespace kx {
namespace {

MouseEventType downType(MouseButton button) {
  return button == MouseButton::kRight ? MouseEventType::kRightMouseDown : MouseEventType::kLeftMouseDown;
}
MouseEventType upType(MouseButton button) {
  return button == MouseButton::kRight ? MouseEventType::kRightMouseUp : MouseEventType::kLeftMouseUp;
}
MouseEventType dragType(MouseButton button) {
  return button == MouseButton::kRight ? MouseEventType::kRightMouseDragged : MouseEventType::kLeftMouseDragged;
}

bool isFraction(double value) { return std::isfinite(value) && value >= 0 && value <= 1; }

}  // namespace

MouseButton buttonFor(MouseEventType type) {
  switch (type) {
    case MouseEventType::kRightMouseDown:
    case MouseEventType::kRightMouseUp:
    case MouseEventType::kRightMouseDragged:
      return MouseButton::kRight;
    default:
      return MouseButton::kLeft;
  }
}

Point mapToDisplay(const Rect& bounds, double x, double y) {
  return Point{bounds.x + x * bounds.width, bounds.y + y * bounds.height};
}

std::vector<PointerEvent> PointerState::receive(std::string_view action, double x, double y, const Rect& bounds,
                                                double now, std::string_view buttonText) {
  if (!isFraction(x) || !isFraction(y)) return {};
  if (!(bounds.width > 0) || !(bounds.height > 0)) return {};
  const Point p = mapToDisplay(bounds, x, y);
  const MouseButton b = buttonText == "right" ? MouseButton::kRight : MouseButton::kLeft;

  std::vector<PointerEvent> events;
  if (action == "hover") {
    if (held_) return {};  // hovering never moves a held button
    events.push_back({MouseEventType::kMouseMoved, p});
    position_ = p;
  } else if (action == "down") {
    if (held_) events.push_back({upType(button_), position_});
    events.push_back({downType(b), p});
    held_ = true;
    position_ = p;
    button_ = b;
    lastUpdate_ = now;
  } else if (action == "move") {
    if (!held_) return {};
    events.push_back({dragType(button_), p});
    position_ = p;
    lastUpdate_ = now;
  } else if (action == "up") {
    if (!held_) return {};
    events.push_back({upType(button_), p});
    held_ = false;
    position_ = p;
  }
  return events;
}

std::vector<PointerEvent> PointerState::release() {
  if (!held_) return {};
  held_ = false;
  return {{upType(button_), position_}};
}

std::vector<PointerEvent> PointerState::expire(double now) {
  if (!held_ || !(now - lastUpdate_ > kHoldTimeout)) return {};
  return release();
}

}  // namespace kx
