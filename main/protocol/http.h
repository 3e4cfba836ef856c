// HTTP as the logic layers see it, and the pinned service transport shared by
// both roles: one host, https only, no redirects, no cookies or cache.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/enrollment_configuration.h"
#include "protocol/json.h"
#include "runtime/error.h"
#include "runtime/task.h"

namespace kx {

struct HttpRequest {
  std::string method = "POST";  // "GET" or "POST"
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  double timeoutSeconds = 12;
};

struct HttpResponse {
  int status = 0;  // 0 when the answer was not HTTP
  std::string body;
};

// Implemented in main/platform (libcurl) and by test fakes.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends one request off the loop thread. `done` runs exactly once on the
  // loop thread, unless the transport is destroyed first. Redirects are never
  // followed: a 3xx is an ordinary response. Transport failures (time-out, no
  // connection, TLS) are errors of domain "libcurl" with curl's code and text.
  virtual void send(HttpRequest request, std::function<void(Expected<HttpResponse>)> done) = 0;
};

Task<Expected<HttpResponse>> sendRequest(HttpTransport& transport, HttpRequest request);

// Binds a transport to the host of the service address: anything not https
// to that host is refused before a byte is sent (domain "PinnedConnection",
// code 1).
class PinnedConnection {
 public:
  // Fails with the address error when the record's address is invalid.
  static Expected<PinnedConnection> create(const EnrollmentConfiguration& configuration,
                                           std::string_view serviceHost);
  const std::string& host() const { return host_; }
  Status check(std::string_view url) const;

 private:
  explicit PinnedConnection(std::string host) : host_(std::move(host)) {}
  std::string host_;
};

// The error check() and a host-guarded transport give for a refused address.
Error pinnedConnectionRefusal();

// Agent policy: POST JSON to base + "/api/" + path, "Bearer " + device key, 12 s.
HttpRequest makeAgentRequest(const std::string& base, const std::string& path, const Json& body,
                             const std::string& secret);
// 200 + JSON object → object; 200 + other JSON → {}; 200 + not JSON → parse
// error (domain "JSON", code 3840); other status → "KestrelixService", code =
// status, "Server <status>: " + the body's "error" text or "Request rejected".
Expected<Json> interpretAgentResponse(Expected<HttpResponse> response);

// Console policy: base + "/api/admin/" + path, GET without body, POST with a
// JSON body, "Bearer " + token, 8 s.
HttpRequest makeConsoleRequest(const std::string& apiBase, const std::string& path,
                               const std::optional<Json>& body, const std::string& token);
// 200: a list of objects → {"devices": list}; an object → itself; other JSON →
// {}; not JSON → parse error. Other status: domain "Kestrelix", code = status,
// description = the body's "error" text or "Unable to connect to the support service".
Expected<Json> interpretConsoleResponse(Expected<HttpResponse> response);

}  // namespace kx
