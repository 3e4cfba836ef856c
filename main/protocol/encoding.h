// Byte strings and their text forms: strict base64, base64url, UUID text and
// secure random bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

using Bytes = std::vector<uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// RFC 4648 standard alphabet with "=" padding, no line breaks.
std::string base64Encode(const uint8_t* data, size_t size);
inline std::string base64Encode(const Bytes& bytes) { return base64Encode(bytes.data(), bytes.size()); }
inline std::string base64Encode(std::string_view bytes) {
  return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
// Strict: standard alphabet, length a multiple of 4, correct padding, zero
// padding bits, no whitespace. nullopt otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// Base64 with "+" → "-", "/" → "_" and no "=" (RFC 7636 appendix A).
std::string base64UrlEncode(const uint8_t* data, size_t size);
inline std::string base64UrlEncode(const Bytes& bytes) { return base64UrlEncode(bytes.data(), bytes.size()); }

// Lower-case hexadecimal, two digits a byte.
std::string hexEncode(const uint8_t* data, size_t size);
inline std::string hexEncode(const Bytes& bytes) { return hexEncode(bytes.data(), bytes.size()); }

// `n` bytes from OpenSSL's CSPRNG. Aborts if the generator fails (no safe fallback exists).
Bytes randomBytes(size_t n);

// A random (version 4) UUID as canonical upper-case text, 8-4-4-4-12.
std::string newUuid();
// True for 36-character canonical upper-case UUID text.
bool isCanonicalUuid(std::string_view text);

// SHA-256 digest.
Bytes sha256(const uint8_t* data, size_t size);
inline Bytes sha256(std::string_view text) {
  return sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace kx
