#include "tls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <sstream>

namespace kx::service::driver {

struct TlsClient::Impl {
  int fd = -1;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  std::string buffer;  // received, not yet consumed
  int lastError = SSL_ERROR_NONE;

  ~Impl() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
    if (fd >= 0) ::close(fd);
  }

  // Reads more bytes; false on EOF or error, or when a non-blocking read
  // found no data (wouldBlock()).
  bool fill() {
    char chunk[16384];
    ERR_clear_error();
    const int n = SSL_read(ssl, chunk, sizeof chunk);
    lastError = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  }
};

namespace {
Error tlsError(const std::string& what) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  return makeError("TlsClient", 1, e ? what + ": " + ERR_error_string(e, nullptr) : what);
}
}  // namespace

std::string HttpReply::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (k == name) return v;
  }
  return {};
}

Json HttpReply::json() const { return parseJson(body).value_or(Json()); }

Expected<std::unique_ptr<TlsClient>> TlsClient::connect(const std::string& host, uint16_t port,
                                                        const std::string& caFile, const ConnectOptions& options) {
  // A write to a connection the server refused must fail, not kill the test with SIGPIPE.
  static const bool ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  const double timeoutSeconds = options.timeoutSeconds;
  std::unique_ptr<TlsClient> client(new TlsClient());
  client->impl_ = std::make_unique<Impl>();
  client->host_ = host;
  Impl& impl = *client->impl_;
  impl.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl.fd < 0) return makeError("TlsClient", errno, std::strerror(errno));
  timeval tv{static_cast<time_t>(timeoutSeconds), static_cast<suseconds_t>((timeoutSeconds - static_cast<long>(timeoutSeconds)) * 1e6)};
  setsockopt(impl.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(impl.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int one = 1;
  setsockopt(impl.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!options.source.empty()) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, options.source.c_str(), &from.sin_addr) != 1 ||
        ::bind(impl.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      return makeError("TlsClient", errno, "cannot connect from " + options.source);
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // tests and benchmarks stay on loopback
  if (::connect(impl.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return makeError("TlsClient", errno, std::strerror(errno));
  }
  if (!options.proxyHeader.empty() &&
      ::send(impl.fd, options.proxyHeader.data(), options.proxyHeader.size(), MSG_NOSIGNAL) !=
          ssize_t(options.proxyHeader.size())) {
    return makeError("TlsClient", errno, std::strerror(errno));
  }
  impl.ctx = SSL_CTX_new(TLS_client_method());
  if (!impl.ctx || SSL_CTX_load_verify_locations(impl.ctx, caFile.c_str(), nullptr) != 1) {
    return tlsError("cannot load " + caFile);
  }
  SSL_CTX_set_verify(impl.ctx, SSL_VERIFY_PEER, nullptr);
  if (options.maxTlsVersion != 0) SSL_CTX_set_max_proto_version(impl.ctx, options.maxTlsVersion);
  if (options.maxTlsVersion != 0 && options.maxTlsVersion < TLS1_2_VERSION) SSL_CTX_set_security_level(impl.ctx, 0);
  if (!options.tls12Ciphers.empty() && SSL_CTX_set_cipher_list(impl.ctx, options.tls12Ciphers.c_str()) != 1) {
    return tlsError("unknown ciphers " + options.tls12Ciphers);
  }
  impl.ssl = SSL_new(impl.ctx);
  SSL_set_fd(impl.ssl, impl.fd);
  in_addr ip{};
  if (inet_pton(AF_INET, host.c_str(), &ip) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(impl.ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(impl.ssl, host.c_str());
    SSL_set1_host(impl.ssl, host.c_str());
  }
  ERR_clear_error();
  if (SSL_connect(impl.ssl) != 1) return tlsError("TLS handshake with " + host + " failed");
  return client;
}

TlsClient::~TlsClient() = default;

Status TlsClient::sendRaw(std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ERR_clear_error();
    const int n = SSL_write(impl_->ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n <= 0) return tlsError("write failed");
    sent += static_cast<size_t>(n);
  }
  return {};
}

Expected<HttpReply> TlsClient::request(const std::string& method, const std::string& target, const std::string& body,
                                       const std::string& bearer,
                                       const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string wire = method + " " + target + " HTTP/1.1\r\nHost: " + host_ + "\r\n";
  if (!bearer.empty()) wire += "Authorization: Bearer " + bearer + "\r\n";
  for (const auto& [k, v] : headers) wire += k + ": " + v + "\r\n";
  if (!body.empty() || method == "POST") wire += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  wire += "\r\n" + body;
  if (Status s = sendRaw(wire); !s) return std::move(s).error();
  return readReply();
}

Expected<HttpReply> TlsClient::readReply() {
  Impl& impl = *impl_;
  size_t end;
  while ((end = impl.buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!impl.fill()) return makeError("TlsClient", 1, "connection closed before a response");
  }
  HttpReply reply;
  std::istringstream head(impl.buffer.substr(0, end));
  impl.buffer.erase(0, end + 4);
  std::string line;
  if (!(head >> line >> reply.status) || line != "HTTP/1.1") return makeError("TlsClient", 1, "bad status line");
  size_t length = 0;
  std::getline(head, line);
  while (std::getline(head, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon), value = line.substr(colon + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of('\r') + 1);
    if (name == "content-length") length = std::stoul(value);
    reply.headers.emplace_back(std::move(name), std::move(value));
  }
  while (impl.buffer.size() < length) {
    if (!impl.fill()) return makeError("TlsClient", 1, "connection closed inside a response body");
  }
  reply.body = impl.buffer.substr(0, length);
  impl.buffer.erase(0, length);
  return reply;
}

void TlsClient::finishSending() { ::shutdown(impl_->fd, SHUT_WR); }

bool TlsClient::waitForClose(double timeoutSeconds) {
  // Non-blocking meanwhile: a record without data (a session ticket) is no close.
  const int flags = fcntl(impl_->fd, F_GETFL);
  fcntl(impl_->fd, F_SETFL, flags | O_NONBLOCK);
  pollfd p{impl_->fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  bool closed = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (SSL_pending(impl_->ssl) == 0 && (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)) break;
    if (!impl_->fill() && impl_->lastError != SSL_ERROR_WANT_READ) {
      closed = true;
      break;
    }
    impl_->buffer.clear();
  }
  fcntl(impl_->fd, F_SETFL, flags);
  return closed;
}

Expected<std::string> signInTechnician(TlsClient& client, const std::string& name, const std::string& password) {
  auto redirect = client.request(
      "POST", "/native-sign-in",
      "name=" + name + "&password=" + password + "&challenge=" + kPkceChallenge + "&state=" + kSignInState, "",
      {{"Content-Type", "application/x-www-form-urlencoded"}});
  if (!redirect) return std::move(redirect).error();
  const std::string location = redirect->header("location");
  const size_t at = location.find("code=");
  if (redirect->status != 303 || at == std::string::npos) {
    return makeError("SignIn", redirect->status, "the portal did not sign in: " + redirect->body);
  }
  const std::string code = location.substr(at + 5, location.find('&', at) - at - 5);
  auto exchanged = client.postJson("/api/admin/exchange", Json{{"code", code}, {"verifier", kPkceVerifier}});
  if (!exchanged) return std::move(exchanged).error();
  const std::string token = exchanged->json().value("token", "");
  if (exchanged->status != 200 || token.empty()) {
    return makeError("SignIn", exchanged->status, "the code exchange failed: " + exchanged->body);
  }
  return token;
}

}  // namespace kx::service::driver
