// What the service benchmarks share: a fleet of simulated Macs enrolled
// through the real API, the requests they send, kept-alive non-blocking TLS
// connections from chosen loopback source addresses driven by epoll, and a
// latency histogram.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "runtime/error.h"

namespace kx::bench {

// Seconds on the steady clock (the same in every process of one machine).
double now();

[[noreturn]] void die(const std::string& what);

template <typename T>
T must(Expected<T> value, const std::string& what) {
  if (!value) die(what + ": " + value.error().description);
  return std::move(*value);
}

// The state report a Mac sends with every poll.
std::string pollBody();

struct Mac {
  std::string id;
  std::string key;
  std::string session;  // an approved session, or empty
};

// Enrolls Macs until there are `count`, over `threads` connections of the
// technician holding `token`; the first `sessions` have an approved session.
void enrollMacs(std::vector<Mac>& macs, uint16_t port, const std::string& ca, const std::string& token, size_t count,
                size_t sessions, int threads);

std::string pollRequest(const Mac& mac, const std::string& body);
std::string statusRequest(const std::string& session, const std::string& token);
std::string signalRequest(const std::string& session, const std::string& token, const Json& body);

// A client TLS context that trusts `ca` (localhost's certificate).
SSL_CTX* clientContext(const std::string& ca);

// One kept-alive HTTPS connection, edge-triggered on an epoll set with
// `tag` as its event data. Steps never block: `wait` means "until epoll says".
class LoadConnection {
 public:
  enum class Step { done, wait, failed };

  ~LoadConnection() { close(); }

  // Connects from `source` (host order) to 127.0.0.1:`port` and starts TLS.
  void open(SSL_CTX* ctx, int epoll, void* tag, in_addr_t source, uint16_t port);
  void close();
  bool isOpen() const { return fd_ >= 0; }

  // Once done, only blocked writes ask for write readiness.
  Step handshake();
  // Sends `out` from `written` on.
  Step write(const std::string& out, size_t& written);
  // Reads what has arrived; done once one whole answer is in (head, then
  // Content-Length bytes), with its status and body. A 1xx-free HTTP/1.1 peer
  // is assumed, as both ends here are.
  Step readAnswer(int& status, std::string& body);

 private:
  void watch(uint32_t events);

  int epoll_ = -1;
  void* tag_ = nullptr;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string in_;
};

// Latencies in 0.1 ms buckets up to 10 s.
struct Histogram {
  static constexpr int kBuckets = 100000;
  std::array<uint32_t, kBuckets + 1> counts{};

  void record(double seconds);
  void add(const Histogram& other);
  uint64_t total() const;
  // The upper edge, in milliseconds, of the bucket holding quantile `p`.
  double percentileMs(double p) const;
};

}  // namespace kx::bench
