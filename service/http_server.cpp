#include "service/http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "runtime/clock.h"

namespace kx::service {

namespace {

// Requests answered for one connection before the worker turns to others.
constexpr int kRequestsPerTurn = 16;
constexpr int kAcceptsPerTurn = 8;
constexpr size_t kReadChunk = 16 * 1024;
// After refusing a request the rest of its bytes are read and dropped for a
// moment, so that the client sees the refusal rather than a reset.
constexpr size_t kMaxDrainBytes = 1024 * 1024;
constexpr double kDrainSeconds = 2;

enum class Phase { handshake, reading, writing, draining };
enum class AfterWrite { read, drain, close };
enum class Outcome { alive, yielded, closed };

struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string peer;
  Phase phase = Phase::handshake;
  RequestReader reader;
  std::string out;
  size_t outOffset = 0;
  AfterWrite afterWrite = AfterWrite::read;
  double deadline = 0;
  size_t drained = 0;
  size_t drainTarget = 0;  // 0: until the client stops or the drain time ends
  bool queued = false;  // on the worker's list of connections to resume
  // Write readiness is watched only while OpenSSL waits for it: watching it
  // always would wake the worker after every response that the peer ACKs.
  bool wantsWrite = false;
  bool watchingWrite = false;

  explicit Connection(RequestReader::Limits limits) : reader(limits) {}
  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
};

double monotonicNow() {
  static const SystemClock clock;
  return clock.uptime();
}

std::string peerAddress(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  }
  return text;
}

std::string sslErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text.empty() ? "unknown TLS error" : text;
}

}  // namespace

std::string serializeResponse(const Response& response, bool keepAlive) {
  std::string out;
  out.reserve(256 + response.body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(response.status);
  out += ' ';
  out += reasonPhrase(response.status);
  out += "\r\nContent-Type: ";
  out += response.contentType;
  out += "\r\nContent-Length: ";
  out += std::to_string(response.body.size());
  out += keepAlive ? "\r\nConnection: keep-alive" : "\r\nConnection: close";
  // Nothing is cached unless the response says how (the console's files do).
  const bool cacheSet = std::any_of(response.headers.begin(), response.headers.end(),
                                    [](const auto& header) { return header.first == "Cache-Control"; });
  if (!cacheSet) out += "\r\nCache-Control: no-store";
  out += "\r\nX-Content-Type-Options: nosniff\r\n";
  for (const auto& [name, value] : response.headers) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  out += "\r\n";
  out += response.body;
  return out;
}

struct HttpServer::Impl {
  ServerOptions options;
  RequestHandler handler;
  SSL_CTX* ctx = nullptr;
  int listener = -1;
  int stopFd = -1;
  std::atomic<bool> stopping{false};
  HttpServer* owner = nullptr;

  ~Impl() {
    if (listener >= 0) ::close(listener);
    if (stopFd >= 0) ::close(stopFd);
    if (ctx) SSL_CTX_free(ctx);
  }

  struct Incoming {
    int fd;
    std::string peer;
  };
  // One event loop thread and the sockets handed to it.
  struct Worker {
    int epoll = -1;
    int wake = -1;  // eventfd: the inbox has sockets
    std::mutex mutex;
    std::vector<Incoming> inbox;
    ~Worker() {
      if (epoll >= 0) ::close(epoll);
      if (wake >= 0) ::close(wake);
    }
  };
  std::vector<std::unique_ptr<Worker>> workers;
  size_t nextWorker = 0;  // used by worker 0 only

  void work(Worker& self);
  void acceptSome();
  Outcome drive(Connection& c);
  static void watch(int epoll, Connection& c);
  void respond(Connection& c, ParsedRequest request);
  void refuse(Connection& c);
};

Expected<std::unique_ptr<HttpServer>> HttpServer::create(ServerOptions options, RequestHandler handler) {
  std::unique_ptr<HttpServer> server(new HttpServer());
  server->impl_ = std::make_unique<Impl>();
  Impl& impl = *server->impl_;
  impl.owner = server.get();
  impl.handler = std::move(handler);
  if (options.workers <= 0) options.workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  impl.options = options;

  impl.ctx = SSL_CTX_new(TLS_server_method());
  if (!impl.ctx) return makeError("TLS", 1, sslErrors());
  SSL_CTX_set_min_proto_version(impl.ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(impl.ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
  // Buffers stay with their connection: releasing them when idle would free,
  // cleanse and reallocate them for every request on a kept-alive connection.
  SSL_CTX_set_mode(impl.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One read() for a whole request rather than one per record header and body.
  SSL_CTX_set_read_ahead(impl.ctx, 1);
  if (SSL_CTX_use_certificate_chain_file(impl.ctx, options.certificateFile.c_str()) != 1) {
    return makeError("TLS", 1, "cannot load certificate " + options.certificateFile + ": " + sslErrors());
  }
  if (SSL_CTX_use_PrivateKey_file(impl.ctx, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(impl.ctx) != 1) {
    return makeError("TLS", 1, "cannot load key " + options.keyFile + ": " + sslErrors());
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  if (int rc = getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return makeError("Listen", rc, "cannot resolve " + options.host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  const addrinfo* a = addresses.get();
  impl.listener = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
  if (impl.listener < 0) return makeError("Listen", errno, std::strerror(errno));
  // SO_REUSEADDR only: a second copy of the service on the same port must
  // fail rather than quietly share the connections (SO_REUSEPORT would).
  const int one = 1;
  setsockopt(impl.listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(impl.listener, a->ai_addr, a->ai_addrlen) != 0 || ::listen(impl.listener, SOMAXCONN) != 0) {
    return makeError("Listen", errno,
                     "cannot listen on " + options.host + ":" + std::to_string(options.port) + ": " +
                         std::strerror(errno));
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(impl.listener, reinterpret_cast<sockaddr*>(&bound), &length);
  const uint16_t boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                               : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  server->port_ = boundPort;
  impl.stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl.stopFd < 0) return makeError("Listen", errno, std::strerror(errno));
  for (int w = 0; w < options.workers; ++w) {
    auto worker = std::make_unique<Impl::Worker>();
    worker->epoll = epoll_create1(EPOLL_CLOEXEC);
    worker->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (worker->epoll < 0 || worker->wake < 0) return makeError("Listen", errno, std::strerror(errno));
    impl.workers.push_back(std::move(worker));
  }
  return server;
}

HttpServer::~HttpServer() {
  stop();
  wait();
}

void HttpServer::start() {
  if (!threads_.empty()) return;
  for (auto& worker : impl_->workers) threads_.emplace_back([this, w = worker.get()] { impl_->work(*w); });
}

void HttpServer::stop() {
  if (!impl_) return;
  impl_->stopping.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(impl_->stopFd, &one, sizeof one);
}

void HttpServer::wait() {
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

// One worker's loop. Worker 0 also accepts; every accepted socket goes to
// the workers in turn, so that each serves an equal share of the clients.
void HttpServer::Impl::work(Worker& self) {
  static int listenTag, stopTag, inboxTag;
  epoll_event ev{};
  ev.events = EPOLLIN;
  if (&self == workers.front().get()) {
    ev.data.ptr = &listenTag;
    epoll_ctl(self.epoll, EPOLL_CTL_ADD, listener, &ev);
  }
  ev.data.ptr = &stopTag;
  epoll_ctl(self.epoll, EPOLL_CTL_ADD, stopFd, &ev);
  ev.data.ptr = &inboxTag;
  epoll_ctl(self.epoll, EPOLL_CTL_ADD, self.wake, &ev);

  std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;
  std::deque<Connection*> resume;  // connections that used up their turn
  auto finish = [&](Connection* c, Outcome outcome) {
    if (outcome == Outcome::closed) {
      connections.erase(c);
      owner->connections_.fetch_sub(1);
      return;
    }
    watch(self.epoll, *c);
    if (outcome == Outcome::yielded && !c->queued) {
      c->queued = true;
      resume.push_back(c);
    }
  };
  auto adopt = [&] {
    std::vector<Incoming> arrived;
    {
      std::lock_guard lock(self.mutex);
      arrived.swap(self.inbox);
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(self.wake, &count, sizeof count);
    }
    for (Incoming& in : arrived) {
      auto c = std::make_unique<Connection>(options.limits);
      c->fd = in.fd;
      c->peer = std::move(in.peer);
      c->ssl = SSL_new(ctx);
      if (!c->ssl || SSL_set_fd(c->ssl, c->fd) != 1) {
        owner->connections_.fetch_sub(1);
        continue;
      }
      SSL_set_accept_state(c->ssl);
      c->deadline = monotonicNow() + options.handshakeSeconds;
      epoll_event cev{};
      cev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
      cev.data.ptr = c.get();
      if (epoll_ctl(self.epoll, EPOLL_CTL_ADD, c->fd, &cev) != 0) {
        owner->connections_.fetch_sub(1);
        continue;
      }
      Connection* raw = c.get();
      connections.emplace(raw, std::move(c));
      finish(raw, drive(*raw));
    }
  };

  double nextSweep = monotonicNow() + 1;
  epoll_event events[256];
  while (!stopping.load()) {
    const int n = epoll_wait(self.epoll, events, 256, resume.empty() ? 500 : 0);
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &stopTag) continue;
      if (tag == &listenTag) {
        acceptSome();
        continue;
      }
      if (tag == &inboxTag) {
        adopt();
        continue;
      }
      auto* c = static_cast<Connection*>(tag);
      if (c->queued) continue;  // resumed below
      finish(c, drive(*c));
    }
    for (size_t pending = resume.size(); pending > 0 && !resume.empty(); --pending) {
      Connection* c = resume.front();
      resume.pop_front();
      c->queued = false;
      finish(c, drive(*c));
    }
    const double now = monotonicNow();
    if (now >= nextSweep) {
      nextSweep = now + 1;
      std::vector<Connection*> late;
      for (auto& [c, owned] : connections) {
        if (now > c->deadline && !c->queued) late.push_back(c);
      }
      for (Connection* c : late) finish(c, Outcome::closed);
    }
  }
  owner->connections_.fetch_sub(connections.size());
  connections.clear();
  std::lock_guard lock(self.mutex);
  for (Incoming& in : self.inbox) {
    ::close(in.fd);
    owner->connections_.fetch_sub(1);
  }
  self.inbox.clear();
}

void HttpServer::Impl::acceptSome() {
  for (int accepted = 0; accepted < kAcceptsPerTurn; ++accepted) {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or out of descriptors: the backlog waits
    }
    if (owner->connections_.load() >= options.maxConnections) {
      ::close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    owner->connections_.fetch_add(1);
    owner->accepted_.fetch_add(1);
    Worker& target = *workers[nextWorker++ % workers.size()];
    std::lock_guard lock(target.mutex);
    target.inbox.push_back(Incoming{fd, peerAddress(addr)});
    const uint64_t wake = 1;
    [[maybe_unused]] ssize_t n = ::write(target.wake, &wake, sizeof wake);
  }
}

void HttpServer::Impl::watch(int epoll, Connection& c) {
  if (c.wantsWrite == c.watchingWrite) return;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (c.wantsWrite ? EPOLLOUT : 0u);
  ev.data.ptr = &c;
  if (epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &ev) == 0) c.watchingWrite = c.wantsWrite;
}

void HttpServer::Impl::respond(Connection& c, ParsedRequest parsed) {
  Request request;
  request.method = std::move(parsed.method);
  request.target = std::move(parsed.target);
  request.authorization = std::string(parsed.header("authorization"));
  request.contentType = std::string(parsed.header("content-type"));
  request.body = std::move(parsed.body);
  request.remoteAddress = c.peer;
  Response response;
  try {
    response = handler(request);
  } catch (...) {
    response = errorResponse(500, "Internal error.");
  }
  const bool keepAlive = parsed.keepAlive && !stopping.load();
  c.out = serializeResponse(response, keepAlive);
  c.outOffset = 0;
  c.afterWrite = keepAlive ? AfterWrite::read : AfterWrite::close;
  c.phase = Phase::writing;
}

void HttpServer::Impl::refuse(Connection& c) {
  c.out = serializeResponse(errorResponse(c.reader.errorStatus(), c.reader.errorMessage()), false);
  c.outOffset = 0;
  c.afterWrite = AfterWrite::drain;
  c.drainTarget = c.reader.unreadBodyBytes();
  c.phase = Phase::writing;
}

Outcome HttpServer::Impl::drive(Connection& c) {
  int answered = 0;
  // True when OpenSSL is waiting for the socket; false when the connection is lost.
  auto blocked = [&](int rc) {
    const int e = SSL_get_error(c.ssl, rc);
    c.wantsWrite = e == SSL_ERROR_WANT_WRITE;
    return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
  };
  for (;;) {
    ERR_clear_error();
    switch (c.phase) {
      case Phase::handshake: {
        const int rc = SSL_do_handshake(c.ssl);
        if (rc == 1) {
          c.phase = Phase::reading;
          c.deadline = monotonicNow() + options.idleSeconds;
          continue;
        }
        return blocked(rc) ? Outcome::alive : Outcome::closed;
      }
      case Phase::reading: {
        switch (c.reader.next()) {
          case RequestReader::Result::ready:
            if (++answered > kRequestsPerTurn) return Outcome::yielded;
            respond(c, c.reader.take());
            continue;
          case RequestReader::Result::failed:
            refuse(c);
            continue;
          case RequestReader::Result::needMore:
            break;
        }
        if (c.reader.takeContinueRequest()) {
          c.out = "HTTP/1.1 100 Continue\r\n\r\n";
          c.outOffset = 0;
          c.afterWrite = AfterWrite::read;
          c.phase = Phase::writing;
          continue;
        }
        char buffer[kReadChunk];
        const int n = SSL_read(c.ssl, buffer, sizeof buffer);
        if (n > 0) {
          // A request's deadline runs from its first byte.
          if (c.reader.buffered() == 0) c.deadline = monotonicNow() + options.requestSeconds;
          c.reader.append(std::string_view(buffer, static_cast<size_t>(n)));
          continue;
        }
        return blocked(n) ? Outcome::alive : Outcome::closed;
      }
      case Phase::writing: {
        while (c.outOffset < c.out.size()) {
          const int n = SSL_write(c.ssl, c.out.data() + c.outOffset, static_cast<int>(c.out.size() - c.outOffset));
          if (n <= 0) return blocked(n) ? Outcome::alive : Outcome::closed;
          c.outOffset += static_cast<size_t>(n);
        }
        c.out.clear();
        c.outOffset = 0;
        const double now = monotonicNow();
        switch (c.afterWrite) {
          case AfterWrite::read:
            c.phase = Phase::reading;
            c.deadline = now + (c.reader.buffered() > 0 ? options.requestSeconds : options.idleSeconds);
            continue;
          case AfterWrite::drain:
            c.phase = Phase::draining;
            c.deadline = now + kDrainSeconds;
            continue;
          case AfterWrite::close:
            ERR_clear_error();
            SSL_shutdown(c.ssl);
            return Outcome::closed;
        }
        continue;
      }
      case Phase::draining: {
        char buffer[kReadChunk];
        const int n = SSL_read(c.ssl, buffer, sizeof buffer);
        if (n > 0) {
          c.drained += static_cast<size_t>(n);
          if (c.drainTarget > 0 && c.drained >= c.drainTarget) {
            ERR_clear_error();
            SSL_shutdown(c.ssl);
            return Outcome::closed;
          }
          if (c.drained > kMaxDrainBytes) return Outcome::closed;
          continue;
        }
        return blocked(n) ? Outcome::alive : Outcome::closed;
      }
    }
  }
}

}  // namespace kx::service
