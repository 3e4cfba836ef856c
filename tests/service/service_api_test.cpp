// The real kx-service binary over real HTTPS on loopback: its certificates,
// the front's framing, keep-alive, deadlines and caps, and two replicas
// sharing one PostgreSQL database, one of them stopped by SIGTERM.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <ctime>

#include "driver/service_process.h"
#include "driver/tls_client.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "service/request_limits.h"
#include "support/scratch.h"

namespace kx::service::driver {
namespace {

using kx::testing::TempDir;
using ::testing::HasSubstr;

constexpr const char* kPassword = "integration-secret";

std::string binary() { return siblingBinary("kx-service"); }
std::string publicKey() { return base64Encode(P256PrivateKey::generate().publicKeyX963()); }
CommandResult admin(const std::string& folder, std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.end(), {"--data", folder});
  return runCommand(binary(), args, input);
}
// A service on its own folder with technician alice, both on `database` options when given.
std::unique_ptr<ServiceProcess> startWithAlice(const TempDir& folder, std::vector<std::string> options,
                                               const std::vector<std::string>& database = {}) {
  std::vector<std::string> add = {"technician", "add", "alice"};
  add.insert(add.end(), database.begin(), database.end());
  options.insert(options.end(), database.begin(), database.end());
  EXPECT_EQ(admin(folder.path(), add, std::string(kPassword) + "\n").exitCode, 0);
  return ServiceProcess::start(binary(), folder.path(), options).value();
}
std::unique_ptr<TlsClient> connect(const ServiceProcess& service, const TempDir& folder) {
  return TlsClient::connect("localhost", service.port(), folder / "ca.pem").value();
}

// One service for the suite, with a short request deadline and the
// monitoring listener.
class LiveService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir("kx-service-api");
    process_ = startWithAlice(*folder_, {"--request-seconds", "2", "--monitor", "127.0.0.1:0"}).release();
  }
  static void TearDownTestSuite() {
    delete process_;
    delete folder_;
  }
  void SetUp() override { ASSERT_NE(process_, nullptr); }

  static std::string ca() { return *folder_ / "ca.pem"; }
  static Expected<std::unique_ptr<TlsClient>> connect(ConnectOptions options = {}, const std::string& host = "localhost") {
    return TlsClient::connect(host, process_->port(), ca(), options);
  }
  static std::unique_ptr<TlsClient> client() { return connect().value(); }

  static TempDir* folder_;
  static ServiceProcess* process_;
};

TempDir* LiveService::folder_ = nullptr;
ServiceProcess* LiveService::process_ = nullptr;

// The local CA vouches for local names only, and only TLS 1.2 or newer with
// AEAD suites is spoken.
TEST_F(LiveService, LocalCaForLocalNamesOnlyAndModernTlsOnly) {
  EXPECT_TRUE(connect({}, "127.0.0.1").ok());
  EXPECT_FALSE(connect({}, "example.com").ok());
  // A leaf for any other name, signed with a stolen CA key, fails verification.
  const CommandResult constraints = runCommand("/usr/bin/openssl", {"x509", "-noout", "-ext", "nameConstraints", "-in", ca()});
  EXPECT_THAT(constraints.out, HasSubstr("Name Constraints: critical\n    Permitted:\n      DNS:localhost\n"
                                         "      IP:127.0.0.1/255.255.255.255\n"));
  const std::tuple<int, const char*, bool> offers[] = {
      {TLS1_1_VERSION, "", false},
      {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA:AES128-SHA", false},
      {TLS1_2_VERSION, "", true},
  };
  for (const auto& [version, ciphers, accepted] : offers) {
    httplib::SSLClient offer("localhost", process_->port());
    offer.set_ca_cert_path(ca().c_str());
    SSL_CTX_set_max_proto_version(offer.ssl_context(), version);
    SSL_CTX_set_security_level(offer.ssl_context(), 0);  // or old versions would not even be offered
    if (*ciphers) SSL_CTX_set_cipher_list(offer.ssl_context(), ciphers);
    EXPECT_EQ(static_cast<bool>(offer.Get("/download")), accepted) << version << ciphers;
  }
}

TEST_F(LiveService, MalformedOrOversizedRequestsAreRefusedAndClosedOthersKeepTheConnection) {
  const std::string post = "POST /api/enroll HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: ";
  const std::pair<std::string, int> cases[] = {
      {post + std::to_string(kMaxRequestBodyBytes + 1) + "\r\n\r\n" + std::string(kMaxRequestBodyBytes + 1, '{'), 413},
      {"GET / HTTP/2.0\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nbad header\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n", 431},
  };
  for (const auto& [wire, status] : cases) {
    SCOPED_TRACE(wire.substr(0, 40));
    auto c = client();
    ASSERT_TRUE(c->sendRaw(wire).ok());
    auto reply = c->readReply();
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->status, status);
    EXPECT_TRUE(c->waitForClose(5));
  }
  auto c = client();
  // A body at the limit is read and parsed (and refused as bad JSON, not as too large).
  auto atLimit = c->request("POST", "/api/enroll", std::string(kMaxRequestBodyBytes, '{'));
  EXPECT_EQ(std::make_pair(atLimit->status, atLimit->header("connection")), std::make_pair(400, std::string("keep-alive")));
  // Requests in one write, after empty lines, come back in order on the same connection: a body ends where it says.
  ASSERT_TRUE(c->sendRaw("\r\n\r\nGET /download HTTP/1.1\r\nHost: localhost\r\n\r\n"
                         "POST /api/device/nobody/poll HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}"
                         "GET /nowhere HTTP/1.1\r\nHost: localhost\r\n\r\n")
                  .ok());
  for (int status : {200, 401, 404}) EXPECT_EQ(c->readReply()->status, status);
}

TEST_F(LiveService, TrickleOfLineEndsIsClosedAtTheRequestDeadlineWhileOthersAreAnswered) {
  auto slow = client(), normal = client();
  int answered = 0;
  // Well inside the idle deadline (a minute), which would close it as well.
  EXPECT_TRUE(kx::testing::waitUntil(
      [&] {
        (void)slow->sendRaw("\r\n");
        auto reply = normal->request("POST", "/api/device/nobody/poll", "{}", "key");
        answered += reply.ok() && reply->status == 401;
        return slow->waitForClose(0.5);
      },
      std::chrono::seconds(30)));
  EXPECT_GT(answered, 0);
}

// Connections per client address are capped; behind a trusted proxy its
// header names the client, and is required.
// Health and metrics only on the plain monitoring address, the API only on HTTPS.
TEST_F(LiveService, HealthAndMetricsAreServedOnlyOnTheMonitoringAddress) {
  const std::string out = process_->output(), marker = "monitoring on http://127.0.0.1:";
  ASSERT_THAT(out, HasSubstr(marker));
  httplib::Client monitor("127.0.0.1", std::atoi(out.c_str() + out.find(marker) + marker.size()));
  EXPECT_EQ(monitor.Get("/healthz")->status, 200);
  EXPECT_THAT(monitor.Get("/metrics")->body, HasSubstr("kx_request_duration_seconds_bucket{le=\"+Inf\"} "));
  EXPECT_EQ(monitor.Get("/api/admin/whoami")->status, 404);
  EXPECT_EQ(client()->request("GET", "/metrics")->status, 404);
}

TEST_F(LiveService, AdminCommandsIssueCredentialsThatEnrollOnce) {
  const std::string& data = folder_->path();
  const Json file = parseJson(admin(data, {"enrollment-file", "--technician", "alice", "--url", "https://localhost:8443"}).out)
                        .value_or(Json());
  EXPECT_EQ(file, (Json{{"url", "https://localhost:8443"}, {"sitesAccess", ""}, {"token", file["token"]}}));
  const std::string code = admin(data, {"setup-code", "--technician", "alice"}).out;
  auto c = client();
  auto enroll = [&](const Json& token) { return c->postJson("/api/enroll", Json{{"token", token}, {"publicKey", publicKey()}})->status; };
  EXPECT_EQ(enroll(file["token"]), 200);
  EXPECT_EQ(enroll(code.substr(0, code.find('\n'))), 200);
  EXPECT_NE(enroll(file["token"]), 200);  // spent
  EXPECT_NE(admin(data, {"technician", "add", "alice"}, "another-password\n").exitCode, 0);
  EXPECT_NE(admin(data, {"setup-code", "--technician", "nobody"}).exitCode, 0);
}

TEST(ConnectionCap, PerClientAddressAlsoBehindATrustedProxy) {
  TempDir folder("kx-service-proxied");
  auto service = ServiceProcess::start(binary(), folder.path(),
                                       {"--trusted-proxies", "127.0.0.1", "--max-connections-per-address", "1"});
  ASSERT_TRUE(service.ok()) << service.error().description;
  const auto from = [&](const std::string& source, const std::string& proxyHeader = "") {
    ConnectOptions options;
    options.source = source;
    options.proxyHeader = proxyHeader;
    return TlsClient::connect("localhost", (*service)->port(), folder / "ca.pem", options);
  };
  const auto proxied = [&](const std::string& client) {
    return from("127.0.0.1", "PROXY TCP4 " + client + " 127.0.0.1 40000 8443\r\n");
  };
  auto direct = from("127.0.0.2");
  ASSERT_TRUE(direct.ok());
  // Refused connections hold no place, however often they are tried.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(from("127.0.0.2").ok());
  // The service gives the place back before its end of the connection
  // closes, so one more fits as soon as the client sees the close: no
  // retrying, and a place that leaks fails here at once.
  (*direct)->finishSending();
  ASSERT_TRUE((*direct)->waitForClose(10));
  direct->reset();
  EXPECT_TRUE(from("127.0.0.2").ok());
  // Two clients behind one proxy address each have their own place.
  auto first = proxied("198.51.100.7"), second = proxied("198.51.100.8");
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ((*first)->request("GET", "/api/admin/whoami")->status, 401);
  EXPECT_EQ((*second)->request("GET", "/api/admin/whoami")->status, 401);
  EXPECT_FALSE(proxied("198.51.100.7").ok());  // the first client's one place is taken
  EXPECT_FALSE(from("127.0.0.1").ok());
  EXPECT_FALSE(from("127.0.0.1", "PROXY TCP4 198.51.100.9\r\n").ok());
}

// Everything a session needs lives in the shared database (the one
// pg_virtualenv names in the environment): each step may be answered by
// either replica. B answers idle polls from its cache, which must drop the
// Mac once A opens a session for it or removes it.
TEST(ReplicasOnPostgres, SignalsPostedThroughOneReplicaReachTheOtherInOrderAndOnce) {
  if (!std::getenv("PGHOST")) GTEST_SKIP() << "no PostgreSQL: run under pg_virtualenv (ctest does)";
  TempDir folder("kx-replicas");
  auto a = startWithAlice(folder, {"--consent-seconds", "60"}, {"--database", "postgresql://"});
  // The second replica keeps the CA the first one made, or no client would trust the first.
  auto b = ServiceProcess::start(binary(), folder.path(), {"--consent-seconds", "60", "--database", "postgresql://"});
  ASSERT_TRUE(b.ok());
  auto consoleA = connect(*a, folder), consoleB = connect(**b, folder), macA = connect(*a, folder);
  auto macB = connect(**b, folder);
  const std::string token = signInTechnician(*consoleA, "alice", kPassword).value();
  const Json code = consoleB->postJson("/api/admin/setup-code", Json::object(), token)->json()["code"];
  auto enrolled = macA->postJson("/api/enroll", Json{{"token", code}, {"publicKey", publicKey()}});

  const std::string id = enrolled->json().value("id", ""), key = enrolled->json().value("key", ""), sid = newUuid();
  const std::string device = "/api/device/" + id, signal = "/api/admin/session/" + sid + "/signal";
  auto pollB = [&] { return macB->postJson(device + "/poll", Json::object(), key).value(); };
  ASSERT_FALSE(pollB().json().contains("session"));
  Json request{{"id", sid}, {"device", id}, {"browserKey", publicKey()}, {"salt", "AAAAAAAAAAAAAAAAAAAAAA=="}};
  // Bounded by B's write of the Mac's presence, and then by the notification's
  // way from A's commit to B, not by any expiry.
  const auto soon = std::chrono::seconds(2);
  ASSERT_TRUE(kx::testing::waitUntil(
      [&] { return consoleA->postJson("/api/admin/request", request, token)->status == 200; }, soon));
  EXPECT_TRUE(kx::testing::waitUntil([&] { return pollB().json().contains("session"); }, soon));
  request["id"] = newUuid();
  EXPECT_EQ(consoleB->postJson("/api/admin/request", request, token)->status, 409);  // one session per Mac
  auto decision = macB->postJson(device + "/decision", Json{{"session", sid}, {"approve", true}}, key);
  ASSERT_EQ(decision->status, 200);
  // The consent lease comes from the command line.
  EXPECT_LE(decision->json().value("expires", 1e12) - static_cast<double>(std::time(nullptr)), 60.0 + 1);
  ASSERT_EQ(consoleA->postJson(signal, Json{{"payloads", {"offer", "candidate 1"}}}, token)->status, 200);
  // A retry of a post whose answer was lost, through the other replica.
  ASSERT_EQ(consoleB->postJson(signal, Json{{"payloads", {"candidate 1", "candidate 2"}}}, token)->status, 200);
  EXPECT_EQ(macB->postJson(device + "/poll", Json::object(), key)->json()["session"]["signals"],
            (Json{{{"payload", "offer"}}, {{"payload", "candidate 1"}}, {{"payload", "candidate 2"}}}));
  ASSERT_EQ(macB->postJson(device + "/signal", Json{{"session", sid}, {"payloads", {"answer"}}}, key)->status, 200);
  EXPECT_EQ(consoleA->request("GET", signal, "", token)->json()["signals"], (Json{{{"payload", "answer"}}}));
  ASSERT_EQ(consoleB->postJson("/api/admin/session/" + sid + "/end", Json::object(), token)->status, 200);
  EXPECT_FALSE(macA->postJson(device + "/poll", Json::object(), key)->json().contains("session"));
  ASSERT_EQ(pollB().status, 200);
  ASSERT_EQ(consoleA->postJson("/api/admin/revoke", Json{{"device", id}}, token)->status, 200);
  EXPECT_TRUE(kx::testing::waitUntil([&] { return pollB().status == 401; }, soon));
  EXPECT_EQ((*b)->terminate(), 0);
  EXPECT_THAT((*b)->output(), HasSubstr("kx-service stopped"));
}

}  // namespace
}  // namespace kx::service::driver
