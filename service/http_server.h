// The service's HTTPS front: an epoll event loop per worker thread over
// non-blocking sockets and non-blocking OpenSSL, HTTP/1.1 with keep-alive.
// Every worker accepts (EPOLLEXCLUSIVE) and owns its connections; requests are
// answered synchronously by the handler, which must be thread-safe.
//
// Abuse limits: request head and body sizes (RequestReader), a deadline for
// the TLS handshake and for each request once its first byte arrived, an idle
// deadline between requests, and a cap on open connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/error.h"
#include "service/http_message.h"
#include "service/request_reader.h"

namespace kx::service {

struct ServerOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 8443;  // 0 picks a free port; see HttpServer::port()
  std::string certificateFile;  // PEM chain, leaf first
  std::string keyFile;          // PEM private key
  int workers = 0;              // 0: one per processor
  RequestReader::Limits limits;
  double handshakeSeconds = 10;
  double requestSeconds = 10;  // from a request's first byte to its last
  double idleSeconds = 60;     // between requests on a kept-alive connection
  size_t maxConnections = 10000;
};

using RequestHandler = std::function<Response(const Request&)>;

class HttpServer {
 public:
  // Binds, listens and loads the certificate; serving starts with start().
  static Expected<std::unique_ptr<HttpServer>> create(ServerOptions options, RequestHandler handler);
  ~HttpServer();

  uint16_t port() const { return port_; }
  void start();
  // Async-signal-safe and callable from any thread; wait() then returns.
  void stop();
  void wait();

  size_t openConnections() const { return connections_.load(); }
  uint64_t acceptedConnections() const { return accepted_.load(); }

  struct Impl;

 private:
  HttpServer() = default;

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::atomic<size_t> connections_{0};
  std::atomic<uint64_t> accepted_{0};
  std::vector<std::thread> threads_;
};

// The response as bytes on the wire.
std::string serializeResponse(const Response& response, bool keepAlive);

}  // namespace kx::service
