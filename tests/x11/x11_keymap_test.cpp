// What the technician's keys and scrolls become on X: no server needed.
#include <gtest/gtest.h>

#include <set>

#include "media/input_injector.h"
#include "platform/x11/x11_keymap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace kx::x11 {
namespace {

TEST(MacKeyTable, PositionsBecomeUsKeysyms) {
  const std::pair<int, KeySym> table[] = {
      {0x00, XK_a}, {0x06, XK_z}, {0x16, XK_6}, {0x17, XK_5},  // 6 and 5 are swapped in the code order
      {0x1E, XK_bracketright}, {0x32, XK_grave}, {0x2A, XK_backslash},
      {36, XK_Return}, {51, XK_BackSpace}, {48, XK_Tab}, {53, XK_Escape}, {0x75, XK_Delete},
      {123, XK_Left}, {124, XK_Right}, {126, XK_Up}, {125, XK_Down},
      {0x52, XK_KP_0}, {0x5C, XK_KP_9}, {0x4C, XK_KP_Enter}, {0x41, XK_KP_Decimal},
      {0x3F, 0}, {0x34, 0}, {128, 0}, {-1, 0},  // fn, unused, out of range
  };
  for (const auto& [code, keysym] : table) EXPECT_EQ(keysymForMacKey(code), keysym) << "code " << code;
  const int functionKeys[20] = {0x7A, 0x78, 0x63, 0x76, 0x60, 0x61, 0x62, 0x64, 0x65, 0x6D,
                                0x67, 0x6F, 0x69, 0x6B, 0x71, 0x6A, 0x40, 0x4F, 0x50, 0x5A};
  for (int i = 0; i < 20; ++i) EXPECT_EQ(keysymForMacKey(functionKeys[i]), KeySym(XK_F1 + i)) << "F" << i + 1;
}

TEST(MacKeyTable, NoTwoCodesShareAKeysym) {
  std::set<KeySym> seen;
  for (int code = 0; code < 128; ++code) {
    const KeySym k = keysymForMacKey(code);
    if (k) {
      EXPECT_TRUE(seen.insert(k).second) << "code " << code;
    }
  }
  EXPECT_GE(seen.size(), 110u);
}

TEST(ModifiersFor, FlagsHoldTheirKeysInPressOrder) {
  const auto mods = modifiersFor(kFlagCommand | kFlagShift | kFlagControl | kFlagOption, XK_z, false);
  EXPECT_EQ(mods, (std::vector<KeySym>{XK_Control_L, XK_Alt_L, XK_Super_L, XK_Shift_L}));
}

TEST(ModifiersFor, FnHoldsNothing) { EXPECT_TRUE(modifiersFor(kFlagFunction, XK_F5, false).empty()); }

TEST(ModifiersFor, CapsLockFlagGivesCapitalsWhateverTheServerLock) {
  // Technician's caps lock on, this server's off: Shift makes the capital.
  EXPECT_EQ(modifiersFor(kFlagCapsLock, XK_a, false), (std::vector<KeySym>{XK_Shift_L}));
  // Both on: the server's lock already makes it.
  EXPECT_TRUE(modifiersFor(kFlagCapsLock, XK_a, true).empty());
  // Only the server's lock on, lower case wanted: Shift cancels it.
  EXPECT_EQ(modifiersFor(0, XK_a, true), (std::vector<KeySym>{XK_Shift_L}));
  // Shift with caps lock gives lower case.
  EXPECT_TRUE(modifiersFor(kFlagShift | kFlagCapsLock, XK_a, false).empty());
}

TEST(ModifiersFor, CapsLockLeavesDigitsAlone) {
  EXPECT_TRUE(modifiersFor(kFlagCapsLock, XK_1, true).empty());
  EXPECT_EQ(modifiersFor(kFlagShift, XK_1, true), (std::vector<KeySym>{XK_Shift_L}));
}

TEST(ModifiersFor, AModifierKeyGetsNoModifiersAroundIt) {
  EXPECT_TRUE(modifiersFor(kFlagShift | kFlagCommand, XK_Shift_L, false).empty());
}

TEST(CodePoints, Latin1IsItselfAndTheRestIsOffset) {
  EXPECT_EQ(keysymForCodePoint(U'a'), KeySym(XK_a));
  EXPECT_EQ(keysymForCodePoint(U'é'), KeySym(XK_eacute));
  EXPECT_EQ(keysymForCodePoint(U'€'), 0x10020ACu);
  EXPECT_EQ(keysymForCodePoint(U'\n'), KeySym(XK_Return));
  EXPECT_EQ(keysymForCodePoint(U'\t'), KeySym(XK_Tab));
  EXPECT_EQ(keysymForCodePoint(0x07), 0u);
  EXPECT_EQ(keysymForCodePoint(0x7F), 0u);
}

TEST(CodePoints, SurrogatePairsJoinAndStrayHalvesDrop) {
  EXPECT_EQ(decodeUtf16(u"a😀b"), (std::vector<char32_t>{U'a', U'😀', U'b'}));
  const std::u16string stray = {u'x', char16_t(0xD800), u'y', char16_t(0xDC00)};
  EXPECT_EQ(decodeUtf16(stray), (std::vector<char32_t>{U'x', U'y'}));
}

TEST(ScrollSteps, EveryFortyPixelsIsOneClickAndTurningRoundDropsTheCarry) {
  // Each row starts afresh: {pixels, clicks} in order.
  const std::vector<std::vector<std::pair<int, int>>> rows = {
      {{120, 3}, {-80, -2}, {1500, 37}},
      {{15, 0}, {15, 0}, {15, 1}, {34, 0}, {1, 1}},
      {{39, 0}, {-20, 0}, {-20, -1}, {0, 0}},
  };
  for (const auto& row : rows) {
    ScrollSteps steps;
    for (const auto& [pixels, clicks] : row) EXPECT_EQ(steps.add(pixels), clicks) << pixels;
  }
}

}  // namespace
}  // namespace kx::x11
