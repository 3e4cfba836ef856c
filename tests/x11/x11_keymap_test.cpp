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
  EXPECT_EQ(keysymForMacKey(0x00), KeySym(XK_a));
  EXPECT_EQ(keysymForMacKey(0x06), KeySym(XK_z));
  EXPECT_EQ(keysymForMacKey(0x16), KeySym(XK_6));  // 6 and 5 are swapped in the code order
  EXPECT_EQ(keysymForMacKey(0x17), KeySym(XK_5));
  EXPECT_EQ(keysymForMacKey(0x1E), KeySym(XK_bracketright));
  EXPECT_EQ(keysymForMacKey(0x32), KeySym(XK_grave));
  EXPECT_EQ(keysymForMacKey(0x2A), KeySym(XK_backslash));
}

TEST(MacKeyTable, TheProtocolsNamedKeysAreThere) {
  EXPECT_EQ(keysymForMacKey(36), KeySym(XK_Return));
  EXPECT_EQ(keysymForMacKey(51), KeySym(XK_BackSpace));
  EXPECT_EQ(keysymForMacKey(48), KeySym(XK_Tab));
  EXPECT_EQ(keysymForMacKey(53), KeySym(XK_Escape));
  EXPECT_EQ(keysymForMacKey(123), KeySym(XK_Left));
  EXPECT_EQ(keysymForMacKey(124), KeySym(XK_Right));
  EXPECT_EQ(keysymForMacKey(126), KeySym(XK_Up));
  EXPECT_EQ(keysymForMacKey(125), KeySym(XK_Down));
}

TEST(MacKeyTable, ForwardDeleteIsDeleteAndBackspaceIsNot) {
  EXPECT_EQ(keysymForMacKey(0x75), KeySym(XK_Delete));
  EXPECT_NE(keysymForMacKey(0x33), keysymForMacKey(0x75));
}

TEST(MacKeyTable, EveryFunctionKeyFromF1ToF20) {
  const int codes[20] = {0x7A, 0x78, 0x63, 0x76, 0x60, 0x61, 0x62, 0x64, 0x65, 0x6D,
                         0x67, 0x6F, 0x69, 0x6B, 0x71, 0x6A, 0x40, 0x4F, 0x50, 0x5A};
  for (int i = 0; i < 20; ++i) EXPECT_EQ(keysymForMacKey(codes[i]), KeySym(XK_F1 + i)) << "F" << i + 1;
}

TEST(MacKeyTable, KeypadKeysStayKeypadKeys) {
  EXPECT_EQ(keysymForMacKey(0x52), KeySym(XK_KP_0));
  EXPECT_EQ(keysymForMacKey(0x5C), KeySym(XK_KP_9));
  EXPECT_EQ(keysymForMacKey(0x4C), KeySym(XK_KP_Enter));
  EXPECT_EQ(keysymForMacKey(0x41), KeySym(XK_KP_Decimal));
}

TEST(MacKeyTable, FnAndUnusedCodesHaveNoKey) {
  EXPECT_EQ(keysymForMacKey(0x3F), 0u);
  EXPECT_EQ(keysymForMacKey(0x34), 0u);
  EXPECT_EQ(keysymForMacKey(128), 0u);
  EXPECT_EQ(keysymForMacKey(-1), 0u);
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

TEST(ScrollSteps, EveryFortyPixelsIsOneClick) {
  ScrollSteps steps;
  EXPECT_EQ(steps.add(120), 3);
  EXPECT_EQ(steps.add(-80), -2);
  EXPECT_EQ(steps.add(1500), 37);
}

TEST(ScrollSteps, SmallScrollsAddUp) {
  ScrollSteps steps;
  EXPECT_EQ(steps.add(15), 0);
  EXPECT_EQ(steps.add(15), 0);
  EXPECT_EQ(steps.add(15), 1);
  EXPECT_EQ(steps.add(34), 0);
  EXPECT_EQ(steps.add(1), 1);
}

TEST(ScrollSteps, TurningRoundDropsTheCarry) {
  ScrollSteps steps;
  EXPECT_EQ(steps.add(39), 0);
  EXPECT_EQ(steps.add(-20), 0);
  EXPECT_EQ(steps.add(-20), -1);
  EXPECT_EQ(steps.add(0), 0);
}

}  // namespace
}  // namespace kx::x11
