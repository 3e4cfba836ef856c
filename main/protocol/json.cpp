#include "protocol/json.h"

#include <limits>

namespace kx {

bool jsonNestsDeeperThan(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::optional<Json> parseJson(std::string_view text) {
  if (jsonNestsDeeperThan(text, kMaxJsonDepth)) return std::nullopt;
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> parseJsonObject(std::string_view text) {
  auto value = parseJson(text);
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {
const Json* field(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}
}  // namespace

const std::string* jsonString(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  return v && v->is_string() ? v->get_ptr<const std::string*>() : nullptr;
}

std::optional<int64_t> jsonInt(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    const auto u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  return std::nullopt;
}

std::optional<double> jsonNumber(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  if (!v || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<bool> jsonBool(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

const Json* jsonObject(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  return v && v->is_object() ? v : nullptr;
}

const Json* jsonArray(const Json& object, std::string_view key) {
  const Json* v = field(object, key);
  return v && v->is_array() ? v : nullptr;
}

}  // namespace kx
