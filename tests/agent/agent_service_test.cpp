// RemoteClient against the real kx-service over real HTTPS (libcurl), with
// the technician console's side played by the test through the service API
// and the project's cipher. Desktop pieces are the fakes; time is real.
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
#include "support/scratch.h"

namespace kx {
namespace {

using service::driver::CommandResult;
using service::driver::runCommand;
using service::driver::ServiceProcess;
using service::driver::siblingBinary;
using service::driver::TlsClient;

constexpr const char* kPassword = "agent-integration-secret";

// The technician console, reduced to its service calls and its half of the cipher.
struct Console {
  // A GET, or a POST of `body`; anything but 200 fails the test.
  Json call(const std::string& path, const std::optional<Json>& body = std::nullopt) {
    auto client = TlsClient::connect("localhost", port, caFile);
    EXPECT_TRUE(client.ok());
    if (!client.ok()) return {};
    auto reply = body ? (*client)->postJson(path, *body, token) : (*client)->request("GET", path, "", token);
    EXPECT_TRUE(reply.ok() && reply->status == 200) << (reply.ok() ? reply->body : reply.error().description);
    return reply.ok() ? reply->json() : Json();
  }

  // A fresh key pair, salt and session id, the cipher, and the access request.
  void requestAccess(const std::string& deviceId, const std::string& devicePublicKey) {
    const P256PrivateKey key = P256PrivateKey::generate();
    const std::string salt = base64Encode(randomBytes(16));
    session = newUuid();
    cipher = SessionCipher::create(key, devicePublicKey, salt, session).value();
    call("/api/admin/request", Json{{"id", session}, {"device", deviceId},
                                    {"browserKey", base64Encode(key.publicKeyX963())}, {"salt", salt}});
  }

  // "state", and the opened signals of this status read.
  std::string status(std::vector<Json>* signals = nullptr) {
    const Json reply = call("/api/admin/session/" + session + "/status");
    for (const Json& s : reply.value("signals", Json::array())) {
      const std::string* payload = jsonString(s, "payload");
      auto opened = payload ? openFromBase64(*cipher, *payload) : std::nullopt;
      if (signals && opened) signals->push_back(parseJson(*opened).value_or(Json()));
    }
    return reply.value("state", "");
  }

  void signal(Json message) {
    message["messageId"] = newUuid();
    call("/api/admin/session/" + session + "/signal",
         Json{{"payloads", Json::array({sealToBase64(*cipher, dumpJson(message)).value()})}});
  }

  Bytes seal(const Json& message) const { return cipher->encrypt(dumpJson(message)).value(); }
  Json open(const Bytes& envelope) const {
    auto plain = cipher->decrypt(envelope);
    return plain ? parseJson(toString(*plain)).value_or(Json()) : Json();
  }

  uint16_t port = 0;
  std::string caFile, token, session = {};
  std::optional<SessionCipher> cipher = {};
};

// The loop is made before the fakes that post to it.
struct RealTime {
  RunLoop loop;
};

class AgentAgainstService : public ::testing::Test, public RealTime, public AgentFakes {
 protected:
  AgentAgainstService() : AgentFakes(loop) {}

  void launch() {
    const std::string binary = siblingBinary("kx-service");
    CommandResult added =
        runCommand(binary, {"technician", "add", "alex", "--data", data_.path()}, std::string(kPassword) + "\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto started = ServiceProcess::start(binary, data_.path(), {"--consent-seconds", "1800"});
    ASSERT_TRUE(started.ok()) << started.error().description;
    service_ = std::move(*started);
    auto tls = TlsClient::connect("localhost", service_->port(), data_ / "ca.pem");
    ASSERT_TRUE(tls.ok()) << tls.error().description;
    auto token = service::driver::signInTechnician(**tls, "alex", kPassword);
    ASSERT_TRUE(token.ok()) << token.error().description;
    console_ = Console{.port = service_->port(), .caFile = data_ / "ca.pem", .token = *token};
    hostName = "Integration Computer";
    auto transport = [this](const PinnedConnection& connection) {
      return std::make_unique<CurlTransport>(
          loop, CurlTransport::Options{.extraCaFile = data_ / "ca.pem", .pinnedHost = connection.host()});
    };
    const std::string address = "https://localhost:" + std::to_string(service_->port());
    client_ = std::make_unique<RemoteClient>(
        platform(loop, loop, transport, {address, "localhost", "legacy.kx.test"}, agentFolder_ / "KX"));
    client_->start();
  }

  bool runUntil(const std::function<bool()>& done, double seconds) { return loop.runUntil(done, seconds); }

  testing::TempDir data_{"kx-agent-service"};
  testing::TempDir agentFolder_{"kx-agent-home"};
  std::unique_ptr<ServiceProcess> service_;
  Console console_;
  std::unique_ptr<RemoteClient> client_;
};

// Setup code, registration, an access request approved through the prompt,
// offer and answer exchanged through the service, input, and the technician's end.
TEST_F(AgentAgainstService, SessionRunsAndTheTechnicianEndsIt) {
  launch();
  const std::string code = console_.call("/api/admin/setup-code", Json::object()).value("code", "");
  ASSERT_EQ(code.size(), 20u) << code;
  client_->enrollWithCode(code.substr(0, 4) + "-" + code.substr(4, 4) + " " + code.substr(8));
  ASSERT_TRUE(runUntil([&] { return !client_->device().empty(); }, 15)) << menu.line;
  Json device;
  auto online = [&] {  // once its first poll is in
    for (const Json& d : console_.call("/api/admin/devices").value("devices", Json::array())) {
      if (d.value("id", "") == client_->device()) device = d;
    }
    return device.value("online", false);
  };
  ASSERT_TRUE(runUntil(online, 10));
  EXPECT_EQ(device.value("name", ""), "Integration Computer");
  console_.requestAccess(client_->device(), device["publicKey"].get<std::string>());
  ASSERT_TRUE(runUntil([&] { return !dialogs.consent.empty(); }, 15));
  EXPECT_EQ(dialogs.prompts.back().message, "alex requests access");
  dialogs.answerConsent(ConsentDecision::kApprove);
  ASSERT_TRUE(runUntil([&] { return picker.presented == 1; }, 15)) << menu.line;
  EXPECT_EQ(console_.status(), "approved");
  EXPECT_NEAR(*client_->consentLease().deadline() - loop.uptime(), 1800, 5);

  picker.observer.didUpdate(ContentFilter{{Display{"DP-1", "Display 1", Rect{0, 0, 1920, 1080}, true}}});
  ASSERT_TRUE(runUntil([&] { return client_->lifecycle().mayControl(); }, 10));
  auto connection = engine.last();
  connection->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 2122260223 127.0.0.1 50000 typ host", 0, {}});
  std::vector<Json> fromAgent;
  ASSERT_TRUE(runUntil([&] { return console_.status(&fromAgent), fromAgent.size() >= 2; }, 15));
  EXPECT_EQ(fromAgent[0]["sdp"], connection->localDescription()->second);
  EXPECT_EQ(fromAgent[1]["candidate"]["sdpMid"], "0");
  console_.signal(Json{{"type", "answer"}, {"sdp", "v=0\r\ns=technician\r\n"}});
  console_.signal(
      Json{{"type", "candidate"},
           {"candidate", {{"candidate", "candidate:2 1 udp 1 127.0.0.1 50001 typ host"}, {"sdpMLineIndex", 0}}}});
  ASSERT_TRUE(runUntil([&] { return connection->addedCandidates().size() == 1; }, 15));
  EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=technician\r\n");

  connection->emitIceState(IceConnectionState::kConnected);
  auto channel = connection->dataChannel();
  channel->setState(DataChannelState::kOpen);
  ASSERT_TRUE(runUntil([&] { return !channel->sent().empty(); }, 5));
  EXPECT_EQ(console_.open(channel->sent().back())["canControl"], true);
  channel->deliver(console_.seal(Json{{"kind", "pointer"}, {"seq", 1}, {"action", "hover"}, {"x", 0.5}, {"y", 0.5}}));
  ASSERT_TRUE(runUntil([&] { return !injector.mouse.empty(); }, 5));
  EXPECT_EQ(injector.mouse[0].point, (Point{960, 540}));
  channel->deliver(console_.seal(Json{{"kind", "end"}}));
  ASSERT_TRUE(runUntil([&] { return client_->active().empty(); }, 5));
  EXPECT_TRUE(runUntil([&] { return console_.status() == "ended"; }, 10));
}

}  // namespace
}  // namespace kx
