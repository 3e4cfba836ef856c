// The logic of the console's video area: keeps the remote picture fitted to
// its aspect ratio inside the area, and turns the technician's mouse, wheel
// and key events over that picture into control messages for `emit`.
//
// It draws nothing and sends nothing. The toolkit widget that shows the video
// forwards its events here in its own coordinates (origin top-left, y down)
// and places the picture at videoFrame(); AdminConsole numbers, seals and
// sends what comes out of `emit`. Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "media/capture.h"
#include "media/input_injector.h"
#include "protocol/json.h"

namespace kx {

class RemoteInputView {
 public:
  using Emit = std::function<void(const Json& message)>;

  // 16:10 until the first real picture size arrives.
  static constexpr double kInitialVideoWidth = 16;
  static constexpr double kInitialVideoHeight = 10;

  RemoteInputView();

  void setEmit(Emit emit) { emit_ = std::move(emit); }

  // Whether input may be produced; switched by the console.
  bool allowed() const { return allowed_; }
  void setAllowed(bool allowed) { allowed_ = allowed; }

  bool held() const { return held_; }
  const Json& lastPosition() const { return lastPosition_; }
  // "left" or "right": the button of the last press.
  const std::string& button() const { return button_; }
  double videoWidth() const { return videoWidth_; }
  double videoHeight() const { return videoHeight_; }

  // The area's size; the widget calls this on every resize.
  void setBounds(double width, double height);
  // Where the picture goes: the largest rectangle of the picture's aspect
  // ratio that fits the bounds, centred. The rest of the area is black.
  Rect videoFrame() const;
  // A new picture size from the renderer. Sizes of zero or less are ignored.
  // Returns true when taken, so the widget re-places the picture.
  bool videoSizeChanged(double width, double height);

  // A point of the area as a position on the picture, 0...1 on each axis,
  // clamped to the picture's edges; NaN becomes 0.
  Point mapToPicture(Point point) const;
  bool insidePicture(Point point) const;

  // Whether the console window is the active window. Hover moves are only
  // sent while it is: a pointer passing over a background window is not the
  // technician's intent.
  void setWindowActive(bool active) { windowActive_ = active; }

  // The click count of a press at `seconds` (any monotonic time): 2 or 3 when
  // it follows a press of the same button within kMultiClickSeconds and
  // kMultiClickDistance, else 1. Counts stop at 3.
  int countClick(MouseButton which, Point point, double seconds);
  static constexpr double kMultiClickSeconds = 0.5;
  static constexpr double kMultiClickDistance = 4;

  // Mouse movement without a button.
  void mouseMoved(Point point);
  // Returns true when the press was taken: the widget then takes the keyboard
  // focus. A press outside the picture, or while input is off, is not taken.
  // A press while the area has no focus only focuses it: nothing is sent for
  // it, its drag or its release.
  bool mouseDown(MouseButton which, Point point, int clicks, bool focused = true);
  void mouseDragged(Point point, int clicks);
  void mouseUp(Point point, int clicks);
  // Wheel or trackpad deltas, signs and units as the Mac reports them.
  void scroll(double dx, double dy);
  // `code` is the Mac virtual key code, `flags` the Mac modifier bits,
  // `characters` the text the key typed with the current modifiers.
  void keyDown(int code, uint64_t flags, const std::string& characters);
  // A combination the window would otherwise give to its shortcuts. Returns
  // whether it was consumed (sent to the Mac) so the console's own shortcuts
  // stay quiet; only while the area has the keyboard focus.
  bool keyEquivalent(int code, uint64_t flags, const std::string& characters, bool hasFocus);

  // Lets go of a held button ("up" at the last position). The console calls
  // it when the session ends and when the window stops being active.
  void release();
  // Re-sends a held button's position so the Mac keeps it pressed (the Mac
  // lets go after 3 seconds without news); called with every ping.
  void renewHold();

  // "Enter", "Backspace", "Tab", "Escape" and the arrows; nothing for other codes.
  static std::optional<std::string_view> keyName(int code);

 private:
  void pointer(std::string_view action, Point point, int clicks);
  void send(const Json& message);

  double boundsWidth_ = 0;
  double boundsHeight_ = 0;
  double videoWidth_ = kInitialVideoWidth;
  double videoHeight_ = kInitialVideoHeight;
  bool allowed_ = false;
  bool held_ = false;
  bool windowActive_ = true;
  bool focusing_ = false;  // the press that focused the area is down
  struct LastPress {
    MouseButton button;
    Point point;
    double seconds;
    int clicks;
  };
  std::optional<LastPress> lastPress_;
  Json lastPosition_;
  std::string button_ = "left";
  Emit emit_;
};

}  // namespace kx
