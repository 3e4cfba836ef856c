// Reading the control protocol (version 4) that travels sealed on the data
// channel: ping/pong, end, and the input kinds pointer, click, keycode, key
// and scroll, each numbered with "seq". Every reader takes an untrusted JSON
// object and returns nothing when a required key is missing, of the wrong
// type or out of range; the caller then drops the message silently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/input_injector.h"
#include "protocol/json.h"

namespace kx {

inline constexpr int kControlVersion = 4;
// Scroll distances are clamped to this many pixels either way.
inline constexpr double kMaxScrollPixels = 1500;

// The two ends of a session. Each seals what it sends with the session key,
// so a message the service (or the network) reflects back opens fine at its
// sender: the types only one side ever sends are refused when they arrive
// there. The client sends "offer", "state" and "pong"; the technician
// "answer", "ping", "end" and the input kinds. Candidates travel both ways
// and are told apart by "messageId" (each side never accepts its own).
enum class SessionSide { kClient, kTechnician };
// Whether `message` (a signal, by "type", or a control message, by "kind")
// may come from the other side to `receiver`.
bool fromOtherSide(SessionSide receiver, const Json& message);

// {"kind": "pong", "token": <the same number>} for a ping with a numeric token.
std::optional<Json> pongFor(const Json& message);
bool isEndMessage(const Json& message);
// "seq" as an integer.
std::optional<int64_t> inputSequence(const Json& message);

// {"kind": "state", "canControl", "streaming", "controlVersion": 4}.
Json stateMessage(bool canControl, bool streaming);

struct PointerInput {
  std::string action;
  double x = 0;
  double y = 0;
  std::string button;  // "left" when absent
  int clicks = 1;      // 1...3
};
// "action" text and "x", "y" numbers are required; their ranges are PointerState's business.
std::optional<PointerInput> readPointer(const Json& message);

// "x" and "y" of a "click", both numbers within 0...1.
std::optional<Point> readClick(const Json& message);

struct KeycodeInput {
  int code = 0;        // 0...127
  uint64_t flags = 0;  // masked to kFlagMask
};
std::optional<KeycodeInput> readKeycode(const Json& message);

struct ScrollInput {
  int32_t vertical = 0;    // wheel 1, from "y"
  int32_t horizontal = 0;  // wheel 2, from "x"
};
// Finite "x" and "y", clamped to ±1500 and truncated toward zero.
std::optional<ScrollInput> readScroll(const Json& message);

// Virtual key code of the eight named keys ("Enter", "Backspace", "Tab",
// "Escape", "ArrowLeft", "ArrowRight", "ArrowUp", "ArrowDown").
std::optional<int> namedKeyCode(std::string_view name);
// The key-down and key-up events of a "key" message: a named key by its code,
// any other text as virtual key 0 carrying the text. An empty text types
// nothing (it would otherwise press virtual key 0).
std::optional<std::vector<KeyEvent>> readKey(const Json& message);

// UTF-8 (already validated by the JSON parser) to UTF-16 code units.
std::u16string toUtf16(std::string_view utf8);

}  // namespace kx
