// RemoteClient against the real kx-service over real HTTPS (libcurl), with
// the technician console's side played by the test through the service API
// and the project's cipher. Desktop pieces are the fakes; time is real.
#include "driver/service_process.h"
#include "driver/tls_client.h"
#include "platform/curl/curl_transport.h"
#include "agent_harness.h"

namespace kx {
namespace {

using namespace service::driver;

constexpr const char* kPassword = "agent-integration-secret";

class AgentAgainstService : public ::testing::Test, public testing::AgentDesk<RunLoop> {};

// Setup code, registration, an access request approved through the prompt,
// offer and answer exchanged through the service, and the technician's end.
TEST_F(AgentAgainstService, SessionRunsAndTheTechnicianEndsIt) {
  const testing::TempDir data("kx-agent-service");
  const testing::TempDir agentFolder("kx-agent-home");
  const std::string binary = siblingBinary("kx-service");
  CommandResult added =
      runCommand(binary, {"technician", "add", "alex", "--data", data.path()}, std::string(kPassword) + "\n");
  ASSERT_EQ(added.exitCode, 0) << added.err;
  auto service = ServiceProcess::start(binary, data.path());
  ASSERT_TRUE(service.ok()) << service.error().description;
  auto tls = TlsClient::connect("localhost", (*service)->port(), data / "ca.pem");
  ASSERT_TRUE(tls.ok()) << tls.error().description;
  auto token = signInTechnician(**tls, "alex", kPassword);
  ASSERT_TRUE(token.ok()) << token.error().description;
  // The technician console's calls, on one kept-alive connection: a GET, or a
  // POST of `body`; anything but 200 fails the test.
  auto call = [&](const std::string& path, const std::optional<Json>& body = std::nullopt) {
    auto reply = body ? (*tls)->postJson(path, *body, *token) : (*tls)->request("GET", path, "", *token);
    EXPECT_TRUE(reply.ok() && reply->status == 200) << (reply.ok() ? reply->body : reply.error().description);
    return reply.ok() ? reply->json() : Json();
  };
  const std::string session = newUuid();
  auto status = [&] { return call("/api/admin/session/" + session + "/status"); };
  auto transport = [&](const PinnedConnection& connection) {
    return std::make_unique<CurlTransport>(
        loop, CurlTransport::Options{.extraCaFile = data / "ca.pem", .pinnedHost = connection.host()});
  };
  const std::string address = "https://localhost:" + std::to_string((*service)->port());
  RemoteClient client(platform(transport, {address, "localhost", "legacy.kx.test"}, agentFolder / "KX"));
  client.start();

  const std::string code = call("/api/admin/setup-code", Json::object()).value("code", "");
  ASSERT_EQ(code.size(), 20u) << code;
  client.enrollWithCode(code.substr(0, 4) + "-" + code.substr(4, 4) + " " + code.substr(8));
  Json device;
  auto online = [&] {  // the service's only computer, once registered and its first poll is in
    return (device = call("/api/admin/devices")).value("/devices/0/online"_json_pointer, false);
  };
  ASSERT_TRUE(loop.runUntil(online, 20)) << menu.line;
  EXPECT_EQ(device["/devices/0/id"_json_pointer], client.device());
  const P256PrivateKey key = P256PrivateKey::generate();
  const std::string salt = base64Encode(randomBytes(16));
  const std::string deviceKey = device.value("/devices/0/publicKey"_json_pointer, "");
  const SessionCipher cipher = SessionCipher::create(key, deviceKey, salt, session).value();
  call("/api/admin/request", Json{{"id", session}, {"device", client.device()},
                                  {"browserKey", base64Encode(key.publicKeyX963())}, {"salt", salt}});
  ASSERT_TRUE(loop.runUntil([&] { return dialogs.consent != nullptr; }, 15));
  EXPECT_EQ(dialogs.prompts.back().message, "alex requests access");
  dialogs.answerConsent(ConsentDecision::kApprove);
  ASSERT_TRUE(loop.runUntil([&] { return picker.presented == 1; }, 15)) << menu.line;
  EXPECT_EQ(status()["state"], "approved");

  picker.observer.didUpdate(ContentFilter{{Display{"DP-1", "Display 1", Rect{0, 0, 1920, 1080}, true}}});
  ASSERT_TRUE(loop.runUntil([&] { return client.lifecycle().mayControl(); }, 10));
  auto connection = engine.last();
  Json signals;
  ASSERT_TRUE(loop.runUntil([&] { return !(signals = status()["signals"]).empty(); }, 15));
  const auto offer = openFromBase64(cipher, signals[0].value("payload", ""));
  EXPECT_EQ(parseJson(offer.value_or("")).value_or(Json())["sdp"], connection->localDescription()->second);
  const Json answer{{"type", "answer"}, {"sdp", "v=0\r\ns=technician\r\n"}, {"messageId", newUuid()}};
  call("/api/admin/session/" + session + "/signal",
       Json{{"payloads", Json::array({sealToBase64(cipher, dumpJson(answer)).value()})}});
  ASSERT_TRUE(loop.runUntil([&] { return connection->remoteDescription().has_value(); }, 15));
  EXPECT_EQ(connection->remoteDescription()->second, "v=0\r\ns=technician\r\n");

  connection->emitIceState(IceConnectionState::kConnected);
  auto channel = connection->dataChannel();
  channel->setState(DataChannelState::kOpen);
  channel->deliver(cipher.encrypt(dumpJson(Json{{"kind", "end"}})).value());
  ASSERT_TRUE(loop.runUntil([&] { return client.active().empty(); }, 5));
  EXPECT_TRUE(loop.runUntil([&] { return status()["state"] == "ended"; }, 10));
}

}  // namespace
}  // namespace kx
