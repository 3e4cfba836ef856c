// The curl transport against a local HTTPS server whose certificate comes
// from a local CA, as the service makes one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/curl/curl_transport.h"
#include "protocol/http.h"
#include "runtime/basic_loop.h"
#include "runtime/task.h"
#include "service/local_certificates.h"
#include "support/scratch.h"

namespace kx {
namespace {

using namespace std::chrono_literals;

// One request as a task, its answer left in `out`. (A lambda coroutine would
// refer to its closure after the closure is gone.)
Task<void> sendInto(HttpTransport& transport, HttpRequest request, std::optional<Expected<HttpResponse>>& out) {
  out = co_await sendRequest(transport, std::move(request));
}

// A CA and a server certificate for localhost and 127.0.0.1, in a folder of their own.
struct LocalCa {
  testing::TempDir folder{"kx-transport-ca"};
  service::CertificateFiles files = service::ensureLocalCertificates(folder.path()).value();
};

// An HTTPS server on a loopback address, recording the requests it gets.
class LocalHttpsServer {
 public:
  explicit LocalHttpsServer(const LocalCa& ca, const std::string& address = "127.0.0.1")
      : server_(ca.files.certificateFile.c_str(), ca.files.keyFile.c_str()) {
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
      std::lock_guard lock(mutex_);
      seen_.push_back(request);
      return httplib::Server::HandlerResponse::Unhandled;
    });
    port_ = server_.bind_to_any_port(address);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    if (!testing::waitUntil([this] { return server_.is_running(); })) throw std::runtime_error("server did not start");
  }
  ~LocalHttpsServer() {
    release();
    server_.stop();
    thread_.join();
  }
  httplib::SSLServer& http() { return server_; }
  std::string url(const std::string& host = "localhost") const { return "https://" + host + ":" + std::to_string(port_); }
  std::vector<httplib::Request> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  void release() { released_ = true; }
  // Answers `path` with `body`, or, when `status` is 0, with a 504 once released.
  void serve(const std::string& path, int status, const std::string& body) {
    server_.Post(path, [this, status, body](const httplib::Request&, httplib::Response& response) {
      if (!status) testing::waitUntil([this] { return released_.load(); }, 10s);
      response.status = status ? status : 504;
      response.set_content(body, "application/json");
    });
  }

 private:
  httplib::SSLServer server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<httplib::Request> seen_;
  std::atomic<bool> released_ = false;
};

EnrollmentConfiguration enrollmentFor(const std::string& url) {
  EnrollmentConfiguration configuration;
  configuration.url = url;
  return configuration;
}

class HttpsTransport : public ::testing::Test {
 protected:
  // Sends through the pinned connection the way both roles do: refused
  // addresses never reach the transport.
  Expected<HttpResponse> send(HttpRequest request, CurlTransport* through = nullptr, bool checked = true) {
    if (Status allowed = connection_.check(request.url); checked && !allowed) return std::move(allowed).error();
    std::optional<Expected<HttpResponse>> result;
    scope_.spawn(sendInto(through ? *through : transport_, std::move(request), result));
    EXPECT_TRUE(loop_.runUntil([&] { return result.has_value(); }, 20));
    return result ? std::move(*result) : makeError("test", 0, "no answer");
  }
  HttpRequest poll(const std::string& base) { return makeAgentRequest(base, "poll", Json::object(), "key"); }

  LocalCa ca_;
  LocalHttpsServer server_{ca_};
  PinnedConnection connection_ = PinnedConnection::create(enrollmentFor(server_.url()), "localhost").value();
  VirtualLoop loop_;
  CurlTransport transport_{loop_, {.extraCaFile = ca_.files.caFile, .pinnedHost = "localhost"}};
  TaskScope scope_;  // destroyed first: no task outlives the transport
};

TEST_F(HttpsTransport, BothRolesGetAnswersOnOneConnectionWithoutRedirectsCookiesOrProxies) {
  // Nothing listens on the discard port: a request through the proxy would fail.
  const testing::ScopedEnv lower("https_proxy", "http://127.0.0.1:9"), upper("HTTPS_PROXY", "http://127.0.0.1:9");
  std::string posted;  // the body is read after the pre-routing handler
  server_.http().Post("/api/register", [&](const httplib::Request& request, httplib::Response& response) {
    posted = request.body;
    response.set_header("Set-Cookie", "session=abc; Path=/; Secure");
    response.set_content(R"({"device":"D1","key":"k"})", "application/json");
  });
  server_.http().Post("/api/moved", [&](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", server_.url() + "/api/elsewhere");
    response.set_content(R"({"error":"Moved away"})", "application/json");
  });
  server_.serve("/api/poll", 401, R"({"error":"Unknown device"})");
  server_.http().Get("/api/admin/devices", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("{}", "application/json");
  });

  auto agent = [&](const std::string& path, const Json& body, const std::string& secret) {
    return interpretAgentResponse(send(makeAgentRequest(server_.url(), path, body, secret)));
  };
  EXPECT_EQ(agent("register", Json{{"device", "D1"}}, "").value(), (Json{{"device", "D1"}, {"key", "k"}}));
  EXPECT_EQ(agent("poll", Json::object(), "key").error(), makeError("KestrelixService", 401, "Server 401: Unknown device"));
  EXPECT_EQ(agent("moved", Json::object(), "key").error().description, "Server 302: Moved away");
  ASSERT_TRUE(interpretConsoleResponse(send(makeConsoleRequest(server_.url(), "devices", std::nullopt, "tok"))).ok());

  const auto seen = server_.seen();
  ASSERT_EQ(seen.size(), 4u);  // none to /api/elsewhere
  std::set<int> clientPorts;
  for (const auto& request : seen) {
    clientPorts.insert(request.remote_port);
    EXPECT_FALSE(request.has_header("Cookie")) << request.path;
    EXPECT_FALSE(request.has_header("Expect")) << request.path;
  }
  EXPECT_EQ(clientPorts.size(), 1u);
  EXPECT_EQ(std::tie(seen[0].method, posted), std::make_tuple("POST", R"({"device":"D1"})"));
  EXPECT_EQ(std::tie(seen[3].method, seen[3].body), std::make_tuple("GET", ""));
  EXPECT_EQ(seen[3].get_header_value("Authorization"), "Bearer tok");
}

// Each is a libcurl error (or the pin's refusal) and, but for the last two,
// nothing reached a server.
TEST_F(HttpsTransport, UntrustedUnpinnedWeakSlowOrHugeExchangesFail) {
  const Error refused = makeError("PinnedConnection", 1, "Refused a request outside the support service.");
  LocalCa stranger;
  LocalHttpsServer impostor(stranger), otherAddress(ca_, "127.0.0.2"), tls11(ca_), cbcOnly(ca_);
  ASSERT_EQ(SSL_CTX_set_max_proto_version(tls11.http().ssl_context(), TLS1_1_VERSION), 1);
  ASSERT_EQ(SSL_CTX_set_cipher_list(tls11.http().ssl_context(), "DEFAULT:@SECLEVEL=0"), 1);
  ASSERT_EQ(SSL_CTX_set_max_proto_version(cbcOnly.http().ssl_context(), TLS1_2_VERSION), 1);
  ASSERT_EQ(SSL_CTX_set_cipher_list(cbcOnly.http().ssl_context(), "ECDHE-ECDSA-AES128-SHA256"), 1);
  CurlTransport toOtherAddress(loop_, {.extraCaFile = ca_.files.caFile, .pinnedHost = "127.0.0.2"});
  CurlTransport withoutOurCa(loop_, {.extraCaFile = ca_.folder / "absent.pem", .pinnedHost = ""});
  CurlTransport unpinned(loop_, {.extraCaFile = ca_.files.caFile, .pinnedHost = ""});
  server_.serve("/api/slow", 0, "{}");
  server_.serve("/api/huge", 200, std::string(17u << 20, ' '));
  HttpRequest slow = makeAgentRequest(server_.url(), "slow", Json::object(), "k");
  slow.timeoutSeconds = 0.5;
  const std::string byAddress = server_.url("127.0.0.1");

  const struct {
    const char* name;
    Expected<HttpResponse> result;
    Error expected;  // for libcurl, the code only
  } cases[] = {
      {"another CA", send(poll(impostor.url()), nullptr, false), makeError("libcurl", 60, "")},
      {"another address", send(poll(otherAddress.url("127.0.0.2")), &toOtherAddress, false), makeError("libcurl", 60, "")},
      {"no CA file", send(poll(server_.url()), &withoutOurCa), makeError("libcurl", 60, "")},
      {"TLS 1.1", send(poll(tls11.url()), nullptr, false), makeError("libcurl", 35, "")},
      {"CBC suites", send(poll(cbcOnly.url()), nullptr, false), makeError("libcurl", 35, "")},
      {"checked host", send(poll(byAddress)), refused},
      {"transport's own pin", send(poll(byAddress), nullptr, false), refused},
      {"plain http", send(poll("http://localhost:9"), &unpinned, false), makeError("libcurl", 1, "")},
      {"line break in a header", send(makeAgentRequest(server_.url(), "poll", Json::object(), "k\r\nX-Injected: 1")),
       makeError("libcurl", 43, "")},
      {"slow", send(slow), makeError("libcurl", 28, "")},
      {"huge", send(makeAgentRequest(server_.url(), "huge", Json::object(), "k")), makeError("libcurl", 63, "")},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.result.ok()) << c.name;
    EXPECT_EQ(c.result.error().domain, c.expected.domain) << c.name;
    // A refused handshake's code depends on who gives up first.
    if (c.expected.code != 35) {
      EXPECT_EQ(c.result.error().code, c.expected.code) << c.name;
    }
    if (c.expected.domain != "libcurl") {
      EXPECT_EQ(c.result.error(), c.expected) << c.name;
    }
  }
  for (LocalHttpsServer* s : {&impostor, &otherAddress, &tls11, &cbcOnly}) EXPECT_TRUE(s->seen().empty());
  EXPECT_EQ(server_.seen().size(), 2u);  // slow and huge
}

// Counts what other threads post, so a test can see an answer queued without running it.
class CountingLoop final : public EventLoop {
 public:
  explicit CountingLoop(EventLoop& loop) : loop_(loop) {}
  void post(std::function<void()> fn) override {
    loop_.post(std::move(fn));
    ++posts;
  }
  TimerId addTimer(double delay, double interval, std::function<void()> fn) override {
    return loop_.addTimer(delay, interval, std::move(fn));
  }
  void cancelTimer(TimerId id) override { loop_.cancelTimer(id); }
  std::atomic<int> posts{0};

 private:
  EventLoop& loop_;
};

TEST_F(HttpsTransport, DestroyedTransportNeverCompletes) {
  server_.serve("/api/slow", 0, "{}");
  server_.serve("/api/fast", 200, "{}");
  CountingLoop counting(loop_);
  auto transport = std::make_unique<CurlTransport>(counting, CurlTransport::Options{ca_.files.caFile, "localhost"});
  int completions = 0;
  for (const char* path : {"slow", "fast"}) {
    transport->send(makeAgentRequest(server_.url(), path, Json::object(), "k"), [&](auto) { ++completions; });
  }
  // The fast answer is queued on the loop, which has not run it yet: the
  // transport runs requests at once.
  ASSERT_TRUE(testing::waitUntil([&] { return counting.posts > 0; }));
  transport.reset();
  server_.release();
  loop_.runUntil([] { return false; }, 0.3);
  EXPECT_EQ(completions, 0);
}

}  // namespace
}  // namespace kx
