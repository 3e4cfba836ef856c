// The console's input view and the key codes it sends.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "console/mac_keycodes.h"
#include "console/remote_input_view.h"
#include "protocol/json.h"

namespace kx {
namespace {

// A 1600×1000 area showing a 1920×1080 picture: the picture is 1600×900 at y = 50.
class InputViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.setEmit([this](const Json& message) { emitted.push_back(message); });
    view.setBounds(1600, 1000);
    view.videoSizeChanged(1920, 1080);
    view.setAllowed(true);
  }

  const Json& last() const { return emitted.back(); }

  RemoteInputView view;
  std::vector<Json> emitted;
};

TEST(InputViewFitting, StartsAtSixteenByTen) {
  RemoteInputView view;
  view.setBounds(1000, 1000);
  const Rect frame = view.videoFrame();
  EXPECT_DOUBLE_EQ(frame.width, 1000);
  EXPECT_DOUBLE_EQ(frame.height, 625);
  EXPECT_DOUBLE_EQ(frame.x, 0);
  EXPECT_DOUBLE_EQ(frame.y, 187.5);
}

TEST_F(InputViewTest, WidePictureIsCentredVertically) {
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));
}

TEST_F(InputViewTest, TallPictureIsCentredHorizontally) {
  EXPECT_TRUE(view.videoSizeChanged(1000, 1000));
  EXPECT_EQ(view.videoFrame(), (Rect{300, 0, 1000, 1000}));
}

TEST_F(InputViewTest, EmptyOrInvalidPictureSizesAreIgnored) {
  EXPECT_FALSE(view.videoSizeChanged(0, 0));
  EXPECT_FALSE(view.videoSizeChanged(1280, -1));
  EXPECT_FALSE(view.videoSizeChanged(std::nan(""), 720));
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));
  EXPECT_TRUE(view.videoSizeChanged(1280, 720));
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));  // also 16:9
  EXPECT_TRUE(view.videoSizeChanged(1440, 900));
  EXPECT_EQ(view.videoFrame(), (Rect{0, 0, 1600, 1000}));
}

TEST_F(InputViewTest, MappingIsRelativeToThePictureAndClamped) {
  EXPECT_EQ(view.mapToPicture({800, 500}), (Point{0.5, 0.5}));
  EXPECT_EQ(view.mapToPicture({0, 50}), (Point{0, 0}));
  EXPECT_EQ(view.mapToPicture({1600, 950}), (Point{1, 1}));
  EXPECT_EQ(view.mapToPicture({-20, 10}), (Point{0, 0}));
  EXPECT_EQ(view.mapToPicture({5000, 990}), (Point{1, 1}));
  EXPECT_EQ(view.mapToPicture({std::nan(""), 500}), (Point{0, 0.5}));
}

TEST_F(InputViewTest, ClickOnThePictureTopEdgeGivesZero) {
  EXPECT_TRUE(view.mouseDown(MouseButton::kLeft, {400, 50}, 1));
  ASSERT_EQ(emitted.size(), 1u);
  EXPECT_EQ(last(), (Json{{"kind", "pointer"}, {"action", "down"}, {"button", "left"}, {"clicks", 1},
                          {"x", 0.25}, {"y", 0.0}}));
}

TEST_F(InputViewTest, ClickInTheBlackBandGivesNothingAndTakesNoFocus) {
  EXPECT_FALSE(view.mouseDown(MouseButton::kLeft, {400, 49}, 1));
  EXPECT_FALSE(view.mouseDown(MouseButton::kRight, {400, 960}, 1));
  EXPECT_FALSE(view.held());
  view.mouseUp({400, 49}, 1);
  EXPECT_TRUE(emitted.empty());
}

TEST_F(InputViewTest, HoverOnlyOverThePictureAndWithoutButton) {
  view.mouseMoved({800, 20});
  EXPECT_TRUE(emitted.empty());
  view.mouseMoved({800, 500});
  ASSERT_EQ(emitted.size(), 1u);
  EXPECT_EQ(last()["action"], "hover");
  EXPECT_EQ(last()["clicks"], 0);
  view.mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.mouseMoved({900, 500});
  EXPECT_EQ(emitted.size(), 2u);
  view.mouseUp({900, 500}, 1);
  // Not while another window is active.
  view.setWindowActive(false);
  view.mouseMoved({800, 500});
  EXPECT_EQ(emitted.size(), 3u);
}

TEST_F(InputViewTest, FirstPressIntoAnUnfocusedAreaOnlyFocusesIt) {
  EXPECT_TRUE(view.mouseDown(MouseButton::kLeft, {800, 500}, 1, /*focused=*/false));
  view.mouseDragged({900, 500}, 1);
  view.mouseUp({900, 500}, 1);
  EXPECT_TRUE(emitted.empty());
  EXPECT_TRUE(view.mouseDown(MouseButton::kLeft, {800, 500}, 1));
  EXPECT_EQ(last()["action"], "down");
}

TEST_F(InputViewTest, ClickCountsFollowTimeDistanceAndButton) {
  const struct {
    MouseButton button;
    Point point;
    double seconds;
    int clicks;
  } presses[] = {
      {MouseButton::kLeft, {100, 100}, 10.0, 1},   {MouseButton::kLeft, {102, 101}, 10.3, 2},
      {MouseButton::kLeft, {101, 100}, 10.6, 3},   {MouseButton::kLeft, {101, 100}, 10.8, 3},  // stays at 3
      {MouseButton::kLeft, {101, 100}, 11.5, 1},   // too late
      {MouseButton::kLeft, {120, 100}, 11.6, 1},   // too far
      {MouseButton::kRight, {120, 100}, 11.7, 1},  // another button
      {MouseButton::kRight, {120, 100}, 11.8, 2},
  };
  for (const auto& p : presses) {
    EXPECT_EQ(view.countClick(p.button, p.point, p.seconds), p.clicks) << p.seconds;
  }
}

TEST_F(InputViewTest, NothingWhileInputIsOff) {
  view.setAllowed(false);
  view.mouseMoved({800, 500});
  EXPECT_FALSE(view.mouseDown(MouseButton::kLeft, {800, 500}, 1));
  view.scroll(0, 3);
  view.keyDown(0, 0, "a");
  EXPECT_FALSE(view.keyEquivalent(8, 0x100000, "c", true));
  EXPECT_TRUE(emitted.empty());
}

TEST_F(InputViewTest, DragLeavingThePictureStaysPinnedAndStillEndsWithUp) {
  view.mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.mouseDragged({-50, 500}, 1);
  EXPECT_EQ(last()["action"], "move");
  EXPECT_EQ(last()["x"], 0.0);
  view.mouseDragged({800, 2000}, 1);
  EXPECT_EQ(last()["y"], 1.0);
  view.mouseUp({2000, 2000}, 1);
  EXPECT_EQ(last()["action"], "up");
  EXPECT_EQ(last()["x"], 1.0);
  EXPECT_FALSE(view.held());
}

TEST_F(InputViewTest, DragKeepsRightButton) {
  view.mouseDown(MouseButton::kRight, {800, 500}, 1);
  view.mouseDragged({900, 500}, 1);
  EXPECT_EQ(last()["button"], "right");
  view.mouseUp({900, 500}, 1);
  EXPECT_EQ(last()["button"], "right");
  view.mouseMoved({700, 500});
  EXPECT_EQ(last()["button"], "right");  // hover carries the last pressed button
}

TEST_F(InputViewTest, DoubleClickCarriesClickCounts) {
  view.mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.mouseUp({800, 500}, 1);
  view.mouseDown(MouseButton::kLeft, {800, 500}, 2);
  view.mouseUp({800, 500}, 2);
  ASSERT_EQ(emitted.size(), 4u);
  EXPECT_EQ(emitted[0]["clicks"], 1);
  EXPECT_EQ(emitted[2]["action"], "down");
  EXPECT_EQ(emitted[2]["clicks"], 2);
}

TEST_F(InputViewTest, ReleaseWithoutHeldButtonDoesNothing) {
  view.release();
  EXPECT_TRUE(emitted.empty());
}

TEST_F(InputViewTest, ReleaseLetsGoOnceAtTheLastPosition) {
  view.mouseDown(MouseButton::kRight, {400, 275}, 1);
  view.release();
  ASSERT_EQ(emitted.size(), 2u);
  EXPECT_EQ(last(), (Json{{"kind", "pointer"}, {"action", "up"}, {"button", "right"}, {"clicks", 1},
                          {"x", 0.25}, {"y", 0.25}}));
  view.mouseUp({400, 275}, 1);
  EXPECT_EQ(emitted.size(), 2u);
}

TEST_F(InputViewTest, ReleaseStillWorksAfterInputIsSwitchedOff) {
  view.mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.setAllowed(false);
  view.renewHold();
  EXPECT_EQ(emitted.size(), 1u);
  view.mouseUp({800, 500}, 1);
  ASSERT_EQ(emitted.size(), 2u);
  EXPECT_EQ(last()["action"], "up");
}

TEST_F(InputViewTest, RenewHoldRepeatsTheHeldPositionAsMove) {
  view.renewHold();
  EXPECT_TRUE(emitted.empty());
  view.mouseDown(MouseButton::kLeft, {800, 500}, 1);
  view.mouseDragged({1200, 500}, 1);
  view.renewHold();
  ASSERT_EQ(emitted.size(), 3u);
  EXPECT_EQ(last()["action"], "move");
  EXPECT_EQ(last()["x"], 0.75);
}

TEST_F(InputViewTest, ScrollPassesDeltasAndDropsNonFiniteOnes) {
  view.scroll(-1.5, 12);
  ASSERT_EQ(emitted.size(), 1u);
  EXPECT_EQ(last(), (Json{{"kind", "scroll"}, {"x", -1.5}, {"y", 12.0}}));
  view.scroll(std::numeric_limits<double>::infinity(), 1);
  EXPECT_EQ(emitted.size(), 1u);
}

TEST_F(InputViewTest, NamedKeysSendTheirNames) {
  const std::vector<std::pair<int, std::string>> named = {
      {36, "Enter"},      {51, "Backspace"},  {48, "Tab"},       {53, "Escape"},
      {123, "ArrowLeft"}, {124, "ArrowRight"}, {125, "ArrowDown"}, {126, "ArrowUp"}};
  for (const auto& [code, name] : named) {
    view.keyDown(code, 0, "\r");
    EXPECT_EQ(last()["key"], name) << code;
    EXPECT_EQ(last()["code"], code);
  }
}

TEST_F(InputViewTest, OtherKeysSendTheirCharactersAndFlags) {
  view.keyDown(0, 0x20000, "A");
  EXPECT_EQ(last(), (Json{{"kind", "keycode"}, {"code", 0}, {"flags", 0x20000}, {"key", "A"}}));
  view.keyDown(122, 0, "");
  EXPECT_EQ(last()["key"], "");
}

TEST_F(InputViewTest, KeyEquivalentIsConsumedOnlyWithFocus) {
  EXPECT_FALSE(view.keyEquivalent(8, 0x100000, "c", false));
  EXPECT_TRUE(emitted.empty());
  EXPECT_TRUE(view.keyEquivalent(8, 0x100000, "c", true));
  EXPECT_EQ(last(), (Json{{"kind", "keycode"}, {"code", 8}, {"flags", 0x100000}, {"key", "c"}}));
}

TEST(InputViewEmit, NothingWithoutEmit) {
  RemoteInputView view;
  view.setBounds(100, 100);
  view.setAllowed(true);
  view.keyDown(0, 0, "a");
  EXPECT_TRUE(view.mouseDown(MouseButton::kLeft, {50, 50}, 1));  // still tracks the press
  EXPECT_TRUE(view.held());
}

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
