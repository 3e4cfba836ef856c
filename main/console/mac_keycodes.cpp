#include "console/mac_keycodes.h"

#include <array>
#include <utility>

#include "media/input_injector.h"

namespace kx {
namespace {

// X keysyms (X11/keysymdef.h values) used below.
constexpr uint32_t kXkSpace = 0x0020;
constexpr uint32_t kXkF1 = 0xffbe;
constexpr uint32_t kXkF20 = 0xffd1;
constexpr uint32_t kXkKp0 = 0xffb0;
constexpr uint32_t kXkKp9 = 0xffb9;

// Mac virtual key codes (ANSI positions) of the printable ASCII keysyms,
// shifted symbols included, indexed by keysym - 0x20.
constexpr std::array<int, 0x7f - 0x20> kAsciiKeys = {
    49,  // space
    18,  // ! (1)
    39,  // "
    20,  // # (3)
    21,  // $ (4)
    23,  // % (5)
    26,  // & (7)
    39,  // '
    25,  // ( (9)
    29,  // ) (0)
    28,  // * (8)
    24,  // + (=)
    43,  // ,
    27,  // -
    47,  // .
    44,  // /
    29, 18, 19, 20, 21, 23, 22, 26, 28, 25,  // 0-9
    41,  // :
    41,  // ;
    43,  // <
    24,  // =
    47,  // >
    44,  // ?
    19,  // @ (2)
    // A-Z
    0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9, 13, 7, 16, 6,
    33,  // [
    42,  // backslash
    30,  // ]
    22,  // ^ (6)
    27,  // _
    50,  // `
    // a-z
    0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9, 13, 7, 16, 6,
    33,  // {
    42,  // |
    30,  // }
    50,  // ~
};

// F1...F20 in keysym order.
constexpr std::array<int, 20> kFunctionKeys = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109,
                                               103, 111, 105, 107, 113, 106, 64, 79, 80, 90};

// Keypad digits 0...9.
constexpr std::array<int, 10> kKeypadDigits = {82, 83, 84, 85, 86, 87, 88, 89, 91, 92};

constexpr std::pair<uint32_t, int> kOtherKeys[] = {
    {0xff08, 51},   // BackSpace → Delete
    {0xff09, 48},   // Tab
    {0xfe20, 48},   // ISO_Left_Tab (Shift+Tab)
    {0xff0b, 71},   // Clear
    {0xff0d, 36},   // Return
    {0xff1b, 53},   // Escape
    {0xffff, 117},  // Delete → Forward Delete
    {0xff50, 115},  // Home
    {0xff51, 123},  // Left
    {0xff52, 126},  // Up
    {0xff53, 124},  // Right
    {0xff54, 125},  // Down
    {0xff55, 116},  // Page_Up
    {0xff56, 121},  // Page_Down
    {0xff57, 119},  // End
    {0xff63, 114},  // Insert sits where the Mac's Help key is
    {0xff6a, 114},  // Help
    // Keypad without Num Lock: what the key is labelled with locally.
    {0xff95, 115},  // KP_Home
    {0xff96, 123},  // KP_Left
    {0xff97, 126},  // KP_Up
    {0xff98, 124},  // KP_Right
    {0xff99, 125},  // KP_Down
    {0xff9a, 116},  // KP_Page_Up
    {0xff9b, 121},  // KP_Page_Down
    {0xff9c, 119},  // KP_End
    {0xff9e, 114},  // KP_Insert
    {0xff9f, 117},  // KP_Delete
    {0xff8d, 76},   // KP_Enter
    {0xffaa, 67},   // KP_Multiply
    {0xffab, 69},   // KP_Add
    {0xffad, 78},   // KP_Subtract
    {0xffae, 65},   // KP_Decimal
    {0xffaf, 75},   // KP_Divide
    {0xffbd, 81},   // KP_Equal
    // Modifiers alone (the Mac sends them as flags on other keys).
    {0xffe1, 56},   // Shift_L
    {0xffe2, 60},   // Shift_R
    {0xffe3, 59},   // Control_L
    {0xffe4, 62},   // Control_R
    {0xffe5, 57},   // Caps_Lock
    {0xffe7, 58},   // Meta_L (Shift+Alt on many layouts) → Option
    {0xffe8, 61},   // Meta_R
    {0xffe9, 58},   // Alt_L → Option
    {0xffea, 61},   // Alt_R → right Option
    {0xfe03, 61},   // ISO_Level3_Shift (AltGr) → right Option
    {0xffeb, 55},   // Super_L → Command
    {0xffec, 54},   // Super_R → right Command
    // Media keys.
    {0x1008ff11, 73},  // XF86AudioLowerVolume
    {0x1008ff12, 74},  // XF86AudioMute
    {0x1008ff13, 72},  // XF86AudioRaiseVolume
};

}  // namespace

std::optional<int> macKeyCodeForKeysym(uint32_t x11Keysym) {
  if (x11Keysym >= kXkSpace && x11Keysym < kXkSpace + kAsciiKeys.size()) {
    return kAsciiKeys[x11Keysym - kXkSpace];
  }
  if (x11Keysym >= kXkF1 && x11Keysym <= kXkF20) return kFunctionKeys[x11Keysym - kXkF1];
  if (x11Keysym >= kXkKp0 && x11Keysym <= kXkKp9) return kKeypadDigits[x11Keysym - kXkKp0];
  for (const auto& [keysym, code] : kOtherKeys) {
    if (keysym == x11Keysym) return code;
  }
  return std::nullopt;
}

bool isModifierKeysym(uint32_t x11Keysym) {
  // Shift_L ... Hyper_R, and ISO_Level3_Shift / ISO_Level5_Shift and their latches and locks.
  return (x11Keysym >= 0xffe1 && x11Keysym <= 0xffee) || (x11Keysym >= 0xfe01 && x11Keysym <= 0xfe13);
}

uint64_t macFlagsForModifiers(bool shift, bool control, bool alt, bool super, bool capsLock) {
  uint64_t flags = 0;
  if (capsLock) flags |= kFlagCapsLock;
  if (shift) flags |= kFlagShift;
  if (control) flags |= kFlagControl;
  if (alt) flags |= kFlagOption;
  if (super) flags |= kFlagCommand;
  return flags;
}

}  // namespace kx
