// One HTTP exchange as the service core sees it: no sockets, no TLS, no
// framing. The server fills a Request from the wire and writes the Response.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::service {

struct Request {
  std::string method;         // "GET", "POST", ...
  std::string target;         // path and query, as sent ("/api/enroll", "/native-sign-in?challenge=…")
  std::string authorization;  // the Authorization header, "" when absent
  std::string contentType;
  std::string body;
  std::string remoteAddress;  // the peer's IP address, for rate limits
};

struct Response {
  int status = 200;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // besides type and length
  std::string body;
};

// {"error": message} with the given status.
Response errorResponse(int status, std::string_view message);

// The reason phrase of a status code ("Not Found"); "Unknown" for others.
std::string_view reasonPhrase(int status);

}  // namespace kx::service
