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
inline constexpr char kPortalBase[] = "https://portal.test";
inline constexpr char kToken[] = "technician-token";

class ConsoleTest : public ::testing::Test {
 protected:
  // A console that starts signed in with kToken unless told otherwise.
  void SetUp() override { makeConsole(kToken); }

  void makeConsole(std::optional<std::string> storedToken) {
    console.reset();
    if (storedToken) fakes.keychain.items[{AdminConsole::kKeychainService, kApiBase}] = *storedToken;
    console = std::make_unique<AdminConsole>(fakes.platform(loop, loop, engine, http),
                                             [this] { return selfDevice; },
                                             ConsoleAddresses{kApiBase, kPortalBase, "service.test"});
  }

  // The device record the service lists for the Mac.
  Json deviceRecord(const std::string& id, const std::string& name, bool online) const {
    return Json{{"id", id}, {"name", name}, {"online", online},
                {"publicKey", base64Encode(deviceKey.publicKeyX963())}};
  }

  // Answers the refresh started by "Refresh devices" with these records.
  void loadDevices(const Json& records, const std::string& name = "Ada") {
    console->refreshList();
    ASSERT_TRUE(http.find("/api/admin/whoami")) << "no whoami request";
    http.respondTo("/api/admin/whoami", 200, dumpJson(Json{{"name", name}}));
    ASSERT_TRUE(http.find("/api/admin/devices")) << "no devices request";
    http.respondTo("/api/admin/devices", 200, dumpJson(Json{{"devices", records}}));
  }

  // Lists one online Mac, presses "Request access" and lets the service accept.
  void startSession() {
    loadDevices(Json::array({deviceRecord("mac-1", "Studio", true)}));
    fakes.view.pressRequestAccess(0);
    ASSERT_TRUE(http.find("/api/admin/request")) << "no access request";
    request = http.at(*http.find("/api/admin/request")).json();
    http.respondTo("/api/admin/request", 200, "{}");
    ASSERT_FALSE(console->sid().empty());
    auto derived = SessionCipher::create(deviceKey, request["browserKey"].get<std::string>(),
                                         request["salt"].get<std::string>(), request["id"].get<std::string>());
    ASSERT_TRUE(derived.ok()) << derived.error().summary();
    macCipher.emplace(*derived);
    connection = engine.last();
  }

  // The Mac's input channel opens, and the Mac reports its state.
  void openChannel() {
    channel = std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen);
    connection->emitDataChannel(channel);
    loop.runUntilIdle();
  }
  void macSends(const Json& message) {
    auto envelope = macCipher->encrypt(dumpJson(message));
    ASSERT_TRUE(envelope.ok());
    channel->deliver(*envelope);
    loop.runUntilIdle();
  }
  void macReportsState(bool canControl, bool streaming = true, int64_t version = 4) {
    macSends(Json{{"kind", "state"}, {"canControl", canControl}, {"streaming", streaming},
                  {"controlVersion", version}});
  }
  // A session with an open channel in which the Mac allows control.
  void startControlledSession(int64_t version = 4) {
    startSession();
    openChannel();
    macReportsState(true, true, version);
  }

  // What the console sent on the data channel, opened with the Mac's cipher.
  std::vector<Json> sentMessages() const {
    std::vector<Json> out;
    if (!channel) return out;
    for (const Bytes& envelope : channel->sent()) {
      auto plaintext = macCipher->decrypt(envelope);
      EXPECT_TRUE(plaintext.ok());
      if (plaintext) out.push_back(Json::parse(toString(*plaintext)));
    }
    return out;
  }

  // A signal from the Mac as the service relays it.
  Json sealedSignal(Json message) const {
    auto sealed = sealToBase64(*macCipher, dumpJson(message));
    EXPECT_TRUE(sealed.ok());
    return Json{{"payload", *sealed}};
  }

  // Opens the payloads the console posted.
  std::vector<Json> openPayloads(const Json& body) const {
    std::vector<Json> out;
    for (const Json& payload : body["payloads"]) {
      auto plaintext = openFromBase64(*macCipher, payload.get<std::string>());
      EXPECT_TRUE(plaintext.has_value());
      if (plaintext) out.push_back(Json::parse(*plaintext));
    }
    return out;
  }

  size_t countSent(const std::string& pathPrefix) const {
    size_t n = 0;
    for (const auto& r : http.sent())
      if (r.path().starts_with(pathPrefix)) ++n;
    return n;
  }

  std::string sessionPath(const std::string& tail) const { return "/api/admin/session/" + console->sid() + tail; }

  // Moves time on in timer ticks until a status request of the running
  // session is pending; false when none came within `seconds`.
  bool advanceToPoll(double seconds = 5) {
    const std::string path = sessionPath("/status");
    for (double waited = 0; waited < seconds; waited += 0.5) {
      if (http.find(path)) return true;
      loop.advance(0.5);
    }
    return http.find(path).has_value();
  }
  // Answers the pending status request, then lets engine completions run.
  void answerStatus(const Json& body) {
    http.respondTo(sessionPath("/status"), 200, dumpJson(body));
    loop.runUntilIdle();
  }
  Json approvedWith(std::vector<Json> signals) const {
    return Json{{"state", "approved"}, {"signals", std::move(signals)}};
  }
  Json offer(const std::string& messageId, const std::string& sdp = "v=0\r\ns=mac-offer\r\n") const {
    return sealedSignal(Json{{"type", "offer"}, {"sdp", sdp}, {"messageId", messageId}});
  }
  Json candidate(const std::string& messageId, const std::string& line) const {
    return sealedSignal(Json{{"type", "candidate"},
                             {"candidate", {{"candidate", line}, {"sdpMLineIndex", 0}, {"sdpMid", "0"}}},
                             {"messageId", messageId}});
  }

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
