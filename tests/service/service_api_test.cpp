// The real kx-service binary over real HTTPS on loopback: start-up and
// certificates, the portal redirect, the API paths of a session, framing
// limits, keep-alive, the admin commands, and two replicas sharing one
// PostgreSQL database.
#include <httplib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "driver/service_process.h"
#include "driver/throwaway_postgres.h"
#include "driver/tls_client.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "service/request_limits.h"

namespace kx::service::driver {
namespace {

constexpr const char* kPassword = "integration-secret";
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
constexpr const char* kState = "00112233445566778899aabbccddeeff";

std::string binary() { return siblingBinary("kx-service"); }

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Signs in through the portal (the browser's part) and exchanges the code.
std::string signInAt(uint16_t port, const std::string& ca) {
  httplib::SSLClient portal("127.0.0.1", port);
  portal.set_ca_cert_path(ca.c_str());
  portal.enable_server_certificate_verification(true);
  auto r = portal.Post("/native-sign-in",
                       std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge + "&state=" + kState,
                       "application/x-www-form-urlencoded");
  if (!r || r->status != 303) return {};
  const std::string location = r->get_header_value("Location");
  const std::string code = location.substr(location.find("code=") + 5, 43);
  auto c = TlsClient::connect("localhost", port, ca);
  if (!c) return {};
  auto reply = (*c)->postJson("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}});
  return reply.ok() && reply->status == 200 ? reply->json().value("token", "") : "";
}

class LiveService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder("kx-service-api");
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

  static std::string signIn() { return signInAt(port(), ca()); }

  static TempFolder* folder_;
  static ServiceProcess* process_;
};

TempFolder* LiveService::folder_ = nullptr;
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
  httplib::SSLClient portal("127.0.0.1", port());
  portal.set_ca_cert_path(ca().c_str());
  portal.enable_server_certificate_verification(true);
  auto page = portal.Get((std::string("/native-sign-in?challenge=") + kChallenge + "&state=" + kState).c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<form"), std::string::npos);

  auto wrong = portal.Post("/native-sign-in",
                           std::string("name=alice&password=nope&challenge=") + kChallenge + "&state=" + kState,
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);

  auto redirect = portal.Post("/native-sign-in",
                              std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge +
                                  "&state=" + kState,
                              "application/x-www-form-urlencoded");
  ASSERT_TRUE(redirect);
  ASSERT_EQ(redirect->status, 303);
  const std::string location = redirect->get_header_value("Location");
  ASSERT_EQ(location.rfind("kestrelixremote://admin-sign-in?code=", 0), 0u) << location;
  EXPECT_NE(location.find(std::string("&state=") + kState), std::string::npos);

  const std::string code = location.substr(location.find("code=") + 5, 43);
  auto c = client();
  auto exchanged = c->postJson("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}});
  ASSERT_TRUE(exchanged.ok());
  ASSERT_EQ(exchanged->status, 200) << exchanged->body;
  EXPECT_EQ(exchanged->json()["name"], "alice");
  auto again = c->postJson("/api/admin/exchange", Json{{"code", code}, {"verifier", kVerifier}});
  EXPECT_EQ(again->status, 401);
}

TEST_F(LiveService, WholeSessionOverHttps) {
  const std::string token = signIn();
  ASSERT_FALSE(token.empty());
  auto console = client();
  auto mac = client();

  auto code = console->postJson("/api/admin/setup-code", Json::object(), token);
  ASSERT_EQ(code->status, 200);
  const std::string publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
  auto enrolled = mac->postJson("/api/enroll", Json{{"token", code->json()["code"]},
                                                    {"installation", newUuid()},
                                                    {"device", ""},
                                                    {"key", ""},
                                                    {"name", "Test Mac"},
                                                    {"publicKey", publicKey}});
  ASSERT_EQ(enrolled->status, 200) << enrolled->body;
  const std::string id = enrolled->json()["id"];
  const std::string key = enrolled->json()["key"];
  const std::string pollPath = "/api/device/" + id + "/poll";
  ASSERT_EQ(mac->postJson(pollPath, Json{{"rtcState", "new"}}, key)->status, 200);

  auto devices = console->request("GET", "/api/admin/devices", "", token);
  ASSERT_EQ(devices->status, 200);
  bool found = false;
  const Json list = devices->json();
  for (const Json& d : list["devices"]) {
    if (d["id"] == id) {
      found = true;
      EXPECT_EQ(d["online"], true);
      EXPECT_EQ(d["publicKey"], publicKey);
    }
  }
  EXPECT_TRUE(found);

  const std::string sid = newUuid();
  auto requested = console->postJson("/api/admin/request",
                                     Json{{"id", sid},
                                          {"device", id},
                                          {"browserKey", base64Encode(P256PrivateKey::generate().publicKeyX963())},
                                          {"salt", base64Encode(randomBytes(16))}},
                                     token);
  ASSERT_EQ(requested->status, 200) << requested->body;
  auto pending = mac->postJson(pollPath, Json{{"rtcState", "new"}}, key);
  ASSERT_EQ(pending->json()["session"]["state"], "pending");
  EXPECT_EQ(pending->json()["session"]["technician"], "alice");
  auto approved = mac->postJson("/api/device/" + id + "/decision", Json{{"session", sid}, {"approve", true}}, key);
  ASSERT_EQ(approved->status, 200);
  EXPECT_TRUE(approved->json()["expires"].is_number());

  ASSERT_EQ(mac->postJson("/api/device/" + id + "/signal", Json{{"session", sid}, {"payloads", {"offer"}}}, key)->status,
            200);
  auto status = console->request("GET", "/api/admin/session/" + sid + "/status", "", token);
  EXPECT_EQ(status->json(), (Json{{"state", "approved"}, {"signals", {{{"payload", "offer"}}}}}));
  ASSERT_EQ(console->postJson("/api/admin/session/" + sid + "/signal", Json{{"payloads", {"answer"}}}, token)->status,
            200);
  EXPECT_EQ(mac->postJson(pollPath, Json::object(), key)->json()["session"]["signals"],
            (Json{{{"payload", "answer"}}}));

  ASSERT_EQ(console->postJson("/api/admin/session/" + sid + "/end", Json::object(), token)->status, 200);
  EXPECT_EQ(console->request("GET", "/api/admin/session/" + sid + "/status", "", token)->json()["state"], "ended");
  EXPECT_FALSE(mac->postJson(pollPath, Json::object(), key)->json().contains("session"));
  ASSERT_EQ(console->request("POST", "/api/admin/logout", "", token)->status, 200);
  EXPECT_EQ(console->request("GET", "/api/admin/whoami", "", token)->status, 401);
}

TEST_F(LiveService, BodyOverTheLimitIsRefusedWith413BeforeParsing) {
  auto c = client();
  const std::string big(kMaxRequestBodyBytes + 1, '{');
  auto reply = c->request("POST", "/api/enroll", big, "", {{"Content-Type", "application/json"}});
  ASSERT_TRUE(reply.ok()) << reply.error().description;
  EXPECT_EQ(reply->status, 413);
  EXPECT_FALSE(reply->json().value("error", "").empty());
  EXPECT_EQ(reply->header("connection"), "close");
  EXPECT_TRUE(c->waitForClose(5));

  // A body at the limit is read and parsed (and refused as bad JSON, not as too large).
  auto fits = client()->request("POST", "/api/enroll", std::string(kMaxRequestBodyBytes, '{'));
  EXPECT_EQ(fits->status, 400);
}

TEST_F(LiveService, BodyOverTheLimitIsRefusedForAThirdPartyClientToo) {
  httplib::SSLClient api("localhost", port());
  api.set_ca_cert_path(ca().c_str());
  api.enable_server_certificate_verification(true);
  auto r = api.Post("/api/enroll", std::string(kMaxRequestBodyBytes + 1024, 'x'), "application/json");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, 413);
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
  TempFolder other("kx-service-second");
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
  TempFolder folder("kx-service-life");
  ASSERT_EQ(runCommand(binary(), {"technician", "add", "alice", "--data", folder.path()}, std::string(kPassword) + "\n")
                .exitCode,
            0);
  const std::string code = runCommand(binary(), {"setup-code", "--technician", "alice", "--data", folder.path()}).out;
  auto started = ServiceProcess::start(binary(), folder.path(), {"--consent-seconds", "2", "--pending-seconds", "1"});
  ASSERT_TRUE(started.ok()) << started.error().description;
  ServiceProcess& process = **started;
  const std::string ca = folder.path() + "/ca.pem";
  const std::string firstCa = readText(ca);
  auto mac = TlsClient::connect("localhost", process.port(), ca).value();
  auto enrolled = mac->postJson("/api/enroll", Json{{"token", code.substr(0, 20)},
                                                    {"publicKey", base64Encode(P256PrivateKey::generate().publicKeyX963())}});
  ASSERT_EQ(enrolled->status, 200);
  const std::string id = enrolled->json()["id"], key = enrolled->json()["key"];
  ASSERT_EQ(mac->postJson("/api/device/" + id + "/poll", Json::object(), key)->status, 200);

  // Sign in, request, approve; the approval lasts two seconds.
  httplib::SSLClient portal("127.0.0.1", process.port());
  portal.set_ca_cert_path(ca.c_str());
  auto redirect = portal.Post("/native-sign-in",
                              std::string("name=alice&password=") + kPassword + "&challenge=" + kChallenge +
                                  "&state=" + kState,
                              "application/x-www-form-urlencoded");
  ASSERT_TRUE(redirect && redirect->status == 303);
  const std::string location = redirect->get_header_value("Location");
  auto console = TlsClient::connect("localhost", process.port(), ca).value();
  const std::string token =
      console->postJson("/api/admin/exchange",
                        Json{{"code", location.substr(location.find("code=") + 5, 43)}, {"verifier", kVerifier}})
          ->json()["token"];
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
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(console->request("GET", "/api/admin/session/" + sid + "/status", "", token)->json()["state"], "ended");

  EXPECT_EQ(process.terminate(), 0);
  EXPECT_NE(process.output().find("kx-service stopped"), std::string::npos) << process.output();

  // A restart keeps the CA the app already trusts.
  auto again = ServiceProcess::start(binary(), folder.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(readText(ca), firstCa);
  EXPECT_TRUE(TlsClient::connect("127.0.0.1", (*again)->port(), ca).ok());
}

// Everything a session needs lives in the shared database: each step may be
// answered by either replica.
TEST(ReplicasOnPostgres, SignalsPostedThroughOneReplicaReachTheOtherInOrderAndOnce) {
  auto pg = ThrowawayPostgres::start();
  if (!pg) GTEST_SKIP() << "PostgreSQL cannot start on this machine: " << pg.error().description;
  auto uri = (*pg)->createDatabase("replicas");
  ASSERT_TRUE(uri.ok()) << uri.error().description;
  TempFolder folder("kx-replicas");
  const std::vector<std::string> database = {"--database", *uri};
  CommandResult added = runCommand(binary(), {"technician", "add", "alice", "--data", folder.path(), "--database", *uri},
                                   std::string(kPassword) + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.err;
  auto a = ServiceProcess::start(binary(), folder.path(), database);
  ASSERT_TRUE(a.ok()) << a.error().description;
  auto b = ServiceProcess::start(binary(), folder.path(), database);
  ASSERT_TRUE(b.ok()) << b.error().description;
  const std::string ca = folder.path() + "/ca.pem";
  auto connect = [&](const ServiceProcess& replica) { return TlsClient::connect("localhost", replica.port(), ca).value(); };
  auto consoleA = connect(**a), consoleB = connect(**b), macB = connect(**b), macA = connect(**a);

  const std::string token = signInAt((*a)->port(), ca);
  ASSERT_FALSE(token.empty());
  auto code = consoleB->postJson("/api/admin/setup-code", Json::object(), token);
  ASSERT_EQ(code->status, 200) << code->body;
  const std::string publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
  auto enrolled = macA->postJson("/api/enroll", Json{{"token", code->json()["code"]}, {"publicKey", publicKey}});
  ASSERT_EQ(enrolled->status, 200) << enrolled->body;
  // The setup code was spent through A: B refuses it too.
  EXPECT_EQ(macB->postJson("/api/enroll", Json{{"token", code->json()["code"]}, {"publicKey", publicKey}})->status,
            401);
  const std::string id = enrolled->json()["id"], key = enrolled->json()["key"];
  const std::string poll = "/api/device/" + id + "/poll";
  ASSERT_EQ(macB->postJson(poll, Json::object(), key)->status, 200);

  const std::string sid = newUuid();
  const Json request{{"id", sid}, {"device", id}, {"browserKey", publicKey}, {"salt", base64Encode(randomBytes(16))}};
  ASSERT_EQ(consoleA->postJson("/api/admin/request", request, token)->status, 200);
  Json other = request;
  other["id"] = newUuid();
  EXPECT_EQ(consoleB->postJson("/api/admin/request", other, token)->status, 409);  // one session per Mac
  ASSERT_EQ(macB->postJson("/api/device/" + id + "/decision", Json{{"session", sid}, {"approve", true}}, key)->status,
            200);

  const std::string signal = "/api/admin/session/" + sid + "/signal";
  ASSERT_EQ(consoleA->postJson(signal, Json{{"payloads", {"offer", "candidate 1"}}}, token)->status, 200);
  // A retry of a post whose answer was lost, through the other replica.
  ASSERT_EQ(consoleB->postJson(signal, Json{{"payloads", {"candidate 1", "candidate 2"}}}, token)->status, 200);
  EXPECT_EQ(macB->postJson(poll, Json::object(), key)->json()["session"]["signals"],
            (Json{{{"payload", "offer"}}, {{"payload", "candidate 1"}}, {{"payload", "candidate 2"}}}));
  ASSERT_EQ(macB->postJson("/api/device/" + id + "/signal", Json{{"session", sid}, {"payloads", {"answer"}}}, key)->status,
            200);
  EXPECT_EQ(consoleA->request("GET", signal, "", token)->json()["signals"], (Json{{{"payload", "answer"}}}));

  ASSERT_EQ(consoleB->postJson("/api/admin/session/" + sid + "/end", Json::object(), token)->status, 200);
  EXPECT_FALSE(macA->postJson(poll, Json::object(), key)->json().contains("session"));
}

}  // namespace
}  // namespace kx::service::driver
