// RemoteClient against the real kx-service over real HTTPS (libcurl), with
// the technician console's side played by the test through the service API
// and the project's cipher. Desktop pieces (dialogs, capture, media engine,
// input) are the fakes; time is real.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "agent/remote_client.h"
#include "driver/service_process.h"
#include "driver/tls_client.h"
#include "media/realtime_peer.h"
#include "platform/curl/curl_transport.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/basic_loop.h"
#include "support/fake_agent_platform.h"
#include "support/fake_peer_engine.h"
#include "support/scratch.h"

namespace kx {
namespace {

using service::driver::CommandResult;
using service::driver::HttpReply;
using service::driver::runCommand;
using service::driver::ServiceProcess;
using service::driver::siblingBinary;
using service::driver::TlsClient;

constexpr const char* kPassword = "agent-integration-secret";

// The technician console, reduced to its service calls.
class Console {
 public:
  Console(uint16_t port, std::string caFile) : port_(port), caFile_(std::move(caFile)) {}

  HttpReply call(const std::string& method, const std::string& path, const std::optional<Json>& body = std::nullopt) {
    auto client = TlsClient::connect("localhost", port_, caFile_);
    EXPECT_TRUE(client.ok());
    if (!client.ok()) return {};
    auto reply = body ? (*client)->postJson(path, *body, token_) : (*client)->request(method, path, "", token_);
    EXPECT_TRUE(reply.ok());
    return reply.ok() ? *reply : HttpReply{};
  }

  void signIn() {
    auto client = TlsClient::connect("localhost", port_, caFile_);
    ASSERT_TRUE(client.ok());
    auto token = service::driver::signInTechnician(**client, "alex", kPassword);
    ASSERT_TRUE(token.ok()) << token.error().description;
    token_ = *token;
  }

  std::string setupCode() {
    const HttpReply reply = call("POST", "/api/admin/setup-code", Json::object());
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.json().value("code", "");
  }

  Json device(const std::string& id) {
    const HttpReply reply = call("GET", "/api/admin/devices");
    EXPECT_EQ(reply.status, 200) << reply.body;
    for (const Json& d : reply.json().value("devices", Json::array()))
      if (d.value("id", "") == id) return d;
    ADD_FAILURE() << "device " << id << " not listed: " << reply.body;
    return Json::object();
  }

  // A fresh key pair, salt and session id, the cipher, and the access request.
  void requestAccess(const std::string& deviceId, const std::string& devicePublicKey) {
    key_ = P256PrivateKey::generate();
    const std::string salt = base64Encode(randomBytes(16));
    session_ = newUuid();
    cipher_ = SessionCipher::create(*key_, devicePublicKey, salt, session_).value();
    const HttpReply reply = call("POST", "/api/admin/request",
                                 Json{{"id", session_},
                                      {"device", deviceId},
                                      {"browserKey", base64Encode(key_->publicKeyX963())},
                                      {"salt", salt}});
    ASSERT_EQ(reply.status, 200) << reply.body;
  }

  // "state", and the opened signals of this status read.
  std::string status(std::vector<Json>* signals = nullptr) {
    const Json reply = call("GET", "/api/admin/session/" + session_ + "/status").json();
    if (signals) {
      for (const Json& s : reply.value("signals", Json::array())) {
        const std::string* payload = jsonString(s, "payload");
        if (!payload) continue;
        if (auto opened = openFromBase64(*cipher_, *payload)) signals->push_back(parseJson(*opened).value_or(Json()));
      }
    }
    return reply.value("state", "");
  }

  void signal(Json message) {
    message["messageId"] = newUuid();
    const HttpReply reply = call("POST", "/api/admin/session/" + session_ + "/signal",
                                 Json{{"payloads", Json::array({sealToBase64(*cipher_, dumpJson(message)).value()})}});
    EXPECT_EQ(reply.status, 200) << reply.body;
  }

  Bytes seal(const Json& message) const { return cipher_->encrypt(dumpJson(message)).value(); }
  std::optional<Json> open(const Bytes& envelope) const {
    auto plain = cipher_->decrypt(envelope);
    if (!plain) return std::nullopt;
    return parseJson(toString(*plain));
  }
  const std::string& session() const { return session_; }

 private:
  uint16_t port_;
  std::string caFile_;
  std::string token_;
  std::optional<P256PrivateKey> key_;
  std::optional<SessionCipher> cipher_;
  std::string session_;
};

class AgentAgainstService : public ::testing::Test {
 protected:
  // `consentSeconds` is the service's approval length.
  void launch(int consentSeconds = 1800) {
    const std::string binary = siblingBinary("kx-service");
    CommandResult added =
        runCommand(binary, {"technician", "add", "alex", "--data", data_.path()}, std::string(kPassword) + "\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto started = ServiceProcess::start(binary, data_.path(), {"--consent-seconds", std::to_string(consentSeconds)});
    ASSERT_TRUE(started.ok()) << started.error().description;
    service_ = std::move(*started);
    const std::string address = "https://localhost:" + std::to_string(service_->port());
    console_.emplace(service_->port(), data_.path() + "/ca.pem");
    console_->signIn();

    access_.grant();
    preferences_.shownVersion = "0.5.0";
    client_ = std::make_unique<RemoteClient>(AgentPlatform{
        .loop = loop_,
        .clock = loop_,
        .menu = menu_,
        .dialogs = dialogs_,
        .makeSetupWindow = setup_.factory(),
        .makeServiceTransport =
            [this](const PinnedConnection& connection) {
              return std::make_unique<CurlTransport>(
                  loop_,
                  CurlTransport::Options{.extraCaFile = data_.path() + "/ca.pem", .pinnedHost = connection.host()});
            },
        .peerEngine = engine_,
        .screenCapture = capture_,
        .picker = picker_,
        .injector = injector_,
        .inputAccess = access_,
        .background = background_,
        .loginItem = login_,
        .relauncher = relauncher_,
        .singleInstance = instances_,
        .preferences = preferences_,
        .application = application_,
        .workspace = workspace_,
        .showTechnicianConsole = {},
        .hostName = "Integration Mac",
        .settingsFolder = agentFolder_.path() + "/Kestrelix Remote Test",
        .process = ProcessInfo{},
        .service = ServiceEndpoint{address, "localhost", "legacy.kx.test"},
    });
    client_->start();
  }

  bool runUntil(const std::function<bool()>& done, double seconds) { return loop_.runUntil(done, seconds); }

  // Setup code, registration, an access request, approval through the alert.
  void approvedSession() {
    const std::string code = console_->setupCode();
    ASSERT_EQ(code.size(), 20u) << code;
    client_->enrollWithCode(code.substr(0, 4) + "-" + code.substr(4, 4) + " " + code.substr(8));
    ASSERT_TRUE(runUntil([&] { return !client_->device().empty(); }, 15)) << menu_.line();
    EXPECT_EQ(menu_.line(), "Online · awaiting requests");
    Json device;
    // Online once its first poll is in.
    ASSERT_TRUE(runUntil(
        [&] {
          device = console_->device(client_->device());
          return device.value("online", false);
        },
        10));
    ASSERT_EQ(device.value("name", ""), "Integration Mac");
    console_->requestAccess(client_->device(), device["publicKey"].get<std::string>());

    ASSERT_TRUE(runUntil([&] { return !dialogs_.consent.empty(); }, 15));
    EXPECT_EQ(dialogs_.prompts.back().message, "alex requests access");
    dialogs_.answerConsent(ConsentDecision::kApprove);
    ASSERT_TRUE(runUntil([&] { return picker_.presented == 1; }, 15)) << menu_.line();
    EXPECT_EQ(client_->active(), console_->session());
    EXPECT_EQ(console_->status(), "approved");
  }

  // Display picked; offer and answer exchanged through the service; connected.
  void streaming() {
    picker_.observer.didUpdate(ContentFilter{{Display{"DP-1", "Display 1", Rect{0, 0, 1920, 1080}, true}}});
    ASSERT_TRUE(runUntil([&] { return client_->lifecycle().mayControl(); }, 10));
    auto connection = engine_.last();
    connection->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 2122260223 127.0.0.1 50000 typ host", 0, {}});

    std::vector<Json> fromMac;
    ASSERT_TRUE(runUntil(
        [&] {
          console_->status(&fromMac);
          return fromMac.size() >= 2;
        },
        15));
    ASSERT_EQ(fromMac[0]["type"], "offer");
    EXPECT_EQ(fromMac[0]["sdp"], connection->localDescription()->second);
    ASSERT_EQ(fromMac[1]["type"], "candidate");
    EXPECT_EQ(fromMac[1]["candidate"]["sdpMid"], "0");

    console_->signal(Json{{"type", "answer"}, {"sdp", "v=0\r\ns=technician\r\n"}});
    console_->signal(
        Json{{"type", "candidate"},
             {"candidate", {{"candidate", "candidate:2 1 udp 1 127.0.0.1 50001 typ host"}, {"sdpMLineIndex", 0}}}});
    ASSERT_TRUE(runUntil([&] { return connection->addedCandidates().size() == 1; }, 15));
    EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=technician\r\n");

    connection->emitIceState(IceConnectionState::kConnected);
    connection->dataChannel()->setState(DataChannelState::kOpen);
    ASSERT_TRUE(runUntil([&] { return !connection->dataChannel()->sent().empty(); }, 5));
    const auto state = console_->open(connection->dataChannel()->sent().back());
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  }

  bool endedAtTheService(double seconds) {
    return runUntil([&] { return console_->status() == "ended"; }, seconds);
  }

  testing::TempDir data_{"kx-agent-service"};
  testing::TempDir agentFolder_{"kx-agent-home"};
  std::unique_ptr<ServiceProcess> service_;
  std::optional<Console> console_;

  RunLoop loop_;
  FakeStatusMenu menu_;
  FakeAgentDialogs dialogs_;
  FakeSetupWindowFactory setup_;
  FakePeerEngine engine_;
  FakeScreenCapture capture_;
  FakeDisplayPicker picker_;
  FakeInputInjector injector_;
  FakeInputAccess access_;
  FakeBackgroundQueue background_{loop_};
  FakeLoginItem login_;
  FakeRelauncher relauncher_;
  FakeSingleInstance instances_;
  FakePreferences preferences_;
  FakeApplication application_;
  FakeWorkspace workspace_;
  std::unique_ptr<RemoteClient> client_;
};

TEST_F(AgentAgainstService, SessionRunsAndTheTechnicianEndsIt) {
  launch();
  approvedSession();
  EXPECT_NEAR(*client_->consentLease().deadline() - loop_.uptime(), 1800, 5);
  streaming();

  // Input reaches the desktop.
  auto channel = engine_.last()->dataChannel();
  channel->deliver(console_->seal(Json{{"kind", "pointer"}, {"seq", 1}, {"action", "hover"}, {"x", 0.5}, {"y", 0.5}}));
  ASSERT_TRUE(runUntil([&] { return !injector_.mouse.empty(); }, 5));
  EXPECT_EQ(injector_.mouse[0].point, (Point{960, 540}));

  channel->deliver(console_->seal(Json{{"kind", "end"}}));
  ASSERT_TRUE(runUntil([&] { return client_->active().empty(); }, 5));
  EXPECT_TRUE(endedAtTheService(10));
  EXPECT_EQ(client_->lifecycle().phaseText(), "idle");
}

}  // namespace
}  // namespace kx
