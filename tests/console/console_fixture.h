// The technician console on fakes of its window, web sign-in and keychain,
// with a managed computer's side of a session: the console tests' fixture,
// also driven by the client fuzzer.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "console/admin_console.h"
#include "console/console_platform.h"
#include "console/mac_keycodes.h"
#include "console/remote_input_view.h"
#include "console/sign_in_callback.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/basic_loop.h"
#include "support/fake_http_transport.h"
#include "support/fake_peer_engine.h"

namespace kx::testing {

class FakeWindow final : public ConsoleWindowView, public VideoRenderer {
 public:
  void setActions(ConsoleActions value) override { actions = std::move(value); }
  void attachInputView(RemoteInputView*) override {}
  VideoRenderer* videoRenderer() override { return this; }
  void onFrame(std::shared_ptr<const FrameBuffer>) override {}
  void setIdentityText(const std::string&) override {}
  void setStatusText(const std::string&) override {}
  void setMeasurementText(const std::string&) override {}
  void setDeviceRows(std::vector<DeviceRow> value, std::function<void(size_t)> press) override {
    rows = std::move(value);
    requestAccess = std::move(press);
  }
  void setEndButtonEnabled(bool enabled) override { endEnabled = enabled; }
  void setSignInPending(bool) override {}
  void setSessionHeaderText(const std::string&) override {}
  void setActivityText(const std::string&) override {}
  void showWindow() override {}
  void toggleFullScreen() override {}
  void setApplicationRegular(bool) override {}

  ConsoleActions actions;
  std::vector<DeviceRow> rows;
  std::function<void(size_t)> requestAccess;  // "Request access" of a row, as the window presses it
  bool endEnabled = false;
};

class FakeWebSignIn final : public WebSignIn {
 public:
  bool start(const std::string& url, const std::string&, Completion done) override {
    urls.push_back(url);
    completion = std::move(done);  // a new attempt replaces the running one
    return true;
  }
  void cancel() override { completion = nullptr; }

  // The query value `name` of the last opened address.
  std::string query(const std::string& name) const {
    const size_t begin = urls.back().find(name + '=') + name.size() + 1;
    return urls.back().substr(begin, urls.back().find('&', begin) - begin);
  }
  // Hands the running attempt a callback URL (or an error), as the app receives it.
  void complete(std::optional<std::string> callbackUrl, std::optional<Error> error = std::nullopt) {
    if (auto done = completion) done(std::move(callbackUrl), std::move(error));  // a copy: it may cancel
  }

  std::vector<std::string> urls;
  Completion completion;
};

class FakeKeychain final : public Keychain {
 public:
  void load(const std::string& service, const std::string& account,
            std::function<void(std::optional<std::string>)> done) override {
    done(items.contains({service, account}) ? std::optional(items.at({service, account})) : std::nullopt);
  }
  void save(const std::string& service, const std::string& account, const std::string& secret,
            std::function<void(Status)> done) override {
    items[{service, account}] = secret;
    done(Status{});
  }
  void remove(const std::string& service, const std::string& account, std::function<void(Status)> done) override {
    items.erase({service, account});
    done(Status{});
  }

  std::map<std::pair<std::string, std::string>, std::string> items;
};

// The setup-code alert and its clipboard are not what these tests look at.
struct FakeConsoleExtras final : Pasteboard, ConsoleDialogs {
  void setText(const std::string&) override {}
  void showSetupCode(const std::string&, const std::string&, std::function<void(SetupCodeChoice)>) override {}
};

constexpr char kApiBase[] = "https://service.test";
constexpr char kToken[] = "technician-token";
const std::string kCallback = "kestrelixremote://admin-sign-in?";

class ConsoleTest : public ::testing::Test {
 protected:
  // A console that starts signed in with kToken unless told otherwise.
  void SetUp() override { makeConsole(kToken); }

  void makeConsole(std::optional<std::string> storedToken, std::string apiBase = kApiBase) {
    console.reset();
    if (storedToken) keychain.items[{AdminConsole::kKeychainService, apiBase}] = *storedToken;
    const ConsolePlatform platform{
        .loop = loop,
        .clock = loop,
        .view = view,
        .webSignIn = webSignIn,
        .keychain = keychain,
        .pasteboard = extras,
        .dialogs = extras,
        .peerEngine = engine,
        .makeHttpTransport = [this] { return std::make_unique<ForwardingHttpTransport>(http); },
    };
    console = std::make_unique<AdminConsole>(platform, [this] { return selfDevice; },
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

  // Lists one online computer, presses "Request access" and lets the service accept.
  void startSession() {
    loadDevices(Json::array({device("mac-1")}));
    view.requestAccess(0);
    request = http.at(*http.find("/api/admin/request")).json();
    http.respondTo("/api/admin/request", 200, "{}");
    macCipher.emplace(*SessionCipher::create(deviceKey, request["browserKey"].get<std::string>(),
                                             request["salt"].get<std::string>(), request["id"].get<std::string>()));
    connection = engine.last();
  }
  // The computer's input channel opens.
  void openChannel() {
    channel = std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen);
    connection->emitDataChannel(channel);
    loop.runUntilIdle();
  }
  static Json state(Json canControl, Json streaming = true, Json version = 4) {
    return Json{{"kind", "state"}, {"canControl", canControl}, {"streaming", streaming}, {"controlVersion", version}};
  }
  // A session whose input channel is open and in which the computer allows control.
  void startControlledSession(int64_t version = 4) {
    startSession();
    openChannel();
    macSends(state(true, true, version));
  }
  void macSends(const Json& message) {
    channel->deliver(*macCipher->encrypt(dumpJson(message)));
    loop.runUntilIdle();
  }

  // What the console sent on the data channel, opened with the computer's cipher.
  std::vector<Json> sentMessages() const {
    std::vector<Json> out;
    for (const Bytes& envelope : channel->sent()) out.push_back(Json::parse(toString(*macCipher->decrypt(envelope))));
    return out;
  }
  // A signal from the computer as the service relays it.
  Json signal(const Json& message) const { return Json{{"payload", *sealToBase64(*macCipher, dumpJson(message))}}; }
  Json offer(const std::string& id) const {
    return signal(Json{{"type", "offer"}, {"sdp", "v=0\r\ns=mac-offer\r\n"}, {"messageId", id}});
  }
  // The signals the console posted in the pending request at `index`.
  std::vector<Json> posted(size_t index) const {
    std::vector<Json> out;
    for (const auto& payload : http.at(index).json()["payloads"].get<std::vector<std::string>>()) {
      out.push_back(Json::parse(*openFromBase64(*macCipher, payload)));
    }
    return out;
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
  FakeWindow view;
  FakeWebSignIn webSignIn;
  FakeKeychain keychain;
  FakeConsoleExtras extras;
  std::string selfDevice;
  P256PrivateKey deviceKey = P256PrivateKey::generate();
  std::unique_ptr<AdminConsole> console;

  Json request;
  std::optional<SessionCipher> macCipher;
  std::shared_ptr<FakePeerConnection> connection;
  std::shared_ptr<FakeDataChannel> channel;
};

}  // namespace kx::testing
