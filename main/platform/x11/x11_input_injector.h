// InputInjector over XTest. Pointer events go to global (root) coordinates;
// key events become keysyms of this computer's keyboard map; text that the
// map cannot type is typed through spare keycodes given the needed keysym.
// Loop thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/input_injector.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_keymap.h"

namespace kx::x11 {

class InputInjectorX11 final : public InputInjector {
 public:
  // `displayName` empty means $DISPLAY. The connection opens on first use and
  // again after it was lost.
  explicit InputInjectorX11(std::string displayName);
  // Gives the borrowed keycodes their empty mapping back.
  ~InputInjectorX11() override;

  bool postMouse(MouseEventType type, Point point, MouseButton button, int clickCount) override;
  bool postKey(const KeyEvent& event) override;
  bool postScroll(int32_t wheel1, int32_t wheel2) override;

 private:
  // Where a keysym is: its keycode and whether Shift reaches it.
  struct KeyPlace {
    unsigned keycode = 0;
    bool shifted = false;
  };

  bool ready();
  bool flush();
  KeyPlace place(KeySym keysym);
  // A spare keycode that types `keysym` (borrowed ones are reused round-robin).
  unsigned borrow(KeySym keysym);
  void restoreBorrowed();
  bool serverLockOn();
  void key(unsigned keycode, bool down);
  bool typeCodePoint(char32_t codePoint);

  std::string displayName_;
  std::unique_ptr<Connection> connection_;
  bool xtest_ = false;
  std::vector<unsigned> spare_;             // keycodes with no keysym at all
  std::vector<std::pair<unsigned, KeySym>> borrowed_;
  size_t nextSpare_ = 0;
  ScrollSteps vertical_;
  ScrollSteps horizontal_;
};

}  // namespace kx::x11
