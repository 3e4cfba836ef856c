#include "media/pointer_state.h"

#include <gtest/gtest.h>

#include <limits>

namespace kx {
namespace {

constexpr Rect kScreen{0, 0, 1440, 900};

TEST(PointerState, DownMoveUpOfTheLeftButton) {
  PointerState pointer;
  EXPECT_EQ(pointer.receive("down", 0.5, 0.5, kScreen, 10, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kLeftMouseDown, {720, 450}}}));
  EXPECT_EQ(pointer.receive("move", 0.75, 0.5, kScreen, 11, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kLeftMouseDragged, {1080, 450}}}));
  EXPECT_EQ(pointer.receive("up", 0.75, 0.5, kScreen, 12, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kLeftMouseUp, {1080, 450}}}));
  EXPECT_FALSE(pointer.held());
}

TEST(PointerState, DragKeepsRightButton) {
  PointerState pointer;
  pointer.receive("down", 0.1, 0.1, kScreen, 1, "right");
  // "move" and "up" use the stored button whatever they say.
  EXPECT_EQ(pointer.receive("move", 0.2, 0.2, kScreen, 2, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kRightMouseDragged, {288, 180}}}));
  EXPECT_EQ(pointer.receive("up", 0.3, 0.3, kScreen, 3, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kRightMouseUp, {432, 270}}}));
}

TEST(PointerState, SecondDownReleasesTheOldButtonAtItsPosition) {
  PointerState pointer;
  pointer.receive("down", 0.1, 0.1, kScreen, 1, "right");
  EXPECT_EQ(pointer.receive("down", 0.5, 0.5, kScreen, 2, "left"),
            (std::vector<PointerEvent>{{MouseEventType::kRightMouseUp, {144, 90}},
                                       {MouseEventType::kLeftMouseDown, {720, 450}}}));
  EXPECT_EQ(pointer.button(), MouseButton::kLeft);
}

TEST(PointerState, HoverMovesOnlyWhileNothingIsHeld) {
  PointerState pointer;
  EXPECT_EQ(pointer.receive("hover", 0.5, 0.5, kScreen, 1, ""),
            (std::vector<PointerEvent>{{MouseEventType::kMouseMoved, {720, 450}}}));
  pointer.receive("down", 0.5, 0.5, kScreen, 2, "left");
  EXPECT_TRUE(pointer.receive("hover", 0.9, 0.9, kScreen, 3, "").empty());
  EXPECT_EQ(pointer.position(), (Point{720, 450}));
}

TEST(PointerState, MoveAndUpWithoutHeldButtonDoNothing) {
  PointerState pointer;
  EXPECT_TRUE(pointer.receive("move", 0.5, 0.5, kScreen, 1, "left").empty());
  EXPECT_TRUE(pointer.receive("up", 0.5, 0.5, kScreen, 1, "left").empty());
  EXPECT_TRUE(pointer.receive("wiggle", 0.5, 0.5, kScreen, 1, "left").empty());
}

TEST(PointerState, EdgesMapInsideAndOutOfRangeIsRefused) {
  PointerState pointer;
  const Rect offset{100, 50, 1000, 500};
  EXPECT_EQ(pointer.receive("hover", 1.0, 1.0, offset, 1, ""),
            (std::vector<PointerEvent>{{MouseEventType::kMouseMoved, {1100, 550}}}));
  EXPECT_TRUE(pointer.receive("hover", 1.0001, 0.5, offset, 1, "").empty());
  EXPECT_TRUE(pointer.receive("down", -0.01, 0.5, offset, 1, "").empty());
  EXPECT_TRUE(pointer.receive("down", std::numeric_limits<double>::quiet_NaN(), 0.5, offset, 1, "").empty());
  EXPECT_FALSE(pointer.held());
}

TEST(PointerState, EmptyBoundsPostNothing) {
  PointerState pointer;
  EXPECT_TRUE(pointer.receive("down", 0.5, 0.5, Rect{0, 0, 0, 900}, 1, "left").empty());
  EXPECT_FALSE(pointer.held());
}

TEST(PointerState, ExpiresOnlyAfterThreeSecondsWithoutDownOrMove) {
  PointerState pointer;
  pointer.receive("down", 0.5, 0.5, kScreen, 100, "left");
  EXPECT_TRUE(pointer.expire(103.0).empty());
  pointer.receive("move", 0.6, 0.5, kScreen, 102.5, "left");
  EXPECT_TRUE(pointer.expire(105.4).empty());
  EXPECT_EQ(pointer.expire(105.7), (std::vector<PointerEvent>{{MouseEventType::kLeftMouseUp, {864, 450}}}));
  EXPECT_FALSE(pointer.held());
  EXPECT_TRUE(pointer.expire(200).empty());
}

TEST(PointerState, ReleaseLetsGoOnce) {
  PointerState pointer;
  EXPECT_TRUE(pointer.release().empty());
  pointer.receive("down", 0.5, 0.5, kScreen, 1, "right");
  EXPECT_EQ(pointer.release(), (std::vector<PointerEvent>{{MouseEventType::kRightMouseUp, {720, 450}}}));
  EXPECT_TRUE(pointer.release().empty());
}

TEST(PointerState, EventButtons) {
  EXPECT_EQ(buttonFor(MouseEventType::kRightMouseDragged), MouseButton::kRight);
  EXPECT_EQ(buttonFor(MouseEventType::kRightMouseUp), MouseButton::kRight);
  EXPECT_EQ(buttonFor(MouseEventType::kMouseMoved), MouseButton::kLeft);
  EXPECT_EQ(buttonFor(MouseEventType::kLeftMouseDragged), MouseButton::kLeft);
}

}  // namespace
}  // namespace kx
