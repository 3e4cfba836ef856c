#include "service/https_front.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/proxy_header.h"

namespace kx::service {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

constexpr size_t kReadChunk = 16 * 1024;
// After refusing a request the rest of its bytes are read and dropped for a
// moment, so that the client sees the refusal rather than a reset.
constexpr size_t kMaxDrainBytes = 1024 * 1024;
constexpr double kDrainSeconds = 2;
constexpr double kShutdownSeconds = 2;
// Accepting pauses this long when the process is out of descriptors, rather
// than failing again at once in a busy loop.
constexpr std::chrono::milliseconds kAcceptPause{100};

// TLS 1.2 suites with forward secrecy and authenticated encryption; TLS 1.3
// has nothing else.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::chrono::steady_clock::duration after(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// IPv4 clients of an IPv6 listener are named as IPv4.
net::ip::address peerAddress(const tcp::endpoint& endpoint) {
  const net::ip::address address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
  }
  return address;
}

// Answer times of the main listener, in Prometheus' cumulative buckets.
class LatencyHistogram {
 public:
  static constexpr std::array<double, 11> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};
  void observe(double seconds) {
    size_t i = 0;
    while (i < kBounds.size() && seconds > kBounds[i]) ++i;
    counts_[i].fetch_add(1, std::memory_order_relaxed);
    microseconds_.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
  }
  std::string text(std::string_view name) const {
    std::string out = "# TYPE " + std::string(name) + " histogram\n";
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= kBounds.size(); ++i) {
      cumulative += counts_[i].load(std::memory_order_relaxed);
      char bound[32] = "+Inf";
      if (i < kBounds.size()) std::snprintf(bound, sizeof bound, "%g", kBounds[i]);
      out += std::string(name) + "_bucket{le=\"" + std::string(bound) + "\"} " + std::to_string(cumulative) + "\n";
    }
    out += std::string(name) + "_sum " + std::to_string(microseconds_.load() / 1e6) + "\n";
    out += std::string(name) + "_count " + std::to_string(cumulative) + "\n";
    return out;
  }

 private:
  std::array<std::atomic<uint64_t>, kBounds.size() + 1> counts_{};
  std::atomic<uint64_t> microseconds_{0};
};

}  // namespace

struct HttpsFront::Impl {
  FrontOptions options;
  RequestHandler handler;
  RequestHandler monitor;
  QuickHandler quick;
  // Connections give their counts back when the I/O context destroys them,
  // so the counts outlive it.
  std::mutex countsMutex;
  size_t open = 0;
  std::unordered_map<std::string, size_t> perAddress;
  std::vector<net::ip::address> trusted;  // may send a PROXY header
  // A context per network thread, each connection on one of them: a
  // connection's completions then never wake a second thread.
  std::vector<std::unique_ptr<net::io_context>> io;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
  std::atomic<size_t> nextIo{0};
  ssl::context tls{ssl::context::tls_server};
  std::optional<net::thread_pool> handlers;
  std::vector<std::thread> threads;
  std::atomic<bool> stopping{false};
  LatencyHistogram latency;

  struct Listener {
    tcp::acceptor acceptor;
    net::steady_timer pause;
    bool secure;
    Listener(net::io_context& io, bool secure) : acceptor(io), pause(io), secure(secure) {}
  };
  std::unique_ptr<Listener> main;
  std::unique_ptr<Listener> monitoring;

  // Holds one place in the connection counts for as long as it lives: in
  // all, and (once the client's address is known) in that address's count.
  class Slot {
   public:
    Slot(Impl& front, std::string address, bool counted)
        : front_(&front), address_(std::move(address)), counted_(counted) {}
    Slot(Slot&& other) noexcept
        : front_(std::exchange(other.front_, nullptr)), address_(std::move(other.address_)), counted_(other.counted_) {}
    Slot& operator=(Slot&&) = delete;
    ~Slot() {
      if (!front_) return;
      std::lock_guard lock(front_->countsMutex);
      --front_->open;
      if (counted_) front_->release(address_);
    }
    const std::string& address() const { return address_; }

    // The client behind a trusted proxy: false when its address is at its cap.
    bool claim(std::string address) {
      std::lock_guard lock(front_->countsMutex);
      if (!front_->take(address)) return false;
      address_ = std::move(address);
      counted_ = true;
      return true;
    }

   private:
    Impl* front_;
    std::string address_;
    bool counted_;
  };

  bool take(const std::string& address) {
    size_t& mine = perAddress[address];
    if (mine >= options.maxConnectionsPerAddress) {
      if (mine == 0) perAddress.erase(address);
      return false;
    }
    ++mine;
    return true;
  }
  void release(const std::string& address) {
    if (auto it = perAddress.find(address); it != perAddress.end() && --it->second == 0) perAddress.erase(it);
  }

  // A trusted proxy's connection counts for its client once the header names it.
  std::optional<Slot> admit(const std::string& address, bool proxied) {
    std::lock_guard lock(countsMutex);
    if (open >= options.maxConnections) return std::nullopt;
    if (!proxied && !take(address)) return std::nullopt;
    ++open;
    return Slot(*this, address, !proxied);
  }

  bool isTrusted(const net::ip::address& peer) const {
    return std::find(trusted.begin(), trusted.end(), peer) != trusted.end();
  }

  Status listen(Listener& listener, const std::string& host, uint16_t port);
  void accept(Listener& listener);
};

namespace {

template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
 public:
  Connection(HttpsFront::Impl& front, Stream stream, HttpsFront::Impl::Slot slot, bool monitoring, bool proxied)
      : front_(front), stream_(std::move(stream)), slot_(std::move(slot)), monitoring_(monitoring), proxied_(proxied) {}

  void start() {
    if constexpr (kSecure) {
      lowest().expires_after(after(front_.options.handshakeSeconds));
      if (proxied_) return readProxyHeader();
      stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](const ErrorCode& ec) {
        if (!ec) self->awaitRequest();
      });
    } else {
      awaitRequest();
    }
  }

 private:
  static constexpr bool kSecure = !std::is_same_v<Stream, beast::tcp_stream>;

  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  // The PROXY header comes before TLS, within the handshake deadline. Bytes
  // read past it are the start of the TLS handshake.
  void readProxyHeader() {
    const size_t have = proxyBytes_.size();
    proxyBytes_.resize(kMaxProxyHeaderBytes);
    lowest().async_read_some(
        net::buffer(proxyBytes_.data() + have, proxyBytes_.size() - have),
        [self = this->shared_from_this(), have](const ErrorCode& ec, size_t n) {
          self->proxyBytes_.resize(have + n);
          if (ec) return;
          const ProxyHeader header = parseProxyHeader(self->proxyBytes_);
          if (header.outcome == ProxyHeader::Outcome::needMore) return self->readProxyHeader();
          if (header.outcome == ProxyHeader::Outcome::invalid) return;
          if (!self->slot_.claim(header.source.empty() ? self->slot_.address() : header.source)) return;
          if constexpr (kSecure) {
            self->proxyBytes_.erase(0, header.length);
            // Boost 1.81 checks this handler against both (error) and (error, size).
            self->stream_.async_handshake(ssl::stream_base::server, net::buffer(self->proxyBytes_),
                                          [self](const ErrorCode& e, size_t = 0) {
                                            if (!e) self->awaitRequest();
                                          });
          }
        });
  }

  // Between requests only the idle deadline runs; the first byte (of a
  // request or of stray line ends) starts the request deadline, which no
  // later byte moves.
  void awaitRequest() {
    started_ = false;
    if (buffer_.size() == 0) lowest().expires_after(after(front_.options.idleSeconds));
    nextBytes();
  }

  void nextBytes() {
    if (buffer_.size() > 0 && !started_) {
      started_ = true;
      lowest().expires_after(after(front_.options.requestSeconds));
    }
    // Empty lines before a request are ignored (RFC 9112 section 2.2).
    const auto* bytes = static_cast<const char*>(buffer_.data().data());
    size_t blank = 0;
    while (blank < buffer_.size() && (bytes[blank] == '\r' || bytes[blank] == '\n')) ++blank;
    buffer_.consume(blank);
    if (buffer_.size() > 0) return readHead();
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = this->shared_from_this()](const ErrorCode& ec, size_t n) {
                              if (ec) return;
                              self->buffer_.commit(n);
                              self->nextBytes();
                            });
  }

  void readHead() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(front_.options.maxHeadBytes));
    parser_->body_limit(front_.options.maxBodyBytes);
    if (ErrorCode ec = parseBuffered(false); ec || parser_->is_header_done()) return onHead(ec);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](const ErrorCode& ec, size_t) { self->onHead(ec); });
  }

  void onHead(const ErrorCode& ec) {
    if (ec) return refuse(ec);
    const auto& head = parser_->get();
    if (head.version() != 10 && head.version() != 11) {
      return answer(errorResponse(505, "Only HTTP/1.1 is served."), false, false);
    }
    if (parser_->is_done()) return dispatch();
    if (beast::iequals(head[http::field::expect], "100-continue")) {
      net::async_write(stream_, net::buffer(kContinue, sizeof kContinue - 1),
                       [self = this->shared_from_this()](const ErrorCode& e, size_t) {
                         if (!e) self->readBody();
                       });
      return;
    }
    readBody();
  }

  void readBody() {
    if (ErrorCode ec = parseBuffered(true); ec) return refuse(ec);
    if (parser_->is_done()) return dispatch();
    http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](const ErrorCode& ec, size_t) {
      if (ec) return self->refuse(ec);
      self->dispatch();
    });
  }

  // Parses what is already read, up to the end of the head or of the whole
  // request: a request that came in one piece (the usual case) goes on
  // without a trip through the event loop, which a busy thread makes long.
  ErrorCode parseBuffered(bool whole) {
    ErrorCode ec;
    while (buffer_.size() > 0 && !(whole ? parser_->is_done() : parser_->is_header_done())) {
      const size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec == http::error::need_more) return {};
      if (ec || used == 0) break;
    }
    return ec;
  }

  // A request that cannot be read: answered when the client deserves an
  // answer, dropped when it went away or ran out of time.
  void refuse(const ErrorCode& ec) {
    if (ec == http::error::body_limit) {
      return answer(errorResponse(413, "The request body is larger than " +
                                           std::to_string(front_.options.maxBodyBytes) + " bytes."),
                    false, true);
    }
    if (ec == http::error::header_limit)
      return answer(errorResponse(431, "The request head is too large."), false, false);
    // Other failures of the parser are malformed requests; a closed or timed-out stream gets no answer.
    if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
      return answer(errorResponse(400, "The request is not well-formed HTTP/1.1."), false, false);
    }
  }

  void dispatch() {
    http::request<http::string_body> message = parser_->release();
    parser_.reset();
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.authorization = std::string(message[http::field::authorization]);
    request.contentType = std::string(message[http::field::content_type]);
    request.body = std::move(message.body());
    request.remoteAddress = slot_.address();
    const bool keepAlive = message.keep_alive();
    lowest().expires_never();
    const auto started = std::chrono::steady_clock::now();
    // Two thread hand-offs fewer for the commonest request.
    if (!monitoring_ && front_.quick) {
      if (auto response = front_.quick(request)) {
        front_.latency.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return answer(std::move(*response), keepAlive, false);
      }
    }
    net::post(*front_.handlers, [self = this->shared_from_this(), request = std::move(request), keepAlive, started] {
      const RequestHandler& handler = self->monitoring_ ? self->front_.monitor : self->front_.handler;
      Response response = handler(request);
      if (!self->monitoring_) {
        self->front_.latency.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      }
      net::post(self->stream_.get_executor(), [self, response = std::move(response), keepAlive]() mutable {
        self->answer(std::move(response), keepAlive, false);
      });
    });
  }

  // The head is written by hand into one reused string, the body after it:
  // a small answer leaves in one TLS record without a serializer's work.
  void answer(Response response, bool keepAlive, bool drain) {
    head_.clear();
    head_.append("HTTP/1.1 ").append(std::to_string(response.status)).append(" ");
    head_.append(reasonPhrase(response.status)).append("\r\n");
    const auto field = [this](std::string_view name, std::string_view value) {
      head_.append(name).append(": ").append(value).append("\r\n");
    };
    const auto given = [&response](std::string_view name) {
      return std::any_of(response.headers.begin(), response.headers.end(),
                         [name](const auto& h) { return beast::iequals(h.first, name); });
    };
    field("Content-Type", response.contentType);
    // Nothing is cached unless the response says how (the console's files do).
    if (!given("Cache-Control")) field("Cache-Control", "no-store");
    if (!given("X-Content-Type-Options")) field("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : response.headers) field(name, value);
    field("Connection", keepAlive ? "keep-alive" : "close");
    field("Content-Length", std::to_string(response.body.size()));
    head_.append("\r\n");
    body_ = std::move(response.body);
    // A client that does not read its answer does not keep its slot.
    lowest().expires_after(after(front_.options.requestSeconds));
    const std::array<net::const_buffer, 2> out = {net::buffer(head_), net::buffer(body_)};
    net::async_write(stream_, out,
                      [self = this->shared_from_this(), keepAlive, drain](const ErrorCode& ec, size_t) {
                        if (ec) return;
                        if (keepAlive) return self->awaitRequest();
                        if (drain) return self->drainThenClose(0);
                        self->shutdown();
                      });
  }

  void drainThenClose(size_t drained) {
    if (drained == 0) lowest().expires_after(after(kDrainSeconds));
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kReadChunk),
                            [self = this->shared_from_this(), drained](const ErrorCode& ec, size_t n) {
                              if (ec || drained + n > kMaxDrainBytes) return;
                              self->drainThenClose(drained + n);
                            });
  }

  void shutdown() {
    if constexpr (kSecure) {
      lowest().expires_after(after(kShutdownSeconds));
      stream_.async_shutdown([self = this->shared_from_this()](const ErrorCode&) {});
    } else {
      ErrorCode ignored;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

  HttpsFront::Impl& front_;
  Stream stream_;
  // Declared after the stream so that it is given back before the socket
  // closes: a client that has seen its connection end can connect again.
  HttpsFront::Impl::Slot slot_;
  bool monitoring_;
  bool proxied_;           // a trusted proxy: a PROXY header comes first
  std::string proxyBytes_;  // read before TLS while proxied
  bool started_ = false;  // the request deadline runs
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string head_;  // of the answer being written
  std::string body_;
};

}  // namespace

Status HttpsFront::Impl::listen(Listener& listener, const std::string& host, uint16_t port) {
  ErrorCode ec;
  tcp::resolver resolver(*io.front());
  auto found =
      resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || found.empty()) return makeError("Listen", 1, "cannot resolve " + host + ": " + ec.message());
  const tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& a = listener.acceptor;
  // SO_REUSEADDR only: a second copy of the service on the same port must
  // fail rather than quietly share the connections (SO_REUSEPORT would).
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (!ec) return {};
  return makeError("Listen", ec.value(), "cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message());
}

void HttpsFront::Impl::accept(Listener& listener) {
  // One thread runs each context: its connections need no strand.
  net::io_context& home = *io[nextIo++ % io.size()];
  listener.acceptor.async_accept(home, [this, &listener](const ErrorCode& ec, tcp::socket socket) {
    if (stopping) return;
    if (ec) {
      const bool outOfResources = ec == net::error::no_descriptors || ec.value() == ENFILE ||
                                  ec == net::error::no_buffer_space || ec == net::error::no_memory;
      if (outOfResources) {
        listener.pause.expires_after(kAcceptPause);
        listener.pause.async_wait([this, &listener](const ErrorCode& e) {
          if (!e) accept(listener);
        });
        return;
      }
      return accept(listener);
    }
    ErrorCode peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    const net::ip::address from = peerAddress(peer);
    const bool proxied = !peerError && listener.secure && isTrusted(from);
    std::optional<Slot> slot = peerError ? std::nullopt : admit(from.to_string(), proxied);
    if (slot) {
      socket.set_option(tcp::no_delay(true), peerError);
      beast::tcp_stream stream(std::move(socket));
      if (listener.secure) {
        std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
            *this, beast::ssl_stream<beast::tcp_stream>(std::move(stream), tls), std::move(*slot), false, proxied)
            ->start();
      } else {
        std::make_shared<Connection<beast::tcp_stream>>(*this, std::move(stream), std::move(*slot), true, false)
            ->start();
      }
    }
    accept(listener);
  });
}

Expected<std::unique_ptr<HttpsFront>> HttpsFront::create(FrontOptions options, RequestHandler handler,
                                                         RequestHandler monitor, QuickHandler quick) {
  std::unique_ptr<HttpsFront> front(new HttpsFront());
  front->impl_ = std::make_unique<Impl>();
  Impl& impl = *front->impl_;
  const int processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (options.ioThreads <= 0) options.ioThreads = processors;
  if (options.handlerThreads <= 0) options.handlerThreads = 4 * processors;
  impl.options = options;
  impl.handler = std::move(handler);
  impl.monitor = std::move(monitor);
  impl.quick = std::move(quick);
  for (const std::string& text : options.trustedProxies) {
    ErrorCode bad;
    const net::ip::address address = net::ip::make_address(text, bad);
    if (bad) return makeError("Listen", 1, "not an IP address of a trusted proxy: " + text);
    impl.trusted.push_back(address);
  }

  SSL_CTX* ctx = impl.tls.native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
  if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) return makeError("TLS", 1, "cannot set the TLS 1.2 ciphers");
  ErrorCode ec;
  impl.tls.use_certificate_chain_file(options.certificateFile, ec);
  if (ec) return makeError("TLS", 1, "cannot load certificate " + options.certificateFile + ": " + ec.message());
  impl.tls.use_private_key_file(options.keyFile, ssl::context::pem, ec);
  if (ec || SSL_CTX_check_private_key(ctx) != 1) {
    return makeError("TLS", 1, "cannot load key " + options.keyFile + ": " + ec.message());
  }

  for (int i = 0; i < options.ioThreads; ++i) {
    impl.io.push_back(std::make_unique<net::io_context>(1));
    impl.keepRunning.push_back(net::make_work_guard(*impl.io.back()));
  }
  impl.main = std::make_unique<Impl::Listener>(*impl.io.front(), true);
  if (Status s = impl.listen(*impl.main, options.host, options.port); !s) return std::move(s).error();
  if (!options.monitorHost.empty()) {
    impl.monitoring = std::make_unique<Impl::Listener>(*impl.io.front(), false);
    if (Status s = impl.listen(*impl.monitoring, options.monitorHost, options.monitorPort); !s) {
      return std::move(s).error();
    }
  }
  return front;
}

HttpsFront::~HttpsFront() {
  if (!impl_) return;
  stop();
  wait();
}

uint16_t HttpsFront::port() const { return impl_->main->acceptor.local_endpoint().port(); }

uint16_t HttpsFront::monitorPort() const {
  return impl_->monitoring ? impl_->monitoring->acceptor.local_endpoint().port() : 0;
}

void HttpsFront::start() {
  Impl& impl = *impl_;
  impl.handlers.emplace(static_cast<size_t>(impl.options.handlerThreads));
  impl.accept(*impl.main);
  if (impl.monitoring) impl.accept(*impl.monitoring);
  for (auto& context : impl.io) impl.threads.emplace_back([&context] { context->run(); });
}

void HttpsFront::stop() {
  impl_->stopping = true;
  for (auto& context : impl_->io) context->stop();
}

void HttpsFront::wait() {
  for (std::thread& t : impl_->threads) {
    if (t.joinable()) t.join();
  }
  impl_->threads.clear();
  if (impl_->handlers) impl_->handlers->join();
}

size_t HttpsFront::openConnections() const {
  std::lock_guard lock(impl_->countsMutex);
  return impl_->open;
}

std::string HttpsFront::latencyMetrics() const { return impl_->latency.text("kx_request_duration_seconds"); }

}  // namespace kx::service
