#include "load.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "driver/tls_client.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"

namespace kx::bench {

using service::driver::TlsClient;

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void die(const std::string& what) {
  std::cerr << program_invocation_short_name << ": " << what << std::endl;
  std::exit(1);
}

std::string pollBody() {
  return dumpJson(Json{{"videoTransport", "webrtc"},
                       {"rtcState", "new"},
                       {"controlVersion", 4},
                       {"screenPermission", true},
                       {"inputPermission", true},
                       {"captureError", ""},
                       {"captureState", "idle"}});
}

void enrollMacs(std::vector<Mac>& macs, uint16_t port, const std::string& ca, const std::string& token, size_t count,
                size_t sessions, int threads) {
  const size_t first = macs.size();
  macs.resize(std::max(count, first));
  const std::string publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
  std::atomic<size_t> nextIndex{first};
  std::vector<std::thread> workers;
  for (int w = 0; w < threads; ++w) {
    workers.emplace_back([&] {
      auto api = must(TlsClient::connect("localhost", port, ca), "connect");
      for (size_t i; (i = nextIndex++) < count;) {
        auto code = must(api->postJson("/api/admin/setup-code", Json::object(), token), "setup code");
        auto enrolled = must(api->postJson("/api/enroll", Json{{"token", code.json().value("code", "")},
                                                               {"installation", newUuid()},
                                                               {"name", "Load device " + std::to_string(i)},
                                                               {"publicKey", publicKey}}),
                             "enroll");
        if (enrolled.status != 200) die("enroll answered " + enrolled.body);
        Mac& mac = macs[i];
        mac.id = enrolled.json().value("id", "");
        mac.key = enrolled.json().value("key", "");
        if (i >= sessions) continue;
        must(api->request("POST", "/api/device/" + mac.id + "/poll", pollBody(), mac.key), "poll");
        mac.session = newUuid();
        const Json request{{"id", mac.session},
                           {"device", mac.id},
                           {"browserKey", publicKey},
                           {"salt", base64Encode(randomBytes(16))}};
        // Behind a proxy that spreads requests, the request may reach a
        // replica before the poll's news does: asked again until it has.
        auto requested = must(api->postJson("/api/admin/request", request, token), "request");
        for (const double deadline = now() + 5; requested.status == 409 && now() < deadline;) {
          requested = must(api->postJson("/api/admin/request", request, token), "request");
        }
        if (requested.status != 200) die("request answered " + requested.body);
        auto decided = must(api->postJson("/api/device/" + mac.id + "/decision",
                                          Json{{"session", mac.session}, {"approve", true}}, mac.key),
                            "decision");
        if (decided.status != 200) die("decision answered " + decided.body);
      }
    });
  }
  for (auto& w : workers) w.join();
}

std::string pollRequest(const Mac& mac, const std::string& body) {
  return "POST /api/device/" + mac.id + "/poll HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " + mac.key +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string statusRequest(const std::string& session, const std::string& token) {
  return "GET /api/admin/session/" + session + "/status HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " +
         token + "\r\n\r\n";
}

std::string signalRequest(const std::string& session, const std::string& token, const Json& body) {
  const std::string text = dumpJson(body);
  return "POST /api/admin/session/" + session + "/signal HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " +
         token + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" +
         text;
}

SSL_CTX* clientContext(const std::string& ca) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A record in one read, not its header and then its body.
  SSL_CTX_set_read_ahead(ctx, 1);
  return ctx;
}

// --- one connection --------------------------------------------------------------

void LoadConnection::open(SSL_CTX* ctx, int epoll, void* tag, in_addr_t source, uint16_t port) {
  close();
  epoll_ = epoll;
  tag_ = tag;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Thousands of connections from one address need the port chosen at connect().
  setsockopt(fd_, SOL_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ssl_ = SSL_new(ctx);
  SSL_set_fd(ssl_, fd_);
  SSL_set1_host(ssl_, "localhost");
  SSL_set_connect_state(ssl_);
  in_.clear();
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
  ev.data.ptr = tag_;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &ev);
}

void LoadConnection::close() {
  if (ssl_) SSL_free(ssl_);
  if (fd_ >= 0) ::close(fd_);
  ssl_ = nullptr;
  fd_ = -1;
}

void LoadConnection::watch(uint32_t events) {
  epoll_event ev{};
  ev.events = events | EPOLLET;
  ev.data.ptr = tag_;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, fd_, &ev);
}

LoadConnection::Step LoadConnection::handshake() {
  ERR_clear_error();
  const int rc = SSL_do_handshake(ssl_);
  if (rc == 1) {
    watch(EPOLLIN);
    return Step::done;
  }
  const int e = SSL_get_error(ssl_, rc);
  return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? Step::wait : Step::failed;
}

LoadConnection::Step LoadConnection::write(const std::string& out, size_t& written) {
  while (written < out.size()) {
    ERR_clear_error();
    const int n = SSL_write(ssl_, out.data() + written, static_cast<int>(out.size() - written));
    if (n <= 0) {
      const int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_WANT_WRITE) watch(EPOLLIN | EPOLLOUT);
      return e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? Step::wait : Step::failed;
    }
    written += static_cast<size_t>(n);
  }
  return Step::done;
}

LoadConnection::Step LoadConnection::readAnswer(int& status, std::string& body) {
  for (;;) {
    const size_t head = in_.find("\r\n\r\n");
    if (head != std::string::npos) {
      // HAProxy sends header names in lower case.
      constexpr std::string_view kLength = "content-length:";
      const auto end = in_.begin() + static_cast<std::ptrdiff_t>(head);
      const auto at = std::search(in_.begin(), end, kLength.begin(), kLength.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
      });
      if (at == end || head < 12) return Step::failed;
      const size_t length = std::strtoul(&*at + kLength.size(), nullptr, 10);
      if (in_.size() >= head + 4 + length) {
        status = std::atoi(in_.c_str() + 9);
        if (status != 200 && std::getenv("KX_LOAD_DEBUG")) std::cerr << in_.substr(0, 300) << std::endl;
        body = in_.substr(head + 4, length);
        in_.erase(0, head + 4 + length);
        return Step::done;
      }
    }
    char buffer[32768];
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n <= 0) {
      const int e = SSL_get_error(ssl_, n);
      return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? Step::wait : Step::failed;
    }
    in_.append(buffer, static_cast<size_t>(n));
  }
}

// --- latencies ---------------------------------------------------------------------

void Histogram::record(double seconds) {
  counts[static_cast<size_t>(std::clamp(seconds * 1e4, 0.0, static_cast<double>(kBuckets)))]++;
}

void Histogram::add(const Histogram& other) {
  for (int i = 0; i <= kBuckets; ++i) counts[i] += other.counts[i];
}

uint64_t Histogram::total() const {
  uint64_t sum = 0;
  for (uint32_t n : counts) sum += n;
  return sum;
}

double Histogram::percentileMs(double p) const {
  const uint64_t all = total();
  if (all == 0) return 0;
  const auto rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(all)));
  uint64_t seen = 0;
  for (int i = 0; i <= kBuckets; ++i) {
    seen += counts[i];
    if (seen >= rank) return (i + 1) / 10.0;
  }
  return kBuckets / 10.0;
}

}  // namespace kx::bench
