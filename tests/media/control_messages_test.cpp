#include "media/control_messages.h"

#include <gtest/gtest.h>

#include <limits>

namespace kx {
namespace {

Json parse(std::string_view text) { return parseJson(text).value(); }

TEST(ControlMessages, PingGetsPongWithTheSameNumber) {
  EXPECT_EQ(dumpJson(*pongFor(parse(R"({"kind":"ping","token":12.75})"))), R"({"kind":"pong","token":12.75})");
  EXPECT_EQ(dumpJson(*pongFor(parse(R"({"kind":"ping","token":7})"))), R"({"kind":"pong","token":7})");
  EXPECT_FALSE(pongFor(parse(R"({"kind":"ping","token":"7"})")));
  EXPECT_FALSE(pongFor(parse(R"({"kind":"ping"})")));
  EXPECT_FALSE(pongFor(parse(R"({"kind":"pong","token":1})")));
}

TEST(ControlMessages, EachSideRefusesWhatOnlyItSends) {
  // A reflected message opens with the session key at its own sender.
  const struct {
    const char* message;
    bool toClient;
    bool toTechnician;
  } cases[] = {
      {R"({"type":"offer","sdp":"v=0"})", false, true},
      {R"({"type":"answer","sdp":"v=0"})", true, false},
      {R"({"type":"candidate","candidate":{}})", true, true},
      {R"({"kind":"state","canControl":true})", false, true},
      {R"({"kind":"pong","token":1})", false, true},
      {R"({"kind":"ping","token":1})", true, false},
      {R"({"kind":"end"})", true, false},
      {R"({"kind":"pointer","action":"down","x":0,"y":0})", true, false},
      {R"({"kind":"keycode","code":0})", true, false},
      {R"({"kind":"scroll","x":0,"y":1})", true, false},
      {R"({"seq":1})", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fromOtherSide(SessionSide::kClient, parse(c.message)), c.toClient) << c.message;
    EXPECT_EQ(fromOtherSide(SessionSide::kTechnician, parse(c.message)), c.toTechnician) << c.message;
  }
}

TEST(ControlMessages, SequenceMustBeAnInteger) {
  EXPECT_EQ(inputSequence(parse(R"({"seq":5})")), 5);
  EXPECT_FALSE(inputSequence(parse(R"({"seq":5.5})")));
  EXPECT_FALSE(inputSequence(parse(R"({"seq":"5"})")));
  EXPECT_FALSE(inputSequence(parse(R"({})")));
}

TEST(ControlMessages, StateMessageCarriesVersionFour) {
  EXPECT_EQ(stateMessage(true, false),
            parse(R"({"kind":"state","canControl":true,"streaming":false,"controlVersion":4})"));
}

TEST(ControlMessages, PointerDefaultsAndClickClamp) {
  const auto plain = readPointer(parse(R"({"action":"down","x":0.5,"y":0.25})"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->button, "left");
  EXPECT_EQ(plain->clicks, 1);
  EXPECT_EQ(readPointer(parse(R"({"action":"down","x":0,"y":0,"clicks":2})"))->clicks, 2);
  EXPECT_EQ(readPointer(parse(R"({"action":"down","x":0,"y":0,"clicks":0})"))->clicks, 1);
  EXPECT_EQ(readPointer(parse(R"({"action":"down","x":0,"y":0,"clicks":9})"))->clicks, 3);
  EXPECT_EQ(readPointer(parse(R"({"action":"down","x":0,"y":0,"clicks":2.5})"))->clicks, 1);
  EXPECT_EQ(readPointer(parse(R"({"action":"down","x":0,"y":0,"button":"right"})"))->button, "right");
  EXPECT_FALSE(readPointer(parse(R"({"x":0.5,"y":0.5})")));
  EXPECT_FALSE(readPointer(parse(R"({"action":"down","x":"0.5","y":0.5})")));
}

TEST(ControlMessages, ClickNeedsFractions) {
  EXPECT_EQ(readClick(parse(R"({"x":1,"y":0})")), (Point{1, 0}));
  EXPECT_FALSE(readClick(parse(R"({"x":1.01,"y":0})")));
  EXPECT_FALSE(readClick(parse(R"({"x":-0.1,"y":0})")));
  EXPECT_FALSE(readClick(parse(R"({"x":"0.5","y":0})")));
}

TEST(ControlMessages, KeycodeRangeAndFlagMask) {
  EXPECT_FALSE(readKeycode(parse(R"({"code":128})")));
  EXPECT_FALSE(readKeycode(parse(R"({"code":-1})")));
  EXPECT_FALSE(readKeycode(parse(R"({"code":1.5})")));
  EXPECT_EQ(readKeycode(parse(R"({"code":127})"))->flags, 0u);
  // Command + shift survive; bit 0x1 and bit 0x1000000 do not.
  const auto keycode = readKeycode(parse(R"({"code":12,"flags":17956865})"));  // 0x1120001
  ASSERT_TRUE(keycode);
  EXPECT_EQ(keycode->flags, kFlagCommand | kFlagShift);
  EXPECT_EQ(readKeycode(parse(R"({"code":12,"flags":-131072})"))->flags, 0u);
  EXPECT_EQ(readKeycode(parse(R"({"code":12,"flags":"131072"})"))->flags, 0u);
  EXPECT_EQ(readKeycode(parse(R"({"code":12,"flags":18446744073709551615})"))->flags, kFlagMask);
}

TEST(ControlMessages, ScrollIsClampedAndTruncated) {
  const auto big = readScroll(parse(R"({"x":0,"y":4000})"));
  EXPECT_EQ(big->vertical, 1500);
  EXPECT_EQ(big->horizontal, 0);
  const auto small = readScroll(parse(R"({"x":-12.9,"y":-12.9})"));
  EXPECT_EQ(small->vertical, -12);
  EXPECT_EQ(small->horizontal, -12);
  EXPECT_EQ(readScroll(parse(R"({"x":-9999,"y":1})"))->horizontal, -1500);
  EXPECT_FALSE(readScroll(parse(R"({"y":1})")));
  EXPECT_FALSE(readScroll(Json{{"x", std::numeric_limits<double>::infinity()}, {"y", 1}}));
}

TEST(ControlMessages, NamedKeysPressTheirCode) {
  const auto events = readKey(parse(R"({"key":"Escape"})"));
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ((*events)[0].virtualKeyCode, 53);
  EXPECT_TRUE((*events)[0].down);
  EXPECT_FALSE((*events)[1].down);
  EXPECT_TRUE((*events)[0].text.empty());
  EXPECT_EQ(namedKeyCode("Enter"), 36);
  EXPECT_EQ(namedKeyCode("Backspace"), 51);
  EXPECT_EQ(namedKeyCode("Tab"), 48);
  EXPECT_EQ(namedKeyCode("ArrowLeft"), 123);
  EXPECT_EQ(namedKeyCode("ArrowRight"), 124);
  EXPECT_EQ(namedKeyCode("ArrowDown"), 125);
  EXPECT_EQ(namedKeyCode("ArrowUp"), 126);
  EXPECT_FALSE(namedKeyCode("escape"));
}

TEST(ControlMessages, OtherTextIsTypedAsUtf16OnKeyZero) {
  const auto events = readKey(parse(R"({"key":"é😀"})"));
  ASSERT_TRUE(events);
  for (const KeyEvent& event : *events) {
    EXPECT_EQ(event.virtualKeyCode, 0);
    EXPECT_EQ(event.text, u"é😀");
    EXPECT_EQ(event.flags, 0u);
  }
  EXPECT_EQ((*events)[0].text.size(), 3u);  // one BMP unit and a surrogate pair
}

TEST(ControlMessages, EmptyKeyTextTypesNothing) {
  EXPECT_FALSE(readKey(parse(R"({"key":""})")));
  EXPECT_FALSE(readKey(parse(R"({"key":5})")));
}

TEST(ControlMessages, Utf16Conversion) {
  EXPECT_EQ(toUtf16("abc"), u"abc");
  EXPECT_EQ(toUtf16("\xe2\x80\xa6"), u"…");
  EXPECT_EQ(toUtf16("\xf0\x9f\x98"), u"\ufffd");  // truncated
}

}  // namespace
}  // namespace kx
