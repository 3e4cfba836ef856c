// Control messages arrive sealed on the data channel from a peer that holds
// the session key: whatever they say, reading them and driving the pointer
// from them must not crash, and what comes out stays in range.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/control_messages.h"
#include "media/pointer_state.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto message = kx::parseJsonObject(text);
  if (!message) return 0;
  for (const auto side : {kx::SessionSide::kClient, kx::SessionSide::kTechnician}) {
    (void)kx::fromOtherSide(side, *message);
  }
  if (auto pong = kx::pongFor(*message)) check(kx::jsonNumber(*pong, "token").has_value());
  (void)kx::isEndMessage(*message);
  (void)kx::inputSequence(*message);

  static kx::PointerState pointer;
  static double now = 0;
  now += 0.25;
  const kx::Rect display{0, 0, 1920, 1080};
  if (auto input = kx::readPointer(*message)) {
    check(input->clicks >= 1 && input->clicks <= 3);
    for (const kx::PointerEvent& event : pointer.receive(input->action, input->x, input->y, display, now, input->button)) {
      check(std::isfinite(event.point.x) && std::isfinite(event.point.y));
      check(event.point.x >= display.x && event.point.x <= display.x + display.width);
      check(event.point.y >= display.y && event.point.y <= display.y + display.height);
    }
  }
  (void)pointer.expire(now);
  if (auto click = kx::readClick(*message)) check(click->x >= 0 && click->x <= 1 && click->y >= 0 && click->y <= 1);
  if (auto scroll = kx::readScroll(*message)) {
    check(std::abs(scroll->vertical) <= kx::kMaxScrollPixels && std::abs(scroll->horizontal) <= kx::kMaxScrollPixels);
  }
  if (auto keycode = kx::readKeycode(*message)) check(keycode->code >= 0 && keycode->code <= 127);
  (void)kx::readKey(*message);
  return 0;
}
