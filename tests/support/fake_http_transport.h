// An HttpTransport for tests: it records every request and lets the test
// answer each one when it chooses. Answers run the completion synchronously
// (the test is on the loop thread). Destroying the fake drops unanswered
// completions, as the real transport does.
#pragma once

#include <strings.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/http.h"
#include "protocol/json.h"
#include "runtime/event_loop.h"

namespace kx {

// A recorded request with readers for what tests usually check.
struct RecordedHttpRequest {
  HttpRequest request;

  const std::string& method() const { return request.method; }

  // The URL's path and query ("/api/poll"), or "" when there is none.
  std::string path() const {
    const auto scheme = request.url.find("://");
    const auto start = request.url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (start == std::string::npos) return {};
    return request.url.substr(start, request.url.find('#', start) - start);
  }

  // The first header of that name (case-insensitive), if any.
  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [key, value] : request.headers) {
      if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
    }
    return std::nullopt;
  }

  // The body as JSON; a discarded value when it is not JSON.
  Json json() const { return Json::parse(request.body, nullptr, /*allow_exceptions=*/false); }
};

class FakeHttpTransport final : public HttpTransport {
 public:
  using Completion = std::function<void(Expected<HttpResponse>)>;

  // The loop is the one the code under test runs on; answers need none.
  explicit FakeHttpTransport(EventLoop* = nullptr) {}

  void send(HttpRequest request, Completion done) override {
    RecordedHttpRequest recorded{std::move(request)};
    sent_.push_back(recorded);
    pending_.push_back(Pending{std::move(recorded), std::move(done)});
  }

  // Every request ever sent, oldest first (answered ones included).
  const std::vector<RecordedHttpRequest>& sent() const { return sent_; }
  size_t pending() const { return pending_.size(); }
  // The oldest unanswered request.
  const RecordedHttpRequest& next() const { return at(0); }
  const RecordedHttpRequest& at(size_t index) const { return pending_.at(index).request; }
  // Index of the oldest pending request whose path starts with `prefix`.
  std::optional<size_t> find(std::string_view prefix) const {
    for (size_t i = 0; i < pending_.size(); ++i) {
      if (pending_[i].request.path().starts_with(prefix)) return i;
    }
    return std::nullopt;
  }

  // Answer the oldest pending request (or the one at `index`).
  void respond(int status, std::string body, size_t index = 0) {
    complete(index, HttpResponse{status, std::move(body)});
  }
  void respondJson(int status, const Json& body, size_t index = 0) { respond(status, dumpJson(body), index); }
  // Answers the oldest pending request whose path starts with `prefix`.
  void respondTo(std::string_view prefix, int status, std::string body) {
    const auto index = find(prefix);
    if (!index) throw std::out_of_range("FakeHttpTransport: no pending request for " + std::string(prefix));
    respond(status, std::move(body), *index);
  }

  // Drops every unanswered completion without calling it.
  void abandonAll() { pending_.clear(); }

 private:
  struct Pending {
    RecordedHttpRequest request;
    Completion done;
  };

  void complete(size_t index, Expected<HttpResponse> answer) {
    // Taken out first: the completion may send the next request.
    Pending taken = std::move(pending_.at(index));
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
    taken.done(std::move(answer));
  }

  std::vector<RecordedHttpRequest> sent_;
  std::deque<Pending> pending_;
};

// Hands every request to a transport the test owns, for code that owns the
// transport it is given.
class ForwardingHttpTransport final : public HttpTransport {
 public:
  explicit ForwardingHttpTransport(HttpTransport& target) : target_(target) {}
  void send(HttpRequest request, std::function<void(Expected<HttpResponse>)> done) override {
    target_.send(std::move(request), std::move(done));
  }

 private:
  HttpTransport& target_;
};

}  // namespace kx
