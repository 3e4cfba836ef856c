// The real kx-service binary over real HTTPS on loopback: start-up and
// certificates, the portal redirect, the API paths of a session, framing
// limits, keep-alive and the admin commands.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

#include "driver/service_process.h"
#include "driver/tls_client.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "support/scratch.h"

namespace kx::service::driver {
namespace {

using kx::testing::TempDir;

constexpr const char* kPassword = "integration-secret";

std::string binary() { return siblingBinary("kx-service"); }

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LiveService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir("kx-service-api");
    CommandResult added = runCommand(binary(), {"technician", "add", "alice", "--data", folder_->path()},
                                     std::string(kPassword) + "\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto started = ServiceProcess::start(binary(), folder_->path());
    ASSERT_TRUE(started.ok()) << started.error().description;
    process_ = started->release();
  }
  static void TearDownTestSuite() {
    delete process_;
    process_ = nullptr;
    delete folder_;
    folder_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(process_, nullptr); }

  static std::string ca() { return folder_->path() + "/ca.pem"; }
  static uint16_t port() { return process_->port(); }

  static std::unique_ptr<TlsClient> client(const std::string& host = "localhost") {
    auto c = TlsClient::connect(host, port(), ca());
    EXPECT_TRUE(c.ok()) << c.error().description;
    return c.ok() ? std::move(*c) : nullptr;
  }

  static TempDir* folder_;
  static ServiceProcess* process_;
};

TempDir* LiveService::folder_ = nullptr;
ServiceProcess* LiveService::process_ = nullptr;

TEST_F(LiveService, AnnouncesItsLocalCaAndServesLocalhostAndLoopbackWithIt) {
  EXPECT_NE(process_->output().find(ca()), std::string::npos) << process_->output();
  EXPECT_NE(readText(ca()).find("BEGIN CERTIFICATE"), std::string::npos);
  for (const char* host : {"localhost", "127.0.0.1"}) {
    auto c = TlsClient::connect(host, port(), ca());
    ASSERT_TRUE(c.ok()) << host << ": " << c.error().description;
    auto reply = (*c)->request("GET", "/download");
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->status, 200);
  }
  // A name the certificate does not carry is refused by the client.
  EXPECT_FALSE(TlsClient::connect("example.com", port(), ca()).ok());
}

TEST_F(LiveService, PortalSignInRedirectsToTheAppWithACodeThatExchangesForAToken) {
  auto c = client();
  auto page = c->request("GET", std::string("/native-sign-in?challenge=") + kPkceChallenge + "&state=" + kSignInState);
  ASSERT_TRUE(page.ok());
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<form"), std::string::npos);
  EXPECT_EQ(postSignInForm(*c, "alice", "nope")->status, 401);

  auto redirect = postSignInForm(*c, "alice", kPassword);
  ASSERT_TRUE(redirect.ok());
  ASSERT_EQ(redirect->status, 303);
  const std::string location = redirect->header("location");
  ASSERT_EQ(location.rfind("kestrelixremote://admin-sign-in?code=", 0), 0u) << location;
  EXPECT_NE(location.find(std::string("&state=") + kSignInState), std::string::npos);

  const Json exchange{{"code", signInCodeOf(*redirect)}, {"verifier", kPkceVerifier}};
  auto exchanged = c->postJson("/api/admin/exchange", exchange);
  ASSERT_TRUE(exchanged.ok());
  ASSERT_EQ(exchanged->status, 200) << exchanged->body;
  EXPECT_EQ(exchanged->json()["name"], "alice");
  EXPECT_EQ(c->postJson("/api/admin/exchange", exchange)->status, 401);
  const std::string token = exchanged->json()["token"];
  ASSERT_EQ(c->request("POST", "/api/admin/logout", "", token)->status, 200);
  EXPECT_EQ(c->request("GET", "/api/admin/whoami", "", token)->status, 401);
}

TEST_F(LiveService, BodyOver64KiBIsRefusedWith413BeforeParsing) {
  auto c = client();
  const std::string big(64 * 1024 + 1, '{');
  auto reply = c->request("POST", "/api/enroll", big, "", {{"Content-Type", "application/json"}});
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  EXPECT_EQ(reply->status, 413);
  EXPECT_FALSE(reply->json().value("error", "").empty());
  EXPECT_EQ(reply->header("connection"), "close");
  EXPECT_TRUE(c->waitForClose(5));

  // Exactly 64 KiB is read and parsed (and refused as bad JSON, not as too large).
  auto fits = client()->request("POST", "/api/enroll", std::string(64 * 1024, '{'));
  EXPECT_EQ(fits->status, 400);
}

TEST_F(LiveService, KeepAliveConnectionServesManyAndPipelinedRequests) {
  auto c = client();
  for (int i = 0; i < 20; ++i) {
    auto reply = c->request("GET", "/api/admin/whoami");
    ASSERT_TRUE(reply.ok()) << i;
    EXPECT_EQ(reply->status, 401);
    EXPECT_EQ(reply->header("connection"), "keep-alive");
  }
  // Two requests in one write come back in order on the same connection.
  ASSERT_TRUE(c->sendRaw("GET /download HTTP/1.1\r\nHost: localhost\r\n\r\n"
                         "GET /nowhere HTTP/1.1\r\nHost: localhost\r\n\r\n")
                  .ok());
  EXPECT_EQ(c->readReply()->status, 200);
  EXPECT_EQ(c->readReply()->status, 404);
  EXPECT_EQ(c->request("GET", "/download")->status, 200);
}

TEST_F(LiveService, OversizedHeadIsRefused) {
  auto c = client();
  auto reply = c->request("GET", "/download", "", "", {{"X-Filler", std::string(20000, 'a')}});
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply->status, 431);
}

TEST_F(LiveService, SlowOrSilentClientsDoNotStallOthers) {
  std::vector<std::unique_ptr<TlsClient>> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(client());
    ASSERT_TRUE(slow.back()->sendRaw("POST /api/enroll HTTP/1.1\r\nContent-Length: 10\r\n\r\n{").ok());
  }
  // A TCP connection that never starts TLS.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  auto c = client();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c->request("GET", "/download")->status, 200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ::close(silent);
}

TEST_F(LiveService, GarbageIsAnsweredOrDroppedAndTheServiceGoesOn) {
  {
    auto c = client();
    ASSERT_TRUE(c->sendRaw(std::string("\x00\x01\xff garbage\r\n\r\n", 15)).ok());
    auto reply = c->readReply();
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->status, 400);
  }
  {
    // Not TLS at all.
    const int raw = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const char plain[] = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_GT(::write(raw, plain, sizeof plain - 1), 0);
    ::close(raw);
  }
  EXPECT_EQ(client()->request("GET", "/download")->status, 200);
}

TEST_F(LiveService, SecondServiceOnTheSamePortRefusesToStart) {
  TempDir other("kx-service-second");
  auto second = ServiceProcess::start(binary(), other.path(), {"--listen", "127.0.0.1:" + std::to_string(port())});
  EXPECT_FALSE(second.ok());
  EXPECT_EQ(client()->request("GET", "/download")->status, 200);
}

TEST_F(LiveService, AdminCommandsIssueWorkingCredentials) {
  CommandResult file = runCommand(binary(), {"enrollment-file", "--technician", "alice", "--data", folder_->path(),
                                             "--url", "https://localhost:8443"});
  ASSERT_EQ(file.exitCode, 0) << file.err;
  const Json enrollment = parseJson(file.out).value_or(Json());
  EXPECT_EQ(enrollment["url"], "https://localhost:8443");
  EXPECT_EQ(enrollment["sitesAccess"], "");
  ASSERT_TRUE(enrollment["token"].is_string());

  CommandResult code = runCommand(binary(), {"setup-code", "--technician", "alice", "--data", folder_->path()});
  ASSERT_EQ(code.exitCode, 0) << code.err;
  const std::string setup = code.out.substr(0, code.out.find('\n'));
  EXPECT_EQ(setup.size(), 20u);

  auto c = client();
  for (const std::string& secret : {enrollment["token"].get<std::string>(), setup}) {
    auto r = c->postJson("/api/enroll", Json{{"token", secret},
                                             {"publicKey", base64Encode(P256PrivateKey::generate().publicKeyX963())}});
    EXPECT_EQ(r->status, 200) << r->body;
  }

  EXPECT_NE(runCommand(binary(), {"technician", "add", "alice", "--data", folder_->path()}, "another-password\n")
                .exitCode,
            0);
  EXPECT_NE(runCommand(binary(), {"setup-code", "--technician", "nobody", "--data", folder_->path()}).exitCode, 0);
}

TEST(ServiceLifecycle, SessionDurationsComeFromTheCommandLineAndSigtermStopsCleanly) {
  TempDir folder("kx-service-life");
  ASSERT_EQ(runCommand(binary(), {"technician", "add", "alice", "--data", folder.path()}, std::string(kPassword) + "\n")
                .exitCode,
            0);
  const std::string code = runCommand(binary(), {"setup-code", "--technician", "alice", "--data", folder.path()}).out;
  auto started = ServiceProcess::start(binary(), folder.path(), {"--consent-seconds", "2", "--pending-seconds", "1"});
  ASSERT_TRUE(started.ok()) << started.error().description;
  ServiceProcess& process = **started;
  const std::string ca = folder / "ca.pem";
  const std::string firstCa = readText(ca);
  auto mac = TlsClient::connect("localhost", process.port(), ca).value();
  auto enrolled = mac->postJson("/api/enroll", Json{{"token", code.substr(0, 20)},
                                                    {"publicKey", base64Encode(P256PrivateKey::generate().publicKeyX963())}});
  ASSERT_EQ(enrolled->status, 200);
  const std::string id = enrolled->json()["id"], key = enrolled->json()["key"];
  ASSERT_EQ(mac->postJson("/api/device/" + id + "/poll", Json::object(), key)->status, 200);

  // Sign in, request, approve; the approval lasts two seconds.
  auto console = TlsClient::connect("localhost", process.port(), ca).value();
  const std::string token = signInTechnician(*console, "alice", kPassword).value();
  const std::string sid = newUuid();
  ASSERT_EQ(console
                ->postJson("/api/admin/request",
                           Json{{"id", sid},
                                {"device", id},
                                {"browserKey", base64Encode(P256PrivateKey::generate().publicKeyX963())},
                                {"salt", base64Encode(randomBytes(16))}},
                           token)
                ->status,
            200);
  auto decision = mac->postJson("/api/device/" + id + "/decision", Json{{"session", sid}, {"approve", true}}, key);
  const double expires = decision->json()["expires"];
  EXPECT_LE(expires - static_cast<double>(std::time(nullptr)), 2.0 + 1);
  EXPECT_TRUE(kx::testing::waitUntil([&] {
    return console->request("GET", "/api/admin/session/" + sid + "/status", "", token)->json()["state"] == "ended";
  }));

  EXPECT_EQ(process.terminate(), 0);
  EXPECT_NE(process.output().find("kx-service stopped"), std::string::npos) << process.output();

  // A restart keeps the CA the app already trusts.
  auto again = ServiceProcess::start(binary(), folder.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(readText(ca), firstCa);
  EXPECT_TRUE(TlsClient::connect("127.0.0.1", (*again)->port(), ca).ok());
}

}  // namespace
}  // namespace kx::service::driver
