// HttpTransport over libcurl: https only, no redirects, no cookies, no proxy,
// peer and host verification on. One background thread drives a curl multi
// handle, so several requests run at once and connections are kept alive and
// reused between requests.
#pragma once

#include <memory>
#include <string>

#include "protocol/http.h"
#include "runtime/event_loop.h"

namespace kx {

class CurlTransport final : public HttpTransport {
 public:
  struct Options {
    // A PEM file trusted besides the system store (a local service's CA).
    // Ignored when empty or missing.
    std::string extraCaFile;
    // When set, any request whose address (as curl itself reads it) is not
    // https to exactly this host fails with pinnedConnectionRefusal() before
    // a connection is made: a second guard behind PinnedConnection::check().
    std::string pinnedHost;
  };

  // Construction, send() and destruction happen on the loop thread.
  // Completions are post()ed to `loop`, which must outlive the transport.
  CurlTransport(EventLoop& loop, Options options);
  // Stops the transfer thread. Unfinished requests are abandoned: their
  // completions are never called, not even ones already posted to the loop.
  ~CurlTransport() override;

  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  void send(HttpRequest request, std::function<void(Expected<HttpResponse>)> done) override;

 private:
  class Worker;
  EventLoop& loop_;
  // Posted completions hold this weakly; it dies first in the destructor.
  std::shared_ptr<int> alive_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace kx
