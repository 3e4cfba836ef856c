// The PROXY protocol header (version 1 text, version 2 binary) that a load
// balancer such as HAProxy (`send-proxy`, `send-proxy-v2`) writes before a
// connection's first byte, naming the client it accepted the connection
// from. Only a peer the operator trusts may send one; the front reads it
// before the TLS handshake.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::service {

// A version 1 header is at most 107 bytes; a version 2 header is 16 bytes and
// the length it announces, which this service bounds (addresses and a few TLVs).
inline constexpr size_t kMaxProxyHeaderBytes = 16 + 240;

struct ProxyHeader {
  enum class Outcome {
    complete,  // `length` bytes form a valid header
    needMore,  // a valid beginning: read more bytes
    invalid,   // not a header this service accepts: close the connection
  };
  Outcome outcome = Outcome::invalid;
  size_t length = 0;
  // The client's address as text ("203.0.113.7", "2001:db8::1"); empty when
  // the proxy speaks for itself (LOCAL, UNKNOWN, or an address family other
  // than TCP over IPv4 or IPv6), so the connection keeps the proxy's own.
  std::string source;
};

// Reads the header at the start of `bytes` (all received so far).
ProxyHeader parseProxyHeader(std::string_view bytes);

}  // namespace kx::service
