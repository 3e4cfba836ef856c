// Credentials the service hands out and how it keeps them: random secrets are
// stored as their SHA-256 digest (they carry 256 or 80 bits of entropy, so a
// fast digest suffices); passwords as an scrypt hash (RFC 7914). Every check
// compares in constant time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/encoding.h"
#include "runtime/error.h"

namespace kx::service {

// 32 random bytes as base64url text (43 characters): device keys, technician
// tokens, enrollment tokens and sign-in codes.
std::string newSecret();

// 20 upper-case hexadecimal digits (80 random bits).
std::string newSetupCode();

// The form a Mac may type a setup code in: upper-cased, without whitespace and
// "-". Nothing unless exactly 20 hexadecimal digits remain.
std::optional<std::string> normalizeSetupCode(std::string_view text);

// The stored form of a random secret.
Bytes secretDigest(std::string_view secret);

bool constantTimeEqual(const Bytes& a, const Bytes& b);
bool constantTimeEqual(std::string_view a, std::string_view b);

struct ScryptParameters {
  uint64_t n = uint64_t{1} << 15;  // 32 MiB with r = 8
  uint32_t r = 8;
  uint32_t p = 1;
};

// "scrypt$N$r$p$salt$hash", salt (16 bytes) and hash (32 bytes) in standard
// base64. The parameters travel with the hash so they can be raised later.
Expected<std::string> hashPassword(std::string_view password, const ScryptParameters& parameters);

// False for a wrong password and for a malformed or unaffordable hash.
bool verifyPassword(std::string_view password, std::string_view encoded);

// RFC 7636 S256: base64url(SHA-256(verifier)).
std::string pkceChallenge(std::string_view verifier);
// RFC 7636 section 4.1: 43 to 128 characters of [A-Za-z0-9-._~].
bool isValidPkceVerifier(std::string_view verifier);
// What our console sends: the S256 challenge, 43 base64url characters.
bool isValidPkceChallenge(std::string_view challenge);

}  // namespace kx::service
