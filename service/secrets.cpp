#include "service/secrets.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <charconv>
#include <memory>
#include <vector>

namespace kx::service {

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
// Hashes come from the database, and a damaged or planted row must not make
// one sign-in allocate gigabytes or run for minutes: memory (128·N·r) stays
// within twice today's 32 MiB and work (N·r·p) within four times today's.
constexpr uint64_t kMaxScryptMemory = uint64_t{64} << 20;
constexpr uint64_t kMaxScryptWork = uint64_t{1} << 20;
constexpr uint32_t kMaxScryptR = 32;
constexpr uint32_t kMaxScryptP = 16;

struct KdfDeleter {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

std::optional<Bytes> scrypt(std::string_view password, const Bytes& salt, ScryptParameters prm) {
  std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr));
  if (!kdf) return std::nullopt;
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return std::nullopt;
  // OpenSSL wants a non-null buffer even for an empty password.
  char empty = 0;
  void* pw = password.empty() ? &empty : const_cast<char*>(password.data());
  uint64_t maxmem = 128 * uint64_t{prm.r} * prm.n * 2 + (uint64_t{1} << 20);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, pw, password.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &prm.n),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &prm.r),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &prm.p),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(kHashBytes);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) return std::nullopt;
  return out;
}

bool plausible(const ScryptParameters& p) {
  const bool powerOfTwo = p.n > 1 && (p.n & (p.n - 1)) == 0;
  if (!powerOfTwo || p.r < 1 || p.r > kMaxScryptR || p.p < 1 || p.p > kMaxScryptP) return false;
  return p.n <= kMaxScryptMemory / (128 * uint64_t{p.r}) && p.n * p.r * p.p <= kMaxScryptWork;
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

bool isBase64UrlChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::string newSecret() { return base64UrlEncode(randomBytes(32)); }

std::string newSetupCode() {
  std::string code = hexEncode(randomBytes(10));
  for (char& c : code) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return code;
}

std::optional<std::string> normalizeSetupCode(std::string_view text) {
  if (text.size() > 64) return std::nullopt;
  std::string code;
  for (char c : text) {
    if (c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') continue;
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!hex) return std::nullopt;
    code.push_back(c);
  }
  if (code.size() != 20) return std::nullopt;
  return code;
}

Bytes secretDigest(std::string_view secret) { return sha256(secret); }

bool constantTimeEqual(const Bytes& a, const Bytes& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Expected<std::string> hashPassword(std::string_view password, const ScryptParameters& parameters) {
  if (!plausible(parameters)) return makeError("Password", 1, "unsupported scrypt parameters");
  const Bytes salt = randomBytes(kSaltBytes);
  auto hash = scrypt(password, salt, parameters);
  if (!hash) return makeError("Password", 1, "scrypt failed");
  return "scrypt$" + std::to_string(parameters.n) + "$" + std::to_string(parameters.r) + "$" +
         std::to_string(parameters.p) + "$" + base64Encode(salt) + "$" + base64Encode(*hash);
}

bool verifyPassword(std::string_view password, std::string_view encoded) {
  const auto parts = split(encoded, '$');
  if (parts.size() != 6 || parts[0] != "scrypt") return false;
  ScryptParameters prm;
  if (!parseNumber(parts[1], prm.n) || !parseNumber(parts[2], prm.r) || !parseNumber(parts[3], prm.p)) return false;
  if (!plausible(prm)) return false;
  auto salt = base64Decode(parts[4]);
  auto expected = base64Decode(parts[5]);
  if (!salt || !expected || expected->size() != kHashBytes) return false;
  auto actual = scrypt(password, *salt, prm);
  return actual && constantTimeEqual(*actual, *expected);
}

std::string pkceChallenge(std::string_view verifier) { return base64UrlEncode(sha256(verifier)); }

bool isValidPkceVerifier(std::string_view verifier) {
  if (verifier.size() < 43 || verifier.size() > 128) return false;
  for (char c : verifier) {
    if (!isBase64UrlChar(c) && c != '.' && c != '~') return false;
  }
  return true;
}

bool isValidPkceChallenge(std::string_view challenge) {
  if (challenge.size() != 43) return false;
  for (char c : challenge) {
    if (!isBase64UrlChar(c)) return false;
  }
  return true;
}

}  // namespace kx::service
