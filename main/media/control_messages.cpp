#include "media/control_messages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace kx {

bool fromOtherSide(SessionSide receiver, const Json& message) {
  const std::string* type = jsonString(message, "type");
  if (!type) type = jsonString(message, "kind");
  if (!type) return true;  // nothing to tell; the readers decide
  auto sentBy = [&](std::initializer_list<std::string_view> own) {
    return std::find(own.begin(), own.end(), *type) != own.end();
  };
  if (receiver == SessionSide::kClient) return !sentBy({"offer", "state", "pong"});
  return !sentBy({"answer", "ping", "end", "pointer", "click", "keycode", "key", "scroll"});
}

namespace {

bool hasKind(const Json& message, std::string_view kind) {
  const std::string* text = jsonString(message, "kind");
  return text && *text == kind;
}

// "flags" as an unsigned 64-bit value; 0 when absent or not representable.
uint64_t readFlags(const Json& message) {
  if (!message.is_object()) return 0;
  const auto it = message.find("flags");
  if (it == message.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) {
    const int64_t value = it->get<int64_t>();
    return value < 0 ? 0 : static_cast<uint64_t>(value);
  }
  if (it->is_number_float()) {
    const double value = it->get<double>();
    // 2^64 itself is not representable.
    if (std::isfinite(value) && value >= 0 && value < 18446744073709551616.0 && std::trunc(value) == value) {
      return static_cast<uint64_t>(value);
    }
  }
  return 0;
}

constexpr std::array<std::pair<std::string_view, int>, 8> kNamedKeys{{
    {"Enter", 36},
    {"Backspace", 51},
    {"Tab", 48},
    {"Escape", 53},
    {"ArrowLeft", 123},
    {"ArrowRight", 124},
    {"ArrowUp", 126},
    {"ArrowDown", 125},
}};

}  // namespace

std::optional<Json> pongFor(const Json& message) {
  if (!hasKind(message, "ping")) return std::nullopt;
  const auto it = message.find("token");
  if (it == message.end() || !it->is_number()) return std::nullopt;
  return Json{{"kind", "pong"}, {"token", *it}};
}

bool isEndMessage(const Json& message) { return hasKind(message, "end"); }

std::optional<int64_t> inputSequence(const Json& message) { return jsonInt(message, "seq"); }

Json stateMessage(bool canControl, bool streaming) {
  return Json{
      {"kind", "state"}, {"canControl", canControl}, {"streaming", streaming}, {"controlVersion", kControlVersion}};
}

std::optional<PointerInput> readPointer(const Json& message) {
  const std::string* action = jsonString(message, "action");
  const auto x = jsonNumber(message, "x");
  const auto y = jsonNumber(message, "y");
  if (!action || !x || !y) return std::nullopt;
  PointerInput input;
  input.action = *action;
  input.x = *x;
  input.y = *y;
  const std::string* button = jsonString(message, "button");
  input.button = button ? *button : "left";
  const auto clicks = jsonInt(message, "clicks");
  input.clicks = clicks ? static_cast<int>(std::clamp<int64_t>(*clicks, 1, 3)) : 1;
  return input;
}

std::optional<Point> readClick(const Json& message) {
  const auto x = jsonNumber(message, "x");
  const auto y = jsonNumber(message, "y");
  if (!x || !y) return std::nullopt;
  if (!(*x >= 0 && *x <= 1) || !(*y >= 0 && *y <= 1)) return std::nullopt;
  return Point{*x, *y};
}

std::optional<KeycodeInput> readKeycode(const Json& message) {
  const auto code = jsonInt(message, "code");
  if (!code || *code < 0 || *code > 127) return std::nullopt;
  return KeycodeInput{static_cast<int>(*code), readFlags(message) & kFlagMask};
}

std::optional<ScrollInput> readScroll(const Json& message) {
  const auto x = jsonNumber(message, "x");
  const auto y = jsonNumber(message, "y");
  if (!x || !y || !std::isfinite(*x) || !std::isfinite(*y)) return std::nullopt;
  auto wheel = [](double value) {
    return static_cast<int32_t>(std::trunc(std::clamp(value, -kMaxScrollPixels, kMaxScrollPixels)));
  };
  return ScrollInput{wheel(*y), wheel(*x)};
}

std::optional<int> namedKeyCode(std::string_view name) {
  for (const auto& [key, code] : kNamedKeys) {
    if (key == name) return code;
  }
  return std::nullopt;
}

std::optional<std::vector<KeyEvent>> readKey(const Json& message) {
  const std::string* key = jsonString(message, "key");
  if (!key || key->empty()) return std::nullopt;
  KeyEvent down;
  if (const auto code = namedKeyCode(*key)) {
    down.virtualKeyCode = *code;
  } else {
    down.virtualKeyCode = 0;
    down.text = toUtf16(*key);
  }
  KeyEvent up = down;
  up.down = false;
  return std::vector<KeyEvent>{down, up};
}

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead >> 5) == 0x6) {
      cp = lead & 0x1f;
      extra = 1;
    } else if ((lead >> 4) == 0xe) {
      cp = lead & 0x0f;
      extra = 2;
    } else if ((lead >> 3) == 0x1e) {
      cp = lead & 0x07;
      extra = 3;
    } else {
      cp = 0xfffd;  // not reached for parser-validated text
    }
    if (i + extra >= utf8.size()) {  // truncated sequence
      out.push_back(u'\ufffd');
      break;
    }
    for (size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace kx
