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
  Json pointer(const char* action, double x, double y, const char* button = "left", int clicks = 1) const {
    return Json{{"kind", "pointer"}, {"action", action}, {"button", button}, {"clicks", clicks}, {"x", x}, {"y", y}};
  }

  RemoteInputView view;
  std::vector<Json> emitted;
};

TEST_F(InputViewTest, PictureIsFittedAndCentredAndPointsMapIntoIt) {
  RemoteInputView fresh;
  fresh.setBounds(1000, 1000);
  EXPECT_EQ(fresh.videoFrame(), (Rect{0, 187.5, 1000, 625}));  // 16:10 until a picture arrives
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));
  const std::pair<double, double> invalid[] = {{0, 0}, {1280, -1}, {std::nan(""), 720}};
  for (const auto& [w, h] : invalid) EXPECT_FALSE(view.videoSizeChanged(w, h));
  EXPECT_EQ(view.videoFrame(), (Rect{0, 50, 1600, 900}));
  const std::pair<Point, Point> mapped[] = {
      {{800, 500}, {0.5, 0.5}}, {{0, 50}, {0, 0}},      {{1600, 950}, {1, 1}},
      {{-20, 10}, {0, 0}},      {{5000, 990}, {1, 1}}, {{std::nan(""), 500}, {0, 0.5}},
  };
  for (const auto& [in, out] : mapped) EXPECT_EQ(view.mapToPicture(in), out) << in.x << "," << in.y;
  EXPECT_TRUE(view.videoSizeChanged(1000, 1000));
  EXPECT_EQ(view.videoFrame(), (Rect{300, 0, 1000, 1000}));
}

TEST_F(InputViewTest, DragStaysPinnedKeepsItsButtonAndEndsWithOneUp) {
  view.mouseMoved({800, 20});  // hover outside the picture
  view.mouseMoved({800, 500});
  view.mouseDown(MouseButton::kRight, {800, 500}, 2);
  view.mouseMoved({900, 500});  // no hover while held
  view.mouseDragged({-50, 2000}, 1);
  view.renewHold();
  view.mouseUp({2000, 2000}, 2);
  view.release();
  view.mouseMoved({800, 500});
  view.setWindowActive(false);
  view.mouseMoved({800, 500});
  EXPECT_EQ(emitted, (std::vector<Json>{pointer("hover", 0.5, 0.5, "left", 0), pointer("down", 0.5, 0.5, "right", 2),
                                        pointer("move", 0, 1, "right"), pointer("move", 0, 1, "right"),
                                        pointer("up", 1, 1, "right", 2), pointer("hover", 0.5, 0.5, "right", 0)}));
}

TEST_F(InputViewTest, ClickCountsFollowTimeDistanceAndButton) {
  const struct {
    MouseButton button;
    Point point;
    double seconds;
    int clicks;
  } presses[] = {
      {MouseButton::kLeft, {100, 100}, 10.0, 1},   {MouseButton::kLeft, {102, 101}, 10.3, 2},
      {MouseButton::kLeft, {101, 100}, 10.6, 3},   {MouseButton::kLeft, {101, 100}, 10.8, 3},
      {MouseButton::kLeft, {101, 100}, 11.5, 1},   {MouseButton::kLeft, {120, 100}, 11.6, 1},
      {MouseButton::kRight, {120, 100}, 11.7, 1},  {MouseButton::kRight, {120, 100}, 11.8, 2},
  };
  for (const auto& p : presses) EXPECT_EQ(view.countClick(p.button, p.point, p.seconds), p.clicks) << p.seconds;
}

TEST_F(InputViewTest, ScrollAndKeysCarryTheirValues) {
  view.scroll(-1.5, 12);
  view.scroll(std::numeric_limits<double>::infinity(), 1);
  view.keyDown(0, 0x20000, "A");
  EXPECT_FALSE(view.keyEquivalent(8, 0x100000, "c", false));
  EXPECT_TRUE(view.keyEquivalent(8, 0x100000, "c", true));
  EXPECT_EQ(emitted, (std::vector<Json>{Json{{"kind", "scroll"}, {"x", -1.5}, {"y", 12.0}},
                                        Json{{"kind", "keycode"}, {"code", 0}, {"flags", 0x20000}, {"key", "A"}},
                                        Json{{"kind", "keycode"}, {"code", 8}, {"flags", 0x100000}, {"key", "c"}}}));
  const std::pair<int, std::string> named[] = {{36, "Enter"},      {51, "Backspace"},  {48, "Tab"},
                                               {53, "Escape"},     {123, "ArrowLeft"}, {124, "ArrowRight"},
                                               {125, "ArrowDown"}, {126, "ArrowUp"},   {122, ""}};
  for (const auto& [code, name] : named) {
    view.keyDown(code, 0, code == 122 ? "" : "\r");
    EXPECT_EQ(emitted.back()["key"], name) << code;
  }
}

TEST(MacKeyCodes, KeysymsMapToTheKeyInTheirPosition) {
  std::set<int> letters;
  for (uint32_t c = 'a'; c <= 'z'; ++c) {
    ASSERT_TRUE(macKeyCodeForKeysym(c)) << char(c);
    EXPECT_EQ(macKeyCodeForKeysym(c), macKeyCodeForKeysym(c - 'a' + 'A'));
    letters.insert(*macKeyCodeForKeysym(c));
  }
  EXPECT_EQ(letters.size(), 26u);
  const std::pair<uint32_t, std::optional<int>> keys[] = {
      {'a', 0}, {'c', 8}, {'q', 12}, {'m', 46},
      // digits and their shifted symbols share a key
      {'1', 18}, {'!', 18}, {'@', 19}, {'5', 23}, {'^', 22}, {'9', 25}, {'(', 25}, {'0', 29}, {')', 29},
      {' ', 49}, {'_', 27}, {'+', 24}, {'[', 33}, {'}', 30}, {'|', 42}, {';', 41}, {'"', 39}, {',', 43},
      {'>', 47}, {'?', 44}, {'`', 50}, {'~', 50},
      // editing and navigation, F1, F12, F13, F20, the keypad with and without Num Lock, modifiers
      {0xff0d, 36}, {0xff09, 48}, {0xfe20, 48}, {0xff08, 51}, {0xffff, 117}, {0xff1b, 53}, {0xff51, 123},
      {0xff53, 124}, {0xff54, 125}, {0xff52, 126}, {0xff50, 115}, {0xff57, 119}, {0xff55, 116}, {0xff56, 121},
      {0xffbe, 122}, {0xffc9, 111}, {0xffca, 105}, {0xffd1, 90},
      {0xffb0, 82}, {0xffb7, 89}, {0xffb8, 91}, {0xff8d, 76}, {0xffab, 69}, {0xffae, 65}, {0xff96, 123},
      {0xffe1, 56}, {0xffe3, 59}, {0xffe9, 58}, {0xffeb, 55}, {0xffe5, 57},
      // no key: control characters, DEL, é, F21, garbage
      {0, {}}, {0x1f, {}}, {0x7f, {}}, {0xe9, {}}, {0xffd2, {}}, {0xffffffff, {}},
  };
  for (const auto& [keysym, code] : keys) EXPECT_EQ(macKeyCodeForKeysym(keysym), code) << std::hex << keysym;
  for (uint32_t keysym : {0xffe1u, 0xffe2u, 0xffe3u, 0xffe5u, 0xffe9u, 0xffebu, 0xfe03u}) {
    EXPECT_TRUE(isModifierKeysym(keysym)) << std::hex << keysym;
  }
  for (uint32_t keysym : {uint32_t('a'), 0xff0du, 0xffbeu, 0xffffu, 0xfe20u}) EXPECT_FALSE(isModifierKeysym(keysym));
  EXPECT_EQ(macFlagsForModifiers(false, false, false, false, false), 0u);
  const uint64_t bits[] = {0x20000, 0x40000, 0x80000, 0x100000, 0x10000};  // Shift Control Option Command CapsLock
  for (int i = 0; i < 5; ++i) EXPECT_EQ(macFlagsForModifiers(i == 0, i == 1, i == 2, i == 3, i == 4), bits[i]);
}

}  // namespace
}  // namespace kx
