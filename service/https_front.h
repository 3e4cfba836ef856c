// The service's network front: HTTP/1.1 over TLS (and, for metrics, plain
// HTTP on a private address) with Boost.Beast on Asio. I/O threads only move
// bytes and parse; every request is answered on a separate pool of handler
// threads, because answering touches the database and may check a password.
//
// Abuse limits: head and body sizes; a deadline for the TLS handshake; a
// deadline for each request that runs from the first byte after the previous
// response (a stray CRLF included) to the request's last byte; an idle
// deadline between requests; open connections in all and per source address.
//
// Behind a load balancer, the client's address comes in a PROXY protocol
// header (v1 or v2) that only the configured proxies may send: the caps, the
// sign-in limits and the audit log then see the client, not the proxy.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "service/http_message.h"
#include "service/request_limits.h"

namespace kx::service {

struct FrontOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 8443;         // 0 picks a free port; see HttpsFront::port()
  std::string certificateFile;  // PEM chain, leaf first
  std::string keyFile;          // PEM private key
  int ioThreads = 0;            // 0: one per processor
  int handlerThreads = 0;       // 0: four per processor (handlers wait on the database)
  size_t maxHeadBytes = 16 * 1024;
  size_t maxBodyBytes = kMaxRequestBodyBytes;
  double handshakeSeconds = 10;
  double requestSeconds = 10;
  double idleSeconds = 60;
  size_t maxConnections = 10000;
  size_t maxConnectionsPerAddress = 256;
  // Peers (IPv4 or IPv6 addresses) whose connections start with a PROXY
  // header; from them a connection without one, or with a malformed one, is
  // closed. From every other peer a PROXY header is not HTTP and is refused.
  std::vector<std::string> trustedProxies;

  // A second, plain-HTTP listener for monitoring (health, metrics); off when
  // the host is empty. Its requests go to `monitor`, not to the main handler.
  std::string monitorHost;
  uint16_t monitorPort = 0;
};

using RequestHandler = std::function<Response(const Request&)>;
// Answers on the network thread what needs no waiting; nullopt passes the
// request on to the handler threads. Must never block.
using QuickHandler = std::function<std::optional<Response>(const Request&)>;

class HttpsFront {
 public:
  // Binds, listens and loads the certificate; serving starts with start().
  static Expected<std::unique_ptr<HttpsFront>> create(FrontOptions options, RequestHandler handler,
                                                      RequestHandler monitor = {}, QuickHandler quick = {});
  ~HttpsFront();

  uint16_t port() const;
  uint16_t monitorPort() const;
  void start();
  // Callable from any thread; wait() then returns.
  void stop();
  void wait();

  size_t openConnections() const;
  // Prometheus text lines for the answer-time histogram of the main listener.
  std::string latencyMetrics() const;

  struct Impl;

 private:
  HttpsFront() = default;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kx::service
