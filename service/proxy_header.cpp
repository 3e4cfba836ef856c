#include "service/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace kx::service {

namespace {

using Outcome = ProxyHeader::Outcome;

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr size_t kV1MaxBytes = 107;
constexpr std::string_view kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr size_t kV2FixedBytes = 16;

ProxyHeader invalid() { return {}; }
ProxyHeader needMore() { return {Outcome::needMore, 0, {}}; }
ProxyHeader complete(size_t length, std::string source) { return {Outcome::complete, length, std::move(source)}; }

bool startsAsPrefixOf(std::string_view bytes, std::string_view whole) {
  return whole.substr(0, std::min(bytes.size(), whole.size())) == bytes.substr(0, std::min(bytes.size(), whole.size()));
}

// Binary address bytes as text; "" when the family does not match the size.
std::string addressText(int family, const uint8_t* bytes) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (!inet_ntop(family, bytes, text.data(), text.size())) return {};
  return text.data();
}

// A decimal port: 1 to 5 digits, no leading zero, at most 65535.
bool isPort(std::string_view token) {
  if (token.empty() || token.size() > 5 || (token.size() > 1 && token.front() == '0')) return false;
  uint32_t value = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= 65535;
}

// The address of `token` in `family`, normalised; "" when it is not one.
std::string parseAddress(int family, std::string_view token) {
  if (token.empty() || token.size() >= INET6_ADDRSTRLEN) return {};
  std::array<char, INET6_ADDRSTRLEN> text{};
  std::copy(token.begin(), token.end(), text.begin());
  std::array<uint8_t, 16> binary{};
  if (inet_pton(family, text.data(), binary.data()) != 1) return {};
  return addressText(family, binary.data());
}

// "PROXY TCP4 203.0.113.7 192.0.2.1 51234 443\r\n", or "PROXY UNKNOWN ...\r\n".
ProxyHeader parseV1(std::string_view bytes) {
  const std::string_view window = bytes.substr(0, kV1MaxBytes);
  const size_t end = window.find("\r\n");
  if (end == std::string_view::npos) {
    // Only printable text may come before the line end.
    const bool printable = std::all_of(window.begin(), window.end(), [](char c) {
      return (c >= 0x20 && c <= 0x7E) || c == '\r';
    });
    const bool strayReturn = window.find('\r') != std::string_view::npos && window.find('\r') + 1 < window.size();
    return printable && !strayReturn && window.size() < kV1MaxBytes ? needMore() : invalid();
  }
  std::string_view line = window.substr(kV1Prefix.size(), end - kV1Prefix.size());
  if (std::any_of(line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7E; })) return invalid();
  std::array<std::string_view, 5> fields;
  size_t count = 0;
  while (count < fields.size()) {
    const size_t space = line.find(' ');
    fields[count++] = line.substr(0, space);
    if (space == std::string_view::npos) {
      line = {};
      break;
    }
    line.remove_prefix(space + 1);
  }
  // The receiver ignores whatever follows UNKNOWN up to the line end.
  if (fields[0] == "UNKNOWN") return complete(end + 2, {});
  const int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : -1;
  if (family < 0 || count != 5 || !line.empty()) return invalid();
  std::string source = parseAddress(family, fields[1]);
  if (source.empty() || parseAddress(family, fields[2]).empty() || !isPort(fields[3]) || !isPort(fields[4])) {
    return invalid();
  }
  return complete(end + 2, std::move(source));
}

// Signature, version and command, family and transport, length, addresses, TLVs.
ProxyHeader parseV2(std::string_view bytes) {
  if (bytes.size() < kV2FixedBytes) return needMore();
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t version = p[12] >> 4;
  const uint8_t command = p[12] & 0x0F;
  if (version != 2 || command > 1) return invalid();
  const size_t length = static_cast<size_t>(p[14]) << 8 | p[15];
  if (kV2FixedBytes + length > kMaxProxyHeaderBytes) return invalid();
  if (bytes.size() < kV2FixedBytes + length) return needMore();
  const uint8_t family = p[13];
  // Address block sizes: TCP over IPv4, over IPv6, UNIX stream sockets; UNSPEC has none.
  size_t addresses = 0;
  switch (family) {
    case 0x00: addresses = 0; break;
    case 0x11: addresses = 12; break;
    case 0x21: addresses = 36; break;
    case 0x31: addresses = 216; break;
    default: return invalid();  // datagrams, or no such family
  }
  if (length < addresses) return invalid();
  // What follows the addresses is type-length-value records that must fit exactly.
  for (size_t at = kV2FixedBytes + addresses; at < kV2FixedBytes + length;) {
    if (kV2FixedBytes + length - at < 3) return invalid();
    const size_t valueBytes = static_cast<size_t>(p[at + 1]) << 8 | p[at + 2];
    at += 3 + valueBytes;
    if (at > kV2FixedBytes + length) return invalid();
  }
  // LOCAL: the proxy's own connection (a health check); keep its address.
  if (command == 0) return complete(kV2FixedBytes + length, {});
  std::string source;
  if (family == 0x11) source = addressText(AF_INET, p + kV2FixedBytes);
  if (family == 0x21) source = addressText(AF_INET6, p + kV2FixedBytes);
  return complete(kV2FixedBytes + length, std::move(source));
}

}  // namespace

ProxyHeader parseProxyHeader(std::string_view bytes) {
  if (bytes.empty()) return needMore();
  if (startsAsPrefixOf(bytes, kV1Prefix)) return bytes.size() < kV1Prefix.size() ? needMore() : parseV1(bytes);
  if (startsAsPrefixOf(bytes, kV2Signature)) return bytes.size() < kV2Signature.size() ? needMore() : parseV2(bytes);
  return invalid();
}

}  // namespace kx::service
