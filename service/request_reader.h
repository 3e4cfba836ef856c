// Reads HTTP/1.1 requests from a byte stream (RFC 9112): request line,
// headers and a Content-Length body, with hard limits on each. Pipelined
// requests stay buffered for the next call. No sockets: the server and the
// fuzzer feed it bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/request_limits.h"

namespace kx::service {

struct ParsedRequest {
  std::string method;
  std::string target;
  int minorVersion = 1;  // HTTP/1.0 or HTTP/1.1
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  bool keepAlive = true;

  // The first header of that (lower-case) name, or "".
  std::string_view header(std::string_view name) const;
};

class RequestReader {
 public:
  struct Limits {
    size_t maxHeadBytes = 16 * 1024;  // request line and headers
    size_t maxBodyBytes = kMaxRequestBodyBytes;
    size_t maxHeaders = 100;
  };

  enum class Result {
    needMore,  // feed more bytes
    ready,     // take() the request
    failed,    // answer errorStatus() and close the connection
  };

  explicit RequestReader(Limits limits);

  void append(std::string_view bytes);
  Result next();
  ParsedRequest take();

  // Set once per request when its head asked for "Expect: 100-continue" and
  // the body has not arrived yet; reading it clears it.
  bool takeContinueRequest();

  int errorStatus() const { return errorStatus_; }
  const std::string& errorMessage() const { return errorMessage_; }
  // Bytes received but not yet part of a taken request.
  size_t buffered() const { return buffer_.size(); }
  // After a refusal of a too large body: how many of its bytes are still to come.
  size_t unreadBodyBytes() const;

 private:
  Result fail(int status, std::string message);
  bool parseHead(std::string_view head);

  Limits limits_;
  std::string buffer_;
  size_t scanned_ = 0;       // where the search for the end of the head resumes
  bool haveHead_ = false;
  size_t headBytes_ = 0;     // head length including the blank line
  size_t bodyBytes_ = 0;
  bool continueRequested_ = false;
  ParsedRequest request_;
  std::optional<ParsedRequest> ready_;
  int errorStatus_ = 0;
  std::string errorMessage_;
};

}  // namespace kx::service
