#include "tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>

namespace kx::service::driver {

namespace {

Error tlsError(const std::string& what) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  return makeError("TlsClient", 1, e ? what + ": " + ERR_error_string(e, nullptr) : what);
}

void setTimeout(int fd, double seconds) {
  seconds = std::max(seconds, 0.001);  // zero would mean no time-out at all
  const timeval tv{static_cast<time_t>(seconds), static_cast<suseconds_t>((seconds - static_cast<time_t>(seconds)) * 1e6)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

Expected<std::unique_ptr<TlsClient>> TlsClient::connect(const std::string& host, uint16_t port,
                                                        const std::string& caFile, const ConnectOptions& options) {
  // A write to a connection the server refused must fail, not kill the process with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<TlsClient> c(new TlsClient());
  c->host_ = host;
  c->timeoutSeconds_ = options.timeoutSeconds;
  c->fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setTimeout(c->fd_, options.timeoutSeconds);
  sockaddr_in from{AF_INET, 0, {}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  if (!options.source.empty() && (inet_pton(AF_INET, options.source.c_str(), &from.sin_addr) != 1 ||
                                  ::bind(c->fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) {
    return makeError("TlsClient", errno, "cannot connect from " + options.source);
  }
  if (::connect(c->fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
      ::send(c->fd_, options.proxyHeader.data(), options.proxyHeader.size(), MSG_NOSIGNAL) < 0) {
    return makeError("TlsClient", errno, std::strerror(errno));
  }
  c->ctx_ = SSL_CTX_new(TLS_client_method());
  if (SSL_CTX_load_verify_locations(c->ctx_, caFile.c_str(), nullptr) != 1) return tlsError("cannot load " + caFile);
  SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_PEER, nullptr);
  c->ssl_ = SSL_new(c->ctx_);
  SSL_set_fd(c->ssl_, c->fd_);
  in_addr ip{};
  if (inet_pton(AF_INET, host.c_str(), &ip) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl_), host.c_str());
  } else {
    SSL_set_tlsext_host_name(c->ssl_, host.c_str());
    SSL_set1_host(c->ssl_, host.c_str());
  }
  if (SSL_connect(c->ssl_) != 1) return tlsError("TLS handshake with " + host + " failed");
  return c;
}

TlsClient::~TlsClient() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

bool TlsClient::fill() {
  char chunk[16384];
  const int n = SSL_read(ssl_, chunk, sizeof chunk);
  if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
  return n > 0;
}

Status TlsClient::sendRaw(std::string_view bytes) {
  size_t written = 0;
  if (SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) != 1) return tlsError("write failed");
  return {};
}

Expected<HttpReply> TlsClient::request(const std::string& method, const std::string& target, const std::string& body,
                                       const std::string& bearer,
                                       const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string wire = method + " " + target + " HTTP/1.1\r\nHost: " + host_ + "\r\n";
  if (!bearer.empty()) wire += "Authorization: Bearer " + bearer + "\r\n";
  for (const auto& [name, value] : headers) wire += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST") wire += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (Status sent = sendRaw(wire + "\r\n" + body); !sent) return std::move(sent).error();
  return readReply();
}

Expected<HttpReply> TlsClient::readReply() {
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return makeError("TlsClient", 1, "connection closed before a response");
  }
  HttpReply reply;
  std::istringstream head(buffer_.substr(0, end + 2));
  buffer_.erase(0, end + 4);
  std::string line;
  head >> line >> reply.status;
  std::getline(head, line);
  while (std::getline(head, line)) {  // "Name: value\r"
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    reply.headers[name] = line.substr(colon + 2, line.size() - colon - 3);
  }
  const std::string lengthText = reply.header("content-length");
  const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
  while (buffer_.size() < length) {
    if (!fill()) return makeError("TlsClient", 1, "connection closed inside a response body");
  }
  reply.body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return reply;
}

void TlsClient::finishSending() { ::shutdown(fd_, SHUT_WR); }

bool TlsClient::waitForClose(double timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  bool closed = false;
  // A record without data (a session ticket) is read inside SSL_read and is no close.
  for (auto left = deadline - Clock::now(); !closed && left.count() > 0; left = deadline - Clock::now()) {
    setTimeout(fd_, std::chrono::duration<double>(left).count());
    char chunk[4096];
    const int n = SSL_read(ssl_, chunk, sizeof chunk);
    closed = n <= 0 && SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ;
  }
  setTimeout(fd_, timeoutSeconds_);
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
