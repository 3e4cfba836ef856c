// A console wired to fakes, and a managed Mac's side of a session: the
// device key, the cipher the Mac derives from the access request, and the
// data channel the Mac opens.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/admin_console.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/basic_loop.h"
#include "support/fake_console_platform.h"
#include "support/fake_http_transport.h"
#include "support/fake_peer_engine.h"

namespace kx::testing {

inline constexpr char kApiBase[] = "https://service.test";
inline constexpr char kToken[] = "technician-token";

class ConsoleTest : public ::testing::Test {
 protected:
  // A console that starts signed in with kToken unless told otherwise.
  void SetUp() override { makeConsole(kToken); }

  void makeConsole(std::optional<std::string> storedToken, std::string apiBase = kApiBase) {
    console.reset();
    if (storedToken) fakes.keychain.items[{AdminConsole::kKeychainService, apiBase}] = *storedToken;
    console = std::make_unique<AdminConsole>(fakes.platform(loop, loop, engine, http), [this] { return selfDevice; },
                                             ConsoleAddresses{apiBase, "https://portal.test", "service.test"});
  }

  Json device(const std::string& id, const std::string& name = "Studio", bool online = true) const {
    return Json{{"id", id}, {"name", name}, {"online", online}, {"publicKey", base64Encode(deviceKey.publicKeyX963())}};
  }
  // Answers the refresh started by "Refresh devices" with these records.
  void loadDevices(const Json& records) {
    console->refreshList();
    http.respondTo("/api/admin/whoami", 200, R"({"name":"Ada"})");
    http.respondTo("/api/admin/devices", 200, dumpJson(Json{{"devices", records}}));
  }

  // Lists one online Mac, presses "Request access" and lets the service accept.
  void startSession() {
    loadDevices(Json::array({device("mac-1")}));
    fakes.view.pressRequestAccess(0);
    ASSERT_TRUE(http.find("/api/admin/request"));
    request = http.at(*http.find("/api/admin/request")).json();
    http.respondTo("/api/admin/request", 200, "{}");
    auto derived = SessionCipher::create(deviceKey, request["browserKey"].get<std::string>(),
                                         request["salt"].get<std::string>(), request["id"].get<std::string>());
    ASSERT_TRUE(derived.ok()) << derived.error().summary();
    macCipher.emplace(*derived);
    connection = engine.last();
  }
  // The Mac's input channel opens.
  void openChannel() {
    channel = std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen);
    connection->emitDataChannel(channel);
    loop.runUntilIdle();
  }
  static Json state(Json canControl, Json streaming = true, Json version = 4) {
    return Json{{"kind", "state"}, {"canControl", canControl}, {"streaming", streaming}, {"controlVersion", version}};
  }
  // A session whose input channel is open and in which the Mac allows control.
  void startControlledSession(int64_t version = 4) {
    startSession();
    openChannel();
    macSends(state(true, true, version));
  }
  void macSends(const Json& message) {
    channel->deliver(*macCipher->encrypt(dumpJson(message)));
    loop.runUntilIdle();
  }

  // What the console sent on the data channel, opened with the Mac's cipher.
  std::vector<Json> sentMessages() const {
    std::vector<Json> out;
    for (const Bytes& envelope : channel->sent()) out.push_back(Json::parse(toString(*macCipher->decrypt(envelope))));
    return out;
  }
  // A signal from the Mac as the service relays it.
  Json signal(const Json& message) const { return Json{{"payload", *sealToBase64(*macCipher, dumpJson(message))}}; }
  Json offer(const std::string& id, const std::string& sdp = "v=0\r\ns=mac-offer\r\n") const {
    return signal(Json{{"type", "offer"}, {"sdp", sdp}, {"messageId", id}});
  }
  std::vector<Json> open(const std::vector<std::string>& payloads) const {
    std::vector<Json> out;
    for (const auto& payload : payloads) out.push_back(Json::parse(*openFromBase64(*macCipher, payload)));
    return out;
  }

  size_t countSent(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& r : http.sent()) n += r.path().starts_with(prefix);
    return n;
  }
  std::string sessionPath(const std::string& tail) const { return "/api/admin/session/" + console->sid() + tail; }

  // Moves time on in timer ticks until a status request is pending, then answers it.
  bool poll(const Json& status) {
    for (int tick = 0; tick < 10 && !http.find(sessionPath("/status")); ++tick) loop.advance(0.5);
    if (!http.find(sessionPath("/status"))) return false;
    http.respondTo(sessionPath("/status"), 200, dumpJson(status));
    loop.runUntilIdle();
    return true;
  }
  static Json approved(std::vector<Json> signals) { return Json{{"state", "approved"}, {"signals", std::move(signals)}}; }

  VirtualLoop loop;
  FakePeerEngine engine;
  FakeHttpTransport http{&loop};
  FakeConsolePlatform fakes;
  std::string selfDevice;
  P256PrivateKey deviceKey = P256PrivateKey::generate();
  std::unique_ptr<AdminConsole> console;

  Json request;
  std::optional<SessionCipher> macCipher;
  std::shared_ptr<FakePeerConnection> connection;
  std::shared_ptr<FakeDataChannel> channel;
};

}  // namespace kx::testing
