// A small blocking HTTPS/1.1 client with keep-alive, for tests and benchmark
// set-up: one TLS connection on loopback, certificate checked against a given
// CA file and host name or IP address, every response framed by
// Content-Length.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/json.h"
#include "runtime/error.h"

namespace kx::service::driver {

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const { return headers.contains(name) ? headers.at(name) : ""; }
  Json json() const { return parseJson(body).value_or(Json()); }  // null when the body is not JSON
};

struct ConnectOptions {
  double timeoutSeconds = 10;
  std::string source;       // a loopback address to connect from ("127.0.0.7"); "" for the default
  std::string proxyHeader;  // sent before TLS, as a proxy announces the client it speaks for
};

class TlsClient {
 public:
  static Expected<std::unique_ptr<TlsClient>> connect(const std::string& host, uint16_t port,
                                                      const std::string& caFile, const ConnectOptions& options = {});
  ~TlsClient();

  Expected<HttpReply> request(const std::string& method, const std::string& target, const std::string& body = "",
                              const std::string& bearer = "",
                              const std::vector<std::pair<std::string, std::string>>& headers = {});
  Expected<HttpReply> postJson(const std::string& target, const Json& body, const std::string& bearer = "") {
    return request("POST", target, dumpJson(body), bearer, {{"Content-Type", "application/json"}});
  }

  // Writes bytes as they are; for requests the client would not make.
  Status sendRaw(std::string_view bytes);
  Expected<HttpReply> readReply();
  // Ends the sending side (a TCP FIN, without TLS close_notify), as a client
  // that goes away does; reading still works.
  void finishSending();
  // True once the server has closed the connection within the time-out;
  // what it sends meanwhile is dropped.
  bool waitForClose(double timeoutSeconds);

 private:
  TlsClient() = default;
  bool fill();

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  double timeoutSeconds_ = 0;
  std::string host_, buffer_;
};

// The verifier and challenge of RFC 7636 appendix B, and a state, for sign-ins.
inline constexpr const char* kPkceVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
inline constexpr const char* kPkceChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
inline constexpr const char* kSignInState = "00112233445566778899aabbccddeeff";

// Browser and app together: signs `name` in and exchanges the code for a technician token.
Expected<std::string> signInTechnician(TlsClient& client, const std::string& name, const std::string& password);

}  // namespace kx::service::driver
