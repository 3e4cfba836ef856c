// What the technician's keys and scrolls become on X: no server needed.
#include <gtest/gtest.h>

#include <set>

#include "media/input_injector.h"
#include "platform/x11/x11_keymap.h"

#include <X11/keysym.h>

namespace kx::x11 {
namespace {

TEST(KeyMap, PositionsBecomeDistinctUsKeysyms) {
  const std::pair<int, KeySym> table[] = {
      {0x00, XK_a}, {0x06, XK_z}, {0x16, XK_6}, {0x17, XK_5},  // 6 and 5 are swapped in the code order
      {0x1E, XK_bracketright}, {0x32, XK_grave}, {36, XK_Return}, {51, XK_BackSpace}, {53, XK_Escape},
      {0x75, XK_Delete}, {123, XK_Left}, {126, XK_Up}, {0x52, XK_KP_0}, {0x4C, XK_KP_Enter}, {0x41, XK_KP_Decimal},
      {0x7A, XK_F1}, {0x69, XK_F13}, {0x5A, XK_F20}, {0x3F, 0}, {0x34, 0}, {128, 0}, {-1, 0},  // fn, unused, out of range
  };
  for (const auto& [code, keysym] : table) EXPECT_EQ(keysymForMacKey(code), keysym) << "code " << code;
  std::set<KeySym> seen;
  for (int code = 0; code < 128; ++code) {
    if (const KeySym k = keysymForMacKey(code)) {
      EXPECT_TRUE(seen.insert(k).second) << "code " << code;
    }
  }
  EXPECT_GE(seen.size(), 110u);
}

TEST(KeyMap, FlagsHoldTheirModifiersAndCapsLockGivesCapitalsWhateverTheServerLock) {
  using Keys = std::vector<KeySym>;
  const struct {
    uint64_t flags;
    KeySym key;
    bool serverLock;
    Keys held;
  } cases[] = {
      {kFlagCommand | kFlagShift | kFlagControl | kFlagOption, XK_z, false,
       Keys{XK_Control_L, XK_Alt_L, XK_Super_L, XK_Shift_L}},
      {kFlagFunction, XK_F5, false, Keys{}},
      {kFlagCapsLock, XK_a, false, Keys{XK_Shift_L}},  // the technician's lock on, this server's off
      {kFlagCapsLock, XK_a, true, Keys{}},             // both on: the server's lock makes it
      {0, XK_a, true, Keys{XK_Shift_L}},               // only the server's: Shift cancels it
      {kFlagShift | kFlagCapsLock, XK_a, false, Keys{}},
      {kFlagCapsLock, XK_1, true, Keys{}},  // caps lock leaves digits alone
      {kFlagShift, XK_1, true, Keys{XK_Shift_L}},
      {kFlagShift | kFlagCommand, XK_Shift_L, false, Keys{}},  // a modifier key gets none around it
  };
  for (const auto& c : cases) EXPECT_EQ(modifiersFor(c.flags, c.key, c.serverLock), c.held) << c.flags << " " << c.key;
}

TEST(ScrollSteps, EveryFortyPixelsIsOneClickAndTurningRoundDropsTheCarry) {
  const std::vector<std::vector<std::pair<int, int>>> rows = {  // {pixels, clicks} in order, each row afresh
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
