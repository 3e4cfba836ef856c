// The message dictionary: every service body, signal and control message is a
// JSON object. nlohmann::json keeps integers and doubles apart, which the
// protocol relies on ("seq" must be an integer, "token" any number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kx {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects parseJson accepts. Every message of
// the protocol needs fewer than 8 levels.
inline constexpr size_t kMaxJsonDepth = 64;

// Whether arrays and objects nest deeper than `limit` anywhere in `text`.
// Checked before parsing untrusted text, so hostile nesting never reaches the
// parser: building and freeing a deep value recurses once per level.
bool jsonNestsDeeperThan(std::string_view text, size_t limit);
// Parses untrusted text; nullopt on any syntax or UTF-8 error, or nesting
// deeper than kMaxJsonDepth. Never throws.
std::optional<Json> parseJson(std::string_view text);
// Like parseJson, but only a JSON object counts.
std::optional<Json> parseJsonObject(std::string_view text);
// Compact serialisation. Never throws: invalid UTF-8 is replaced.
std::string dumpJson(const Json& value);

// Field readers for untrusted objects: each returns nothing when `object` is
// not an object, the key is missing, or the value has another type.
const std::string* jsonString(const Json& object, std::string_view key);
// Integers only (a JSON 2.0 is not an integer). Unsigned values above INT64_MAX are refused.
std::optional<int64_t> jsonInt(const Json& object, std::string_view key);
// Any number, integer or not.
std::optional<double> jsonNumber(const Json& object, std::string_view key);
std::optional<bool> jsonBool(const Json& object, std::string_view key);
const Json* jsonObject(const Json& object, std::string_view key);
const Json* jsonArray(const Json& object, std::string_view key);

}  // namespace kx
