#include "platform/x11/x11_input_injector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace kx::x11 {
namespace {

// Keycodes borrowed for text the keyboard map cannot type. Several, used in
// turn and given back only at the end, so a client that reads the map late
// (after its MappingNotify) still finds the keysym its key event meant.
constexpr size_t kMaxSpareKeycodes = 8;

bool isUpperLetter(KeySym k) { return k >= XK_A && k <= XK_Z; }

}  // namespace

InputInjectorX11::InputInjectorX11(std::string displayName) : displayName_(std::move(displayName)) {}

InputInjectorX11::~InputInjectorX11() {
  if (connection_ && !connection_->lost()) restoreBorrowed();
}

bool InputInjectorX11::ready() {
  if (connection_ && connection_->lost()) {
    connection_.reset();
    borrowed_.clear();
    spare_.clear();
  }
  if (!connection_) {
    connection_ = Connection::open(displayName_);
    if (!connection_) return false;
    ::Display* x = connection_->get();
    int event = 0, error = 0, major = 0, minor = 0;
    xtest_ = XTestQueryExtension(x, &event, &error, &major, &minor);
    // Keycodes with no keysym at any level are free to borrow; the highest
    // first, as they are the least likely to be on a real key.
    int low = 0, high = 0;
    XDisplayKeycodes(x, &low, &high);
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(x, KeyCode(low), high - low + 1, &perKeycode);
    for (int code = high; map && code >= low && spare_.size() < kMaxSpareKeycodes; --code) {
      const KeySym* syms = map + size_t(code - low) * size_t(perKeycode);
      if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) spare_.push_back(unsigned(code));
    }
    if (map) XFree(map);
  }
  // Nothing is selected on this connection, but MappingNotify comes to every
  // client; read it so Xlib's key tables follow and the queue stays empty.
  ::Display* x = connection_->get();
  while (!connection_->lost() && XPending(x) > 0) {
    XEvent event;
    XNextEvent(x, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
  }
  return xtest_ && !connection_->lost();
}

bool InputInjectorX11::flush() { return connection_->sync() == 0 && !connection_->lost(); }

bool InputInjectorX11::postMouse(MouseEventType type, Point point, MouseButton, int) {
  // The click count is the X clients' business: they count clicks by the time
  // between presses, and presses arrive with the technician's own rhythm.
  if (!std::isfinite(point.x) || !std::isfinite(point.y) || !ready()) return false;
  constexpr double kLimit = std::numeric_limits<int16_t>::max();
  const int x = int(std::lround(std::clamp(point.x, 0.0, kLimit)));
  const int y = int(std::lround(std::clamp(point.y, 0.0, kLimit)));
  ::Display* d = connection_->get();
  unsigned button = 0;
  bool press = false;
  switch (type) {
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
    case MouseEventType::kRightMouseDragged: break;
    case MouseEventType::kLeftMouseDown: button = Button1, press = true; break;
    case MouseEventType::kLeftMouseUp: button = Button1; break;
    case MouseEventType::kRightMouseDown: button = Button3, press = true; break;
    case MouseEventType::kRightMouseUp: button = Button3; break;
    default: return false;
  }
  // Move first, so the press lands at the event's own point.
  XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
  if (button) XTestFakeButtonEvent(d, button, press ? True : False, CurrentTime);
  return flush();
}

bool InputInjectorX11::postScroll(int32_t wheel1, int32_t wheel2) {
  if (!ready()) return false;
  ::Display* d = connection_->get();
  // Positive wheel 1 scrolls up (button 4), positive wheel 2 left (button 6).
  auto click = [&](int steps, unsigned positive, unsigned negative) {
    const unsigned button = steps > 0 ? positive : negative;
    for (int i = 0; i < std::abs(steps); ++i) {
      XTestFakeButtonEvent(d, button, True, CurrentTime);
      XTestFakeButtonEvent(d, button, False, CurrentTime);
    }
  };
  click(vertical_.add(wheel1), 4, 5);
  click(horizontal_.add(wheel2), 6, 7);
  return flush();
}

InputInjectorX11::KeyPlace InputInjectorX11::place(KeySym keysym) {
  for (const auto& [code, sym] : borrowed_) {
    if (sym == keysym) return {code, false};
  }
  ::Display* d = connection_->get();
  const KeyCode code = XKeysymToKeycode(d, keysym);
  if (code) {
    // Read the levels from the server: Xlib's cached tables may lag behind a
    // mapping change.
    int perKeycode = 0;
    KeySym* syms = XGetKeyboardMapping(d, code, 1, &perKeycode);
    KeyPlace found;
    if (syms && perKeycode > 0 && syms[0] == keysym) found = {code, false};
    else if (syms && perKeycode > 1 && syms[1] == keysym) found = {code, true};
    if (syms) XFree(syms);
    if (found.keycode) return found;
  }
  // Only on another group or level (AltGr), or nowhere: give it a key of its own.
  return {borrow(keysym), false};
}

unsigned InputInjectorX11::borrow(KeySym keysym) {
  if (spare_.empty()) return 0;
  const unsigned code = spare_[nextSpare_++ % spare_.size()];
  KeySym syms[2] = {keysym, keysym};
  XChangeKeyboardMapping(connection_->get(), int(code), 2, syms, 1);
  if (connection_->sync() != 0) return 0;
  std::erase_if(borrowed_, [&](const auto& b) { return b.first == code; });
  borrowed_.emplace_back(code, keysym);
  return code;
}

void InputInjectorX11::restoreBorrowed() {
  KeySym none[2] = {NoSymbol, NoSymbol};
  for (const auto& b : borrowed_) XChangeKeyboardMapping(connection_->get(), int(b.first), 2, none, 1);
  borrowed_.clear();
  connection_->sync();
}

bool InputInjectorX11::serverLockOn() {
  XkbStateRec state{};
  if (XkbGetState(connection_->get(), XkbUseCoreKbd, &state) != Success) return false;
  return state.locked_mods & LockMask;
}

void InputInjectorX11::key(unsigned keycode, bool down) {
  XTestFakeKeyEvent(connection_->get(), keycode, down ? True : False, CurrentTime);
}

bool InputInjectorX11::typeCodePoint(char32_t codePoint) {
  const KeySym keysym = keysymForCodePoint(codePoint);
  if (!keysym) return true;
  const KeyPlace at = place(keysym);
  if (!at.keycode) return false;
  const bool shift = isLetterKeysym(keysym) ? isUpperLetter(keysym) != serverLockOn() : at.shifted;
  const KeyPlace shiftKey = shift ? place(XK_Shift_L) : KeyPlace{};
  if (shiftKey.keycode) key(shiftKey.keycode, true);
  key(at.keycode, true);
  key(at.keycode, false);
  if (shiftKey.keycode) key(shiftKey.keycode, false);
  return true;
}

bool InputInjectorX11::postKey(const KeyEvent& event) {
  if (!ready()) return false;
  if (!event.text.empty()) {
    // The text is typed once, by the key-down event; its key-up has nothing left to do.
    if (!event.down) return true;
    bool all = true;
    for (char32_t c : decodeUtf16(event.text)) all = typeCodePoint(c) && all;
    return flush() && all;
  }
  const KeySym keysym = keysymForMacKey(event.virtualKeyCode);
  if (!keysym) return event.virtualKeyCode == 0x3F;  // fn alone does nothing, and that is fine
  const KeyPlace at = place(keysym);
  if (!at.keycode) return false;
  std::vector<KeySym> modifiers = modifiersFor(event.flags & kFlagMask, keysym, serverLockOn());
  // A symbol that lives on the shifted level (the JIS underscore key) needs Shift.
  if (at.shifted && !isLetterKeysym(keysym) && std::find(modifiers.begin(), modifiers.end(), XK_Shift_L) == modifiers.end()) {
    modifiers.push_back(XK_Shift_L);
  }
  std::vector<unsigned> held;
  for (KeySym m : modifiers) {
    if (unsigned code = place(m).keycode) held.push_back(code);
  }
  for (unsigned code : held) key(code, true);
  key(at.keycode, event.down);
  for (auto it = held.rbegin(); it != held.rend(); ++it) key(*it, false);
  return flush();
}

}  // namespace kx::x11
