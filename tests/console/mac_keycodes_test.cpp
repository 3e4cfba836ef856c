#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "console/mac_keycodes.h"

namespace kx {
namespace {

TEST(MacKeyCodes, LettersMapByPositionWhateverTheirCase) {
  std::set<int> codes;
  for (uint32_t c = 'a'; c <= 'z'; ++c) {
    auto code = macKeyCodeForKeysym(c);
    ASSERT_TRUE(code) << char(c);
    EXPECT_EQ(code, macKeyCodeForKeysym(c - 'a' + 'A'));
    codes.insert(*code);
  }
  EXPECT_EQ(codes.size(), 26u);
  EXPECT_EQ(macKeyCodeForKeysym('a'), 0);
  EXPECT_EQ(macKeyCodeForKeysym('c'), 8);
  EXPECT_EQ(macKeyCodeForKeysym('q'), 12);
  EXPECT_EQ(macKeyCodeForKeysym('m'), 46);
}

TEST(MacKeyCodes, KnownKeys) {
  const std::pair<uint32_t, int> keys[] = {
      // digits and their shifted symbols share a key
      {'1', 18}, {'!', 18}, {'@', 19}, {'5', 23}, {'^', 22}, {'9', 25}, {'(', 25}, {'0', 29}, {')', 29},
      // punctuation, shifted or not
      {' ', 49}, {'_', 27}, {'+', 24}, {'[', 33}, {'}', 30}, {'|', 42}, {';', 41}, {'"', 39}, {',', 43},
      {'>', 47}, {'?', 44}, {'`', 50}, {'~', 50},
      // editing and navigation
      {0xff0d, 36}, {0xff09, 48}, {0xfe20, 48}, {0xff08, 51}, {0xffff, 117}, {0xff1b, 53}, {0xff51, 123},
      {0xff53, 124}, {0xff54, 125}, {0xff52, 126}, {0xff50, 115}, {0xff57, 119}, {0xff55, 116}, {0xff56, 121},
      // F1, F12, F13, F20
      {0xffbe, 122}, {0xffc9, 111}, {0xffca, 105}, {0xffd1, 90},
      // keypad, with and without Num Lock
      {0xffb0, 82}, {0xffb7, 89}, {0xffb8, 91}, {0xff8d, 76}, {0xffab, 69}, {0xffae, 65}, {0xff96, 123},
      // modifiers
      {0xffe1, 56}, {0xffe3, 59}, {0xffe9, 58}, {0xffeb, 55}, {0xffe5, 57},
  };
  for (const auto& [keysym, code] : keys) EXPECT_EQ(macKeyCodeForKeysym(keysym), code) << std::hex << keysym;
}

TEST(MacKeyCodes, UnknownKeysymsHaveNoCode) {
  for (uint32_t keysym : {0u, 0x1fu, 0x7fu, 0xe9u /* eacute */, 0xffd2u /* F21 */, 0xffffffffu}) {
    EXPECT_FALSE(macKeyCodeForKeysym(keysym)) << std::hex << keysym;
  }
}

TEST(MacKeyCodes, ModifierKeysAreRecognised) {
  for (uint32_t keysym : {0xffe1u, 0xffe2u, 0xffe3u, 0xffe5u, 0xffe9u, 0xffebu, 0xfe03u}) {
    EXPECT_TRUE(isModifierKeysym(keysym)) << std::hex << keysym;
  }
  for (uint32_t keysym : {uint32_t('a'), 0xff0du, 0xffbeu, 0xffffu, 0xfe20u /* Shift+Tab */}) {
    EXPECT_FALSE(isModifierKeysym(keysym)) << std::hex << keysym;
  }
}

TEST(MacModifierFlags, EachModifierHasItsBit) {
  EXPECT_EQ(macFlagsForModifiers(false, false, false, false, false), 0u);
  EXPECT_EQ(macFlagsForModifiers(true, false, false, false, false), 0x20000u);
  EXPECT_EQ(macFlagsForModifiers(false, true, false, false, false), 0x40000u);
  EXPECT_EQ(macFlagsForModifiers(false, false, true, false, false), 0x80000u);
  EXPECT_EQ(macFlagsForModifiers(false, false, false, true, false), 0x100000u);
  EXPECT_EQ(macFlagsForModifiers(false, false, false, false, true), 0x10000u);
}

}  // namespace
}  // namespace kx
