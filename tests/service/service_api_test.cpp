// The real kx-service binary over real HTTPS on loopback: start-up and
// certificates, the portal redirect, the API paths of a session, framing
// limits, keep-alive, the admin commands, and two replicas sharing one
// PostgreSQL database.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

#include "driver/service_process.h"
#include "driver/throwaway_postgres.h"
#include "driver/tls_client.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "service/request_limits.h"
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

// Signs a leaf for `name` with the service's own CA key, as someone who stole
// it would, and checks it against the CA as a client would.
int verifyLeafSignedByLocalCa(const std::string& folder, const std::string& name) {
  auto read = [](const std::string& path, auto reader) {
    FILE* f = std::fopen(path.c_str(), "r");
    auto* value = f ? reader(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) std::fclose(f);
    return value;
  };
  X509* ca = read(folder + "/ca.pem", PEM_read_X509);
  EVP_PKEY* caKey = read(folder + "/ca-key.pem", PEM_read_PrivateKey);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* leaf = X509_new();
  X509_set_version(leaf, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(leaf), 7);
  X509_gmtime_adj(X509_getm_notBefore(leaf), -60);
  X509_gmtime_adj(X509_getm_notAfter(leaf), 3600);
  X509_set_pubkey(leaf, key);
  X509_set_issuer_name(leaf, X509_get_subject_name(ca));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, ca, leaf, nullptr, nullptr, 0);
  X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, ("DNS:" + name).c_str());
  X509_add_ext(leaf, san, -1);
  X509_sign(leaf, caKey, EVP_sha256());
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, ca);
  X509_STORE_CTX* check = X509_STORE_CTX_new();
  X509_STORE_CTX_init(check, store, leaf, nullptr);
  const int result = X509_verify_cert(check) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(check);
  X509_STORE_CTX_free(check);
  X509_STORE_free(store);
  X509_EXTENSION_free(san);
  X509_free(leaf);
  EVP_PKEY_free(key);
  EVP_PKEY_free(caKey);
  X509_free(ca);
  return result;
}

TEST_F(LiveService, LocalCaVouchesForLocalNamesOnly) {
  EXPECT_EQ(verifyLeafSignedByLocalCa(folder_->path(), "localhost"), X509_V_OK);
  EXPECT_EQ(verifyLeafSignedByLocalCa(folder_->path(), "bank.example"), X509_V_ERR_PERMITTED_VIOLATION);
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

TEST_F(LiveService, MalformedOrOversizedHeadsAreRefusedWithTheirStatus) {
  const std::pair<std::string, int> cases[] = {
      {"GET / HTTP/2.0\r\n\r\n", 400},
      {"GET  / HTTP/1.1\r\n\r\n", 400},
      {"G(T / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nbad header\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n", 431},
  };
  for (const auto& [wire, status] : cases) {
    auto c = client();
    ASSERT_TRUE(c->sendRaw(wire).ok());
    auto reply = c->readReply();
    ASSERT_TRUE(reply.ok()) << wire.substr(0, 40);
    EXPECT_EQ(reply->status, status) << wire.substr(0, 40);
    EXPECT_TRUE(c->waitForClose(5)) << wire.substr(0, 40);
  }
  // Empty lines before a request are not one.
  auto c = client();
  ASSERT_TRUE(c->sendRaw("\r\n\r\nGET /download HTTP/1.1\r\nHost: localhost\r\n\r\n").ok());
  EXPECT_EQ(c->readReply()->status, 200);
}

TEST_F(LiveService, OnlyTls12OrNewerWithAeadSuitesIsSpoken) {
  auto offering = [](int maxVersion, std::string ciphers) {
    ConnectOptions options;
    options.maxTlsVersion = maxVersion;
    options.tls12Ciphers = std::move(ciphers);
    return options;
  };
  EXPECT_FALSE(TlsClient::connect("localhost", port(), ca(), offering(TLS1_1_VERSION, "")).ok());
  EXPECT_FALSE(
      TlsClient::connect("localhost", port(), ca(),
                         offering(TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA:AES128-SHA"))
          .ok());
  EXPECT_TRUE(TlsClient::connect("localhost", port(), ca(), offering(TLS1_2_VERSION, "")).ok());
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

  ASSERT_EQ(
      runCommand(binary(), {"technician", "add", "carol", "--data", folder_->path()}, "carol-password\n").exitCode, 0);
  EXPECT_EQ(runCommand(binary(), {"technician", "remove", "carol", "--data", folder_->path()}).exitCode, 0);
  CommandResult audit = runCommand(binary(), {"audit", "--data", folder_->path()});
  ASSERT_EQ(audit.exitCode, 0) << audit.err;
  std::vector<std::string> events;
  std::istringstream lines(audit.out);
  for (std::string line; std::getline(lines, line);) events.push_back(parseJson(line).value_or(Json())["event"]);
  ASSERT_GE(events.size(), 4u) << audit.out;
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 4),
            (std::vector<std::string>{"technician-removed", "technician-added", "device-enrolled", "device-enrolled"}));
}

// A service with a short request deadline, a small per-address cap and the
// monitoring listener.
class FrontLimits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir("kx-service-front");
    auto started = ServiceProcess::start(
        binary(), folder_->path(),
        {"--request-seconds", "2", "--max-connections-per-address", "4", "--monitor", "127.0.0.1:0"});
    ASSERT_TRUE(started.ok()) << started.error().description;
    process_ = started->release();
  }
  static void TearDownTestSuite() {
    delete process_;
    delete folder_;
  }
  void SetUp() override { ASSERT_NE(process_, nullptr); }
  static Expected<std::unique_ptr<TlsClient>> connect(const std::string& source = "") {
    ConnectOptions options;
    options.source = source;
    return TlsClient::connect("localhost", process_->port(), folder_->path() + "/ca.pem", options);
  }

  static TempDir* folder_;
  static ServiceProcess* process_;
};

TempDir* FrontLimits::folder_ = nullptr;
ServiceProcess* FrontLimits::process_ = nullptr;

TEST_F(FrontLimits, TrickleOfLineEndsIsClosedAtTheRequestDeadlineWhilePollsAreAnswered) {
  auto slow = connect().value();
  auto normal = connect().value();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool closed = false;
  int answered = 0;
  while (!closed && std::chrono::steady_clock::now() < give_up) {
    (void)slow->sendRaw("\r\n");
    auto reply = normal->request("POST", "/api/device/nobody/poll", "{}", "key");
    if (reply.ok() && reply->status == 401) ++answered;
    closed = slow->waitForClose(0.5);
  }
  EXPECT_TRUE(closed);
  EXPECT_GT(answered, 0);
}

TEST_F(FrontLimits, ConnectionsPerSourceAddressAreCapped) {
  std::vector<std::unique_ptr<TlsClient>> held;
  for (int i = 0; i < 4; ++i) {
    auto c = connect("127.0.0.9");
    ASSERT_TRUE(c.ok()) << c.error().description;
    held.push_back(std::move(*c));
  }
  // Refused connections hold no place, however often they are tried.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(connect("127.0.0.9").ok());
  EXPECT_TRUE(connect("127.0.0.10").ok());
  // The service gives the place back before its end of the connection
  // closes, so one more fits as soon as the client sees the close: no
  // retrying, and a place that leaks fails here at once.
  held.back()->finishSending();
  ASSERT_TRUE(held.back()->waitForClose(10));
  held.pop_back();
  auto again = connect("127.0.0.9");
  ASSERT_TRUE(again.ok()) << again.error().description;
  EXPECT_FALSE(connect("127.0.0.9").ok());
}

TEST_F(FrontLimits, HealthAndMetricsAreServedOnlyOnTheMonitoringAddress) {
  const std::string& out = process_->output();
  const size_t at = out.find("monitoring on http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  const int monitorPort = std::atoi(out.c_str() + at + 31);
  httplib::Client monitor("127.0.0.1", monitorPort);
  auto health = monitor.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  auto metrics = monitor.Get("/metrics");
  ASSERT_TRUE(metrics);
  for (const char* name : {"kx_polls_total ", "kx_sessions_open ", "kx_relay_queued_signals ",
                           "kx_sign_in_failures_total ", "kx_request_duration_seconds_bucket{le=\"+Inf\"} "}) {
    EXPECT_NE(metrics->body.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(monitor.Get("/api/admin/whoami")->status, 404);
  EXPECT_EQ(connect().value()->request("GET", "/metrics")->status, 404);
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
  // The lease runs out on its own: the status turns to ended without any further step.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string state;
  while (state != "ended" && std::chrono::steady_clock::now() < give_up) {
    auto status = console->request("GET", "/api/admin/session/" + sid + "/status", "", token);
    ASSERT_TRUE(status.ok()) << status.error().description;
    state = status->json().value("state", "");
    ASSERT_TRUE(state == "approved" || state == "ended") << status->body;
  }
  EXPECT_EQ(state, "ended");

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
  TempDir folder("kx-replicas");
  const std::vector<std::string> database = {"--database", *uri};
  CommandResult added = runCommand(binary(), {"technician", "add", "alice", "--data", folder.path(), "--database", *uri},
                                   std::string(kPassword) + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.err;
  auto a = ServiceProcess::start(binary(), folder.path(), database);
  ASSERT_TRUE(a.ok()) << a.error().description;
  auto b = ServiceProcess::start(binary(), folder.path(), database);
  ASSERT_TRUE(b.ok()) << b.error().description;
  const std::string ca = folder / "ca.pem";
  auto connect = [&](const ServiceProcess& replica) { return TlsClient::connect("localhost", replica.port(), ca).value(); };
  auto consoleA = connect(**a), consoleB = connect(**b), macB = connect(**b), macA = connect(**a);

  const std::string token = signInTechnician(*consoleA, "alice", kPassword).value();
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
  auto requested = consoleA->postJson("/api/admin/request", request, token);
  ASSERT_EQ(requested->status, 200) << requested->body;
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
