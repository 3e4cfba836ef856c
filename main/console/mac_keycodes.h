// Translation of local X11 key presses into what the Mac understands: its
// virtual key codes (ANSI layout, by key position) and its modifier flags.
// X keysyms are plain numbers here so this file needs no X11 header.
#pragma once

#include <cstdint>
#include <optional>

namespace kx {

// The Mac virtual key code of the key that produces `x11Keysym` on a US
// keyboard. Letters and shifted symbols map to their key (XK_A and XK_a both
// give 0; XK_exclam gives the "1" key). Nothing for keys the Mac lacks.
std::optional<int> macKeyCodeForKeysym(uint32_t x11Keysym);

// Shift, Control, Caps Lock, Alt/Meta/AltGr and Super: keys that travel only
// as flags on other keys, never as key messages of their own.
bool isModifierKeysym(uint32_t x11Keysym);

// The Mac modifier flag bits (caps lock 0x10000, shift 0x20000, control
// 0x40000, option 0x80000, command 0x100000). Alt is Option and Super is
// Command, as on a Mac keyboard attached to a PC.
uint64_t macFlagsForModifiers(bool shift, bool control, bool alt, bool super, bool capsLock);

}  // namespace kx
