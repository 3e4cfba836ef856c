#include "platform/x11/x11_keymap.h"

#include <array>

#include "media/input_injector.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace kx::x11 {
namespace {

// macOS virtual key codes (ANSI positions) to US-layout keysyms.
constexpr std::array<KeySym, 128> kMacKeys = [] {
  std::array<KeySym, 128> k{};
  k[0x00] = XK_a; k[0x01] = XK_s; k[0x02] = XK_d; k[0x03] = XK_f; k[0x04] = XK_h; k[0x05] = XK_g;
  k[0x06] = XK_z; k[0x07] = XK_x; k[0x08] = XK_c; k[0x09] = XK_v; k[0x0A] = XK_section; k[0x0B] = XK_b;
  k[0x0C] = XK_q; k[0x0D] = XK_w; k[0x0E] = XK_e; k[0x0F] = XK_r; k[0x10] = XK_y; k[0x11] = XK_t;
  k[0x12] = XK_1; k[0x13] = XK_2; k[0x14] = XK_3; k[0x15] = XK_4; k[0x16] = XK_6; k[0x17] = XK_5;
  k[0x18] = XK_equal; k[0x19] = XK_9; k[0x1A] = XK_7; k[0x1B] = XK_minus; k[0x1C] = XK_8; k[0x1D] = XK_0;
  k[0x1E] = XK_bracketright; k[0x1F] = XK_o; k[0x20] = XK_u; k[0x21] = XK_bracketleft; k[0x22] = XK_i;
  k[0x23] = XK_p; k[0x24] = XK_Return; k[0x25] = XK_l; k[0x26] = XK_j; k[0x27] = XK_apostrophe; k[0x28] = XK_k;
  k[0x29] = XK_semicolon; k[0x2A] = XK_backslash; k[0x2B] = XK_comma; k[0x2C] = XK_slash; k[0x2D] = XK_n;
  k[0x2E] = XK_m; k[0x2F] = XK_period; k[0x30] = XK_Tab; k[0x31] = XK_space; k[0x32] = XK_grave;
  k[0x33] = XK_BackSpace; k[0x35] = XK_Escape;
  k[0x36] = XK_Super_R; k[0x37] = XK_Super_L; k[0x38] = XK_Shift_L; k[0x39] = XK_Caps_Lock; k[0x3A] = XK_Alt_L;
  k[0x3B] = XK_Control_L; k[0x3C] = XK_Shift_R; k[0x3D] = XK_Alt_R; k[0x3E] = XK_Control_R;
  // 0x3F is fn: it changes what other keys send on a Mac and has no X key.
  k[0x40] = XK_F17; k[0x41] = XK_KP_Decimal; k[0x43] = XK_KP_Multiply; k[0x45] = XK_KP_Add; k[0x47] = XK_Clear;
  k[0x48] = XF86XK_AudioRaiseVolume; k[0x49] = XF86XK_AudioLowerVolume; k[0x4A] = XF86XK_AudioMute;
  k[0x4B] = XK_KP_Divide; k[0x4C] = XK_KP_Enter; k[0x4E] = XK_KP_Subtract; k[0x4F] = XK_F18; k[0x50] = XK_F19;
  k[0x51] = XK_KP_Equal; k[0x52] = XK_KP_0; k[0x53] = XK_KP_1; k[0x54] = XK_KP_2; k[0x55] = XK_KP_3;
  k[0x56] = XK_KP_4; k[0x57] = XK_KP_5; k[0x58] = XK_KP_6; k[0x59] = XK_KP_7; k[0x5A] = XK_F20;
  k[0x5B] = XK_KP_8; k[0x5C] = XK_KP_9; k[0x5D] = XK_yen; k[0x5E] = XK_underscore; k[0x5F] = XK_KP_Separator;
  k[0x60] = XK_F5; k[0x61] = XK_F6; k[0x62] = XK_F7; k[0x63] = XK_F3; k[0x64] = XK_F8; k[0x65] = XK_F9;
  k[0x66] = XK_Eisu_toggle; k[0x67] = XK_F11; k[0x68] = XK_Hiragana_Katakana; k[0x69] = XK_F13;
  k[0x6A] = XK_F16; k[0x6B] = XK_F14; k[0x6D] = XK_F10; k[0x6E] = XK_Menu; k[0x6F] = XK_F12; k[0x71] = XK_F15;
  // A Mac's Help key sits where a PC keyboard has Insert.
  k[0x72] = XK_Insert; k[0x73] = XK_Home; k[0x74] = XK_Prior; k[0x75] = XK_Delete; k[0x76] = XK_F4;
  k[0x77] = XK_End; k[0x78] = XK_F2; k[0x79] = XK_Next; k[0x7A] = XK_F1; k[0x7B] = XK_Left; k[0x7C] = XK_Right;
  k[0x7D] = XK_Down; k[0x7E] = XK_Up;
  return k;
}();

}  // namespace

KeySym keysymForMacKey(int virtualKeyCode) {
  if (virtualKeyCode < 0 || virtualKeyCode >= int(kMacKeys.size())) return 0;
  return kMacKeys[size_t(virtualKeyCode)];
}

bool isModifierKeysym(KeySym k) {
  return (k >= XK_Shift_L && k <= XK_Hyper_R) || k == XK_ISO_Level3_Shift;
}

bool isLetterKeysym(KeySym k) { return (k >= XK_a && k <= XK_z) || (k >= XK_A && k <= XK_Z); }

std::vector<KeySym> modifiersFor(uint64_t flags, KeySym key, bool serverLockOn) {
  std::vector<KeySym> mods;
  if (isModifierKeysym(key)) return mods;
  if (flags & kFlagControl) mods.push_back(XK_Control_L);
  if (flags & kFlagOption) mods.push_back(XK_Alt_L);
  if (flags & kFlagCommand) mods.push_back(XK_Super_L);
  const bool shift = flags & kFlagShift;
  const bool shiftHeld = isLetterKeysym(key) ? (shift != bool(flags & kFlagCapsLock)) != serverLockOn : shift;
  if (shiftHeld) mods.push_back(XK_Shift_L);
  return mods;
}

KeySym keysymForCodePoint(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r': return XK_Return;
    case U'\t': return XK_Tab;
    case U'\b': return XK_BackSpace;
    default: break;
  }
  if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0) || c > 0x10ffff) return 0;
  // Latin-1 keysyms equal their code points; the rest of Unicode is offset.
  if (c < 0x100) return KeySym(c);
  return 0x01000000UL | KeySym(c);
}

std::vector<char32_t> decodeUtf16(const std::u16string& text) {
  std::vector<char32_t> out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
        ++i;
      }
      continue;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) continue;
    out.push_back(u);
  }
  return out;
}

int ScrollSteps::add(int32_t pixels) {
  if (pixels == 0) return 0;
  if ((carry_ > 0 && pixels < 0) || (carry_ < 0 && pixels > 0)) carry_ = 0;
  const int64_t total = int64_t(carry_) + pixels;
  const int64_t steps = total / kPixelsPerStep;
  carry_ = int(total - steps * kPixelsPerStep);
  return int(steps);
}

}  // namespace kx::x11
