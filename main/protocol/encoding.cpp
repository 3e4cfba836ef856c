#include "protocol/encoding.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "protocol/crypto_support.h"

namespace kx {

void crypto::fatal(const char* what) {
  std::fprintf(stderr, "kx: %s\n", what);
  std::abort();
}
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kInvalid = -1;

constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

}  // namespace

std::string base64Encode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  const size_t rest = size - i;
  if (rest == 1) {
    const uint32_t v = uint32_t{data[i]} << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (rest == 2) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  }
  const size_t body = text.size() - padding;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < body; ++i) {
    const int8_t v = kDecode[static_cast<uint8_t>(text[i])];
    if (v == kInvalid) return std::nullopt;  // also "=" inside the body
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  // What is left must be the unused low bits of the last group, all zero
  // (RFC 4648 section 3.5), so every byte string has exactly one encoding.
  if (acc != 0) return std::nullopt;
  return out;
}

std::string base64UrlEncode(const uint8_t* data, size_t size) {
  std::string text = base64Encode(data, size);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  return text;
}

std::string hexEncode(const uint8_t* data, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (const uint8_t b : std::span(data, size)) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

Bytes randomBytes(size_t n) {
  Bytes out(n);
  constexpr size_t kChunk = 1 << 20;  // RAND_bytes takes an int count
  for (size_t done = 0; done < n; done += kChunk) {
    const size_t len = std::min(kChunk, n - done);
    if (RAND_bytes(out.data() + done, static_cast<int>(len)) != 1) crypto::fatal("the system random generator failed");
  }
  return out;
}

std::string newUuid() {
  Bytes b = randomBytes(16);
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 15]);
  }
  return out;
}

bool isCanonicalUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

Bytes sha256(const uint8_t* data, size_t size) {
  Bytes out(32);
  unsigned int len = 0;
  static const uint8_t kEmpty = 0;
  // Fetched once: an implicit fetch per call costs more than hashing a key.
  static EVP_MD* const kSha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (!kSha256 || EVP_Digest(size ? data : &kEmpty, size, out.data(), &len, kSha256, nullptr) != 1 || len != 32) {
    crypto::fatal("SHA-256 failed");
  }
  return out;
}

}  // namespace kx
