// Real-network tests: the curl transport and the service policies against a
// local HTTPS server with a test CA.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl/curl_transport.h"
#include "protocol/http.h"
#include "runtime/basic_loop.h"
#include "runtime/task.h"
#include "support/scratch.h"
#include "support/test_ca.h"
#include "transport/send_into.h"

namespace kx {
namespace {

using namespace std::chrono_literals;

constexpr int kCurlUnsupportedProtocol = 1;
constexpr int kCurlTimedOut = 28;
constexpr int kCurlBadArgument = 43;
constexpr int kCurlPeerVerification = 60;
constexpr int kCurlFileTooLarge = 63;

// A local HTTPS server on 127.0.0.1 serving the handlers a test installs.
class LocalHttpsServer {
 public:
  explicit LocalHttpsServer(const TestCa& ca) : server_(ca.certFile().c_str(), ca.keyFile().c_str()) {
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
      std::lock_guard lock(mutex_);
      seen_.push_back(request);
      changed_.notify_all();
      return httplib::Server::HandlerResponse::Unhandled;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    if (!testing::waitUntil([this] { return server_.is_running(); })) throw std::runtime_error("server did not start");
  }
  ~LocalHttpsServer() {
    release();
    server_.stop();
    thread_.join();
  }

  httplib::SSLServer& http() { return server_; }
  int port() const { return port_; }
  std::string base() const { return "https://localhost:" + std::to_string(port_); }

  std::vector<httplib::Request> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  size_t hits() { return seen().size(); }

  // Blocks a handler until `count` requests have arrived or release() is called.
  bool waitForRequests(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return released_ || seen_.size() >= count; }) && !released_;
  }
  // Blocks a handler until release().
  void holdUntilReleased(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return released_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  httplib::SSLServer server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<httplib::Request> seen_;
  bool released_ = false;
};

EnrollmentConfiguration enrollmentFor(const std::string& url) {
  EnrollmentConfiguration configuration;
  configuration.url = url;
  return configuration;
}

class HttpsTransport : public ::testing::Test {
 protected:
  CurlTransport::Options trusted() const { return {.extraCaFile = ca_.caFile(), .pinnedHost = "localhost"}; }

  // Sends through the pinned connection the way both roles do: refused
  // addresses never reach the transport.
  Expected<HttpResponse> send(HttpRequest request, CurlTransport* through = nullptr) {
    if (Status allowed = connection_.check(request.url); !allowed) return std::move(allowed).error();
    std::optional<Expected<HttpResponse>> result;
    scope_.spawn(sendInto(through ? *through : *transport_, std::move(request), result));
    EXPECT_TRUE(loop_.runUntil([&] { return result.has_value(); }, 20));
    if (!result) return makeError("test", 0, "no answer");
    return std::move(*result);
  }
  Expected<Json> agent(const std::string& path, const Json& body = Json::object(), const std::string& secret = "key") {
    return interpretAgentResponse(send(makeAgentRequest(server_.base(), path, body, secret)));
  }
  Expected<Json> console(const std::string& path, std::optional<Json> body = std::nullopt,
                         const std::string& token = "token") {
    return interpretConsoleResponse(send(makeConsoleRequest(server_.base(), path, body, token)));
  }
  void serve(const std::string& path, int status, const std::string& body, const char* type = "application/json") {
    auto handler = [status, body, type](const httplib::Request&, httplib::Response& response) {
      response.status = status;
      response.set_content(body, type);
    };
    server_.http().Get(path, handler);
    server_.http().Post(path, handler);
  }

  TestCa ca_;
  LocalHttpsServer server_{ca_};
  PinnedConnection connection_ =
      PinnedConnection::create(enrollmentFor(server_.base()), "localhost").value();
  VirtualLoop loop_;
  std::unique_ptr<CurlTransport> transport_ = std::make_unique<CurlTransport>(loop_, trusted());
  TaskScope scope_;  // destroyed first: no task outlives the transport
};

TEST_F(HttpsTransport, RedirectIsNotFollowedAndIsAnError) {
  server_.http().Post("/api/poll", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server_.base() + "/api/elsewhere");
  });
  server_.http().Post("/api/moved", [](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", "/api/elsewhere");
    response.set_content(R"({"error":"Moved away"})", "application/json");
  });

  const auto plain = agent("poll");
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.error(), makeError("KestrelixService", 302, "Server 302: Request rejected"));
  const auto withText = agent("moved");
  ASSERT_FALSE(withText.ok());
  EXPECT_EQ(withText.error().description, "Server 302: Moved away");
  for (const auto& request : server_.seen()) EXPECT_NE(request.path, "/api/elsewhere");
  EXPECT_EQ(server_.hits(), 2u);
}

// Status and body reach the interpretation (whose rules service_policy_test holds).
TEST_F(HttpsTransport, AnswersReachBothRoles) {
  serve("/api/register", 200, R"({"device":"D1","key":"k"})");
  const auto result = agent("register");
  ASSERT_TRUE(result.ok()) << result.error().summary();
  EXPECT_EQ(*result, (Json{{"device", "D1"}, {"key", "k"}}));
  serve("/api/poll", 401, R"({"error":"Unknown device"})");
  serve("/api/admin/whoami", 401, R"({"error":"Technician rights required"})");
  const auto forAgent = agent("poll");
  ASSERT_FALSE(forAgent.ok());
  EXPECT_EQ(forAgent.error(), makeError("KestrelixService", 401, "Server 401: Unknown device"));
  const auto forConsole = console("whoami");
  ASSERT_FALSE(forConsole.ok());
  EXPECT_EQ(forConsole.error(), makeError("Kestrelix", 401, "Technician rights required"));
}

TEST_F(HttpsTransport, SendsBearerAndJsonContentType) {
  std::string posted;  // the body is read after the pre-routing handler
  server_.http().Post("/api/poll", [&](const httplib::Request& request, httplib::Response& response) {
    posted = request.body;
    response.set_content("{}", "application/json");
  });
  serve("/api/admin/devices", 200, "{}");
  ASSERT_TRUE(agent("poll", Json{{"device", "D1"}}, "").ok());
  ASSERT_TRUE(console("devices", std::nullopt, "tok").ok());

  const auto seen = server_.seen();
  ASSERT_EQ(seen.size(), 2u);
  const auto& post = seen[0];
  EXPECT_EQ(post.method, "POST");
  // Trailing blanks of a header value are the server's to trim.
  const std::string bearer = post.get_header_value("Authorization");
  EXPECT_TRUE(bearer == "Bearer " || bearer == "Bearer") << bearer;
  EXPECT_EQ(post.get_header_value("Content-Type"), "application/json");
  EXPECT_FALSE(post.has_header("Expect"));
  EXPECT_EQ(posted, R"({"device":"D1"})");

  const auto& get = seen[1];
  EXPECT_EQ(get.method, "GET");
  EXPECT_EQ(get.get_header_value("Authorization"), "Bearer tok");
  EXPECT_FALSE(get.has_header("Content-Type"));
  EXPECT_TRUE(get.body.empty());
}

TEST_F(HttpsTransport, ServerCertificateFromAnotherCaIsRefused) {
  TestCa stranger;
  LocalHttpsServer impostor(stranger);
  impostor.http().Post("/api/poll", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("{}", "application/json");
  });
  const auto result = send(makeAgentRequest("https://localhost:" + std::to_string(impostor.port()), "poll",
                                            Json::object(), "key"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "libcurl");
  EXPECT_EQ(result.error().code, kCurlPeerVerification);
  EXPECT_FALSE(result.error().description.empty());
  EXPECT_EQ(impostor.hits(), 0u);
}

TEST_F(HttpsTransport, CertificateForAnotherNameIsRefused) {
  TestCa otherName({"other.test"}, {});
  LocalHttpsServer wrong(otherName);
  CurlTransport transport(loop_, {.extraCaFile = otherName.caFile(), .pinnedHost = "localhost"});
  const auto result = send(makeAgentRequest("https://localhost:" + std::to_string(wrong.port()), "poll",
                                            Json::object(), "key"),
                           &transport);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, kCurlPeerVerification) << result.error().summary();
  EXPECT_EQ(wrong.hits(), 0u);
}

TEST_F(HttpsTransport, MissingExtraCaFileLeavesOnlyTheSystemStore) {
  serve("/api/poll", 200, "{}");
  CurlTransport transport(loop_, {.extraCaFile = (ca_.dir() / "absent.pem").string(), .pinnedHost = ""});
  const auto result = send(makeAgentRequest(server_.base(), "poll", Json::object(), "key"), &transport);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, kCurlPeerVerification) << result.error().summary();
}

TEST_F(HttpsTransport, OtherHostIsRefusedBeforeAnythingIsSent) {
  serve("/api/poll", 200, "{}");
  const std::string byAddress = "https://127.0.0.1:" + std::to_string(server_.port());
  const Error refused = makeError("PinnedConnection", 1, "Refused a request outside the support service.");

  const auto checked = send(makeAgentRequest(byAddress, "poll", Json::object(), "key"));
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error(), refused);

  // The transport's own guard, for a caller that skipped the check.
  std::optional<Expected<HttpResponse>> direct;
  scope_.spawn(sendInto(*transport_, makeAgentRequest(byAddress, "poll", Json::object(), "key"), direct));
  ASSERT_TRUE(loop_.runUntil([&] { return direct.has_value(); }, 10));
  ASSERT_FALSE(direct->ok());
  EXPECT_EQ(direct->error(), refused);
  EXPECT_EQ(server_.hits(), 0u);
}

TEST_F(HttpsTransport, PlainHttpIsRefusedByTheTransport) {
  CurlTransport unpinned(loop_, {.extraCaFile = ca_.caFile(), .pinnedHost = ""});
  std::optional<Expected<HttpResponse>> result;
  scope_.spawn(sendInto(
      unpinned, makeAgentRequest("http://localhost:" + std::to_string(server_.port()), "poll", Json::object(), "k"),
      result));
  ASSERT_TRUE(loop_.runUntil([&] { return result.has_value(); }, 10));
  ASSERT_FALSE(result->ok());
  EXPECT_EQ(result->error().domain, "libcurl");
  EXPECT_EQ(result->error().code, kCurlUnsupportedProtocol);
  EXPECT_EQ(server_.hits(), 0u);
}

TEST_F(HttpsTransport, SlowServerTimesOut) {
  server_.http().Post("/api/poll", [this](const httplib::Request&, httplib::Response& response) {
    server_.holdUntilReleased(10s);
    response.set_content("{}", "application/json");
  });
  HttpRequest request = makeAgentRequest(server_.base(), "poll", Json::object(), "key");
  request.timeoutSeconds = 0.5;
  const auto result = interpretAgentResponse(send(request));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "libcurl");
  EXPECT_EQ(result.error().code, kCurlTimedOut);
}

TEST_F(HttpsTransport, SeveralRequestsAreInFlightAtOnce) {
  constexpr size_t kRequests = 3;
  // Each handler waits for all of them: only concurrent requests get a 200.
  server_.http().Post("/api/poll", [this](const httplib::Request&, httplib::Response& response) {
    response.status = server_.waitForRequests(kRequests, 5s) ? 200 : 504;
    response.set_content("{}", "application/json");
  });
  std::vector<std::optional<Expected<HttpResponse>>> results(kRequests);
  for (auto& slot : results) {
    scope_.spawn(sendInto(*transport_, makeAgentRequest(server_.base(), "poll", Json::object(), "key"), slot));
  }
  ASSERT_TRUE(loop_.runUntil(
      [&] { return std::all_of(results.begin(), results.end(), [](const auto& r) { return r.has_value(); }); }, 20));
  for (auto& result : results) {
    const auto json = interpretAgentResponse(std::move(*result));
    EXPECT_TRUE(json.ok()) << json.error().summary();
  }
}

TEST_F(HttpsTransport, ConnectionIsKeptAliveBetweenRequests) {
  serve("/api/poll", 200, "{}");
  ASSERT_TRUE(agent("poll").ok());
  ASSERT_TRUE(agent("poll").ok());
  ASSERT_TRUE(agent("poll").ok());
  std::set<int> clientPorts;
  for (const auto& request : server_.seen()) clientPorts.insert(request.remote_port);
  EXPECT_EQ(clientPorts.size(), 1u);
}

TEST_F(HttpsTransport, CookiesAreNeitherKeptNorSent) {
  server_.http().Post("/api/register", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "session=abc; Path=/; Secure");
    response.set_content("{}", "application/json");
  });
  serve("/api/poll", 200, "{}");
  ASSERT_TRUE(agent("register").ok());
  ASSERT_TRUE(agent("poll").ok());
  EXPECT_FALSE(server_.seen().at(1).has_header("Cookie"));
}

TEST_F(HttpsTransport, ProxyFromTheEnvironmentIsIgnored) {
  serve("/api/poll", 200, "{}");
  // Nothing listens on the discard port: a request through the proxy would fail.
  const testing::ScopedEnv lower("https_proxy", "http://127.0.0.1:9");
  const testing::ScopedEnv upper("HTTPS_PROXY", "http://127.0.0.1:9");
  const auto result = agent("poll");
  EXPECT_TRUE(result.ok()) << result.error().summary();
}

TEST_F(HttpsTransport, HeaderWithLineBreakIsRefusedUnsent) {
  serve("/api/poll", 200, "{}");
  const auto result = agent("poll", Json::object(), "key\r\nX-Injected: 1");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "libcurl");
  EXPECT_EQ(result.error().code, kCurlBadArgument);
  EXPECT_EQ(server_.hits(), 0u);
}

TEST_F(HttpsTransport, OversizedResponseIsRefused) {
  serve("/api/poll", 200, std::string(17u << 20, ' '));
  const auto result = agent("poll");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "libcurl");
  EXPECT_EQ(result.error().code, kCurlFileTooLarge);
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
  server_.http().Post("/api/slow", [this](const httplib::Request&, httplib::Response& response) {
    server_.holdUntilReleased(10s);
    response.set_content("{}", "application/json");
  });
  serve("/api/fast", 200, "{}");
  CountingLoop counting(loop_);
  auto transport = std::make_unique<CurlTransport>(counting, trusted());
  int completions = 0;
  transport->send(makeAgentRequest(server_.base(), "slow", Json::object(), "k"),
                  [&](Expected<HttpResponse>) { ++completions; });
  transport->send(makeAgentRequest(server_.base(), "fast", Json::object(), "k"),
                  [&](Expected<HttpResponse>) { ++completions; });
  // The fast answer is queued on the loop, which has not run it yet.
  ASSERT_TRUE(testing::waitUntil([&] { return counting.posts > 0; }));
  transport.reset();
  server_.release();
  loop_.runUntil([] { return false; }, 0.3);
  EXPECT_EQ(completions, 0);
}

// A server that offers only old protocols or non-AEAD suites is refused
// before any request is sent (a downgrade by a middlebox or a stale server).
TEST_F(HttpsTransport, WeakTlsIsRefused) {
  struct Case {
    const char* name;
    int maxVersion;
    const char* ciphers;
  } cases[] = {
      {"TLS 1.1", TLS1_1_VERSION, "DEFAULT:@SECLEVEL=0"},
      {"TLS 1.2 with CBC suites only", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA256"},
  };
  for (const Case& c : cases) {
    LocalHttpsServer weak(ca_);
    weak.http().Post("/api/poll", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("{}", "application/json");
    });
    SSL_CTX* context = weak.http().ssl_context();
    ASSERT_EQ(SSL_CTX_set_max_proto_version(context, c.maxVersion), 1);
    ASSERT_EQ(SSL_CTX_set_cipher_list(context, c.ciphers), 1);
    const auto result =
        send(makeAgentRequest("https://localhost:" + std::to_string(weak.port()), "poll", Json::object(), "key"));
    EXPECT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(weak.hits(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace kx
