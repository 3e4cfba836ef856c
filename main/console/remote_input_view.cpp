#include "console/remote_input_view.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kx {
namespace {

double clampUnit(double value) {
  if (std::isnan(value)) return 0;
  return std::clamp(value, 0.0, 1.0);
}

}  // namespace

RemoteInputView::RemoteInputView() : lastPosition_({{"x", 0.5}, {"y", 0.5}}) {}

void RemoteInputView::setBounds(double width, double height) {
  boundsWidth_ = std::max(width, 0.0);
  boundsHeight_ = std::max(height, 0.0);
}

Rect RemoteInputView::videoFrame() const {
  const double scale = std::min(boundsWidth_ / videoWidth_, boundsHeight_ / videoHeight_);
  const double width = videoWidth_ * scale;
  const double height = videoHeight_ * scale;
  return Rect{(boundsWidth_ - width) / 2, (boundsHeight_ - height) / 2, width, height};
}

bool RemoteInputView::videoSizeChanged(double width, double height) {
  // The negated comparison also refuses NaN.
  if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height)) return false;
  videoWidth_ = width;
  videoHeight_ = height;
  return true;
}

Point RemoteInputView::mapToPicture(Point point) const {
  const Rect f = videoFrame();
  return Point{clampUnit((point.x - f.x) / std::max(f.width, 1.0)),
               clampUnit((point.y - f.y) / std::max(f.height, 1.0))};
}

bool RemoteInputView::insidePicture(Point point) const {
  const Rect f = videoFrame();
  return point.x >= f.x && point.x < f.x + f.width && point.y >= f.y && point.y < f.y + f.height;
}

int RemoteInputView::countClick(MouseButton which, Point point, double seconds) {
  int clicks = 1;
  if (lastPress_ && lastPress_->button == which && seconds >= lastPress_->seconds &&
      seconds - lastPress_->seconds <= kMultiClickSeconds &&
      std::abs(point.x - lastPress_->point.x) <= kMultiClickDistance &&
      std::abs(point.y - lastPress_->point.y) <= kMultiClickDistance) {
    clicks = std::min(lastPress_->clicks + 1, 3);
  }
  lastPress_ = LastPress{which, point, seconds, clicks};
  return clicks;
}

void RemoteInputView::mouseMoved(Point point) {
  // A moved event carries no click count.
  if (allowed_ && windowActive_ && !held_ && insidePicture(point)) pointer("hover", point, 0);
}

bool RemoteInputView::mouseDown(MouseButton which, Point point, int clicks, bool focused) {
  if (!allowed_ || !insidePicture(point)) return false;
  if (!focused) {
    focusing_ = true;
    return true;
  }
  held_ = true;
  button_ = which == MouseButton::kRight ? "right" : "left";
  pointer("down", point, clicks);
  return true;
}

void RemoteInputView::mouseDragged(Point point, int clicks) {
  if (allowed_ && held_) pointer("move", point, clicks);
}

void RemoteInputView::mouseUp(Point point, int clicks) {
  focusing_ = false;
  // Whatever `allowed` is now: a press that went down must come up on the Mac.
  if (!held_) return;
  held_ = false;
  pointer("up", point, clicks);
}

void RemoteInputView::scroll(double dx, double dy) {
  if (!allowed_ || !emit_) return;
  // The Mac refuses non-finite distances; JSON could not carry them anyway.
  if (!std::isfinite(dx) || !std::isfinite(dy)) return;
  send(Json{{"kind", "scroll"}, {"x", dx}, {"y", dy}});
}

void RemoteInputView::keyDown(int code, uint64_t flags, const std::string& characters) {
  if (!allowed_ || !emit_) return;
  const auto name = keyName(code);
  send(Json{{"kind", "keycode"},
            {"code", code},
            {"flags", flags},
            {"key", name ? std::string(*name) : characters}});
}

bool RemoteInputView::keyEquivalent(int code, uint64_t flags, const std::string& characters, bool hasFocus) {
  if (!allowed_ || !hasFocus) return false;
  keyDown(code, flags, characters);
  return true;
}

void RemoteInputView::release() {
  if (!held_) return;
  held_ = false;
  Json message = lastPosition_;
  message["action"] = "up";
  send(message);
}

void RemoteInputView::renewHold() {
  if (!held_ || !allowed_) return;
  Json message = lastPosition_;
  message["action"] = "move";
  send(message);
}

std::optional<std::string_view> RemoteInputView::keyName(int code) {
  switch (code) {
    case 36: return "Enter";
    case 51: return "Backspace";
    case 48: return "Tab";
    case 53: return "Escape";
    case 123: return "ArrowLeft";
    case 124: return "ArrowRight";
    case 125: return "ArrowDown";
    case 126: return "ArrowUp";
    default: return std::nullopt;
  }
}

void RemoteInputView::pointer(std::string_view action, Point point, int clicks) {
  const Point mapped = mapToPicture(point);
  lastPosition_ = Json{{"kind", "pointer"}, {"action", action},   {"button", button_},
                       {"clicks", clicks},  {"x", mapped.x},      {"y", mapped.y}};
  send(lastPosition_);
}

void RemoteInputView::send(const Json& message) {
  if (emit_) emit_(message);
}

}  // namespace kx
