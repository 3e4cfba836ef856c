// What the technician's keys mean on this computer: macOS virtual key codes
// (ANSI/US positions) as X keysyms, the modifier keys behind the protocol's
// flags, and text as keysyms. Pure functions; no server involved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::x11 {

using KeySym = unsigned long;

// The keysym of a macOS virtual key code (0...127), or 0 for codes without a
// key (the fn key, unused codes). Letters give their lower-case keysym;
// punctuation gives the unshifted US symbol of that position.
KeySym keysymForMacKey(int virtualKeyCode);

// Modifier keys to hold around `key` for the protocol's `flags`, in press
// order (release in reverse): Control, Alt (option), Super (command), Shift.
// Caps lock is a state, not a held key: for a letter, Shift is held exactly
// when the wanted case (shift XOR caps lock) differs from what the server's
// own lock (`serverLockOn`) produces. fn has no X counterpart. A modifier key
// itself gets no modifiers around it.
std::vector<KeySym> modifiersFor(uint64_t flags, KeySym key, bool serverLockOn);

bool isModifierKeysym(KeySym keysym);
bool isLetterKeysym(KeySym keysym);

// The keysym that types one Unicode code point, or 0 when none should be typed
// (control characters other than tab, newline and backspace).
KeySym keysymForCodePoint(char32_t codePoint);

// UTF-16 to code points; unpaired surrogates are dropped.
std::vector<char32_t> decodeUtf16(const std::u16string& text);

// Pixel scrolling as wheel clicks. X has no pixel scrolling for core clients:
// every kPixelsPerStep pixels in one direction make one click, the rest is
// carried to the next event in the same direction and dropped when the
// direction turns, so a slow trackpad scroll still moves and a reversal does
// not first pay back the old remainder.
class ScrollSteps {
 public:
  static constexpr int kPixelsPerStep = 40;
  // Clicks for this event on one axis, signed like the input.
  int add(int32_t pixels);

 private:
  int carry_ = 0;
};

}  // namespace kx::x11
