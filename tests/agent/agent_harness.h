// A RemoteClient wired to fakes and virtual time, with the technician's and
// the service's side played by the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "agent/remote_client.h"
#include "media/realtime_peer.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "protocol/platform_texts.h"
#include "protocol/session_cipher.h"
#include "runtime/atomic_file.h"
#include "runtime/basic_loop.h"
#include "support/fake_agent_platform.h"
#include "support/fake_http_transport.h"
#include "support/fake_peer_engine.h"
#include "support/scratch.h"

namespace kx::testing {

inline constexpr char kServiceAddress[] = "https://support.kx.test";
inline constexpr char kServiceHost[] = "support.kx.test";
inline constexpr char kRetiredSuffix[] = "legacy.kx.test";

// The console's half of a session: its key pair, salt and id.
struct Technician {
  P256PrivateKey key = P256PrivateKey::generate();
  std::string salt = base64Encode(randomBytes(16));
  std::string id = newUuid();
  std::string name = "Alex";
};

class AgentHarness {
 public:
  AgentHarness() {
    folder = temp / "data/Kestrelix Remote Test";
    process.processId = 4242;
    process.bundleIdentifier = "com.kestrelix.remote.lantest";
    process.bundlePath = "/opt/kestrelix";
    process.executablePath = "/opt/kestrelix/bin/kestrelix-remote";
    process.launchTime = 1.7e9;
    process.architecture = "x86_64";
    process.onDiskVersion = "0.5.0";
    access.grant();
    preferences.shownVersion = "0.5.0";
  }
  ~AgentHarness() { client.reset(); }

  AgentPlatform platform() {
    return AgentPlatform{
        .loop = loop,
        .clock = loop,
        .menu = menu,
        .dialogs = dialogs,
        .makeSetupWindow = setup.factory(),
        .makeServiceTransport =
            [this](const PinnedConnection& connection) {
              transportHosts.push_back(connection.host());
              return std::make_unique<ForwardingHttpTransport>(http);
            },
        .peerEngine = engine,
        .screenCapture = capture,
        .picker = picker,
        .injector = injector,
        .inputAccess = access,
        .background = background,
        .loginItem = login,
        .relauncher = relauncher,
        .singleInstance = instances,
        .preferences = preferences,
        .application = application,
        .workspace = workspace,
        .showTechnicianConsole =
            [this](std::function<std::string()> device) {
              ++technicianShown;
              technicianDevice = std::move(device);
            },
        .hostName = hostName,
        .settingsFolder = folder,
        .createSettingsFolder = createFolder,
        .process = process,
        .service = ServiceEndpoint{kServiceAddress, kServiceHost, kRetiredSuffix},
    };
  }

  RemoteClient& make() {
    client = std::make_unique<RemoteClient>(platform());
    return *client;
  }

  std::string settingsPath() const { return folder + "/enrollment.json"; }
  std::string statusPath() const { return folder + "/client-status.json"; }

  static Json enrollmentFile(std::string token = "ENROLL-TOKEN") {
    return Json{{"url", kServiceAddress}, {"token", std::move(token)}, {"sitesAccess", "all"}};
  }
  void writeSettings(const Json& record) {
    ASSERT_TRUE(createPrivateFolder(folder));
    ASSERT_TRUE(writeFileAtomically(settingsPath(), dumpJson(record)));
  }
  Json storedSettings() const {
    auto text = readFile(settingsPath());
    if (!text) return Json();
    return parseJson(*text).value_or(Json());
  }
  Json statusFile() const {
    auto text = readFile(statusPath());
    if (!text) return Json();
    return parseJson(*text).value_or(Json());
  }

  bool pending(std::string_view prefix) const { return http.find(prefix).has_value(); }
  // Answers the oldest pending request under `prefix` and returns it.
  RecordedHttpRequest respond(std::string_view prefix, const Json& body, int status = 200) {
    const auto index = http.find(prefix);
    if (!index) {
      ADD_FAILURE() << "no pending request for " << prefix;
      return {};
    }
    RecordedHttpRequest request = http.at(*index);
    http.respondJson(status, body, *index);
    loop.runUntilIdle();
    return request;
  }
  // Steps the timers in 0.5-second ticks until a request under `prefix` waits.
  bool advanceUntilPending(std::string_view prefix, double maxSeconds = 10) {
    for (double waited = 0; waited <= maxSeconds; waited += 0.5) {
      if (pending(prefix)) return true;
      loop.advance(0.5);
    }
    return pending(prefix);
  }

  // Steps until a poll request waits, answering signal posts on the way.
  bool advanceUntilPoll(double maxSeconds = 10) {
    for (double waited = 0; waited <= maxSeconds; waited += 0.5) {
      while (pending("/api/device/DEV-1/signal")) respond("/api/device/DEV-1/signal", Json::object());
      if (pending("/api/device/DEV-1/poll")) return true;
      loop.advance(0.5);
    }
    return pending("/api/device/DEV-1/poll");
  }

  // Launches with a stored enrollment and answers the registration.
  void startRegistered(const std::string& device = "DEV-1", const std::string& key = "KEY-1") {
    writeSettings(enrollmentFile());
    make().start();
    loop.runUntilIdle();
    respond("/api/enroll", Json{{"id", device}, {"key", key}});
  }

  std::string devicePublicKey() const {
    const auto raw = base64Decode(client->settings()->capturePrivateKey.value());
    return base64Encode(P256PrivateKey::fromRaw(*raw)->publicKeyX963());
  }
  SessionCipher technicianCipher() const {
    return SessionCipher::create(technician.key, devicePublicKey(), technician.salt, technician.id).value();
  }
  Json pendingSession() const {
    return Json{{"id", technician.id},
                {"state", "pending"},
                {"technician", technician.name},
                {"browserKey", base64Encode(technician.key.publicKeyX963())},
                {"salt", technician.salt}};
  }
  Json approvedSession(Json signals = Json::array()) const {
    return Json{{"id", technician.id}, {"state", "approved"}, {"signals", std::move(signals)}};
  }

  // Poll → pending request → the person approves → decision answered.
  void approve(std::optional<double> expiresIn = 600) {
    ASSERT_TRUE(advanceUntilPoll());
    respond("/api/device/DEV-1/poll", Json{{"session", pendingSession()}});
    ASSERT_EQ(dialogs.consent.size(), 1u);
    dialogs.answerConsent(ConsentDecision::kApprove);
    loop.runUntilIdle();
    Json decision = Json::object();
    if (expiresIn) decision["expires"] = loop.wallTime() + *expiresIn;
    respond("/api/device/DEV-1/decision", decision);
  }

  static Display display(Rect bounds = Rect{0, 0, 1440, 900}) { return Display{"DP-1", "Display 1", bounds, true}; }
  void pick(Rect bounds = Rect{0, 0, 1440, 900}) {
    picker.observer.didUpdate(ContentFilter{{display(bounds)}});
    loop.runUntilIdle();
  }
  // Approved, display picked, peer connected with its data channel open.
  void startStreaming(Rect bounds = Rect{0, 0, 1440, 900}) {
    approve();
    pick(bounds);
    auto connection = engine.last();
    ASSERT_TRUE(connection);
    connection->emitIceState(IceConnectionState::kConnected);
    connection->dataChannel()->setState(DataChannelState::kOpen);
    loop.runUntilIdle();
    ASSERT_TRUE(client->lifecycle().mayControl());
  }

  Bytes seal(const Json& message) const { return technicianCipher().encrypt(dumpJson(message)).value(); }
  std::string sealText(const Json& message) const {
    return sealToBase64(technicianCipher(), dumpJson(message)).value();
  }
  // A control message from the technician over the data channel.
  void control(const Json& message) {
    engine.last()->dataChannel()->deliver(seal(message));
    loop.runUntilIdle();
  }
  // Everything the agent sent on the data channel, opened.
  std::vector<Json> channelMessages() const {
    std::vector<Json> out;
    for (const Bytes& bytes : engine.last()->dataChannel()->sent()) {
      auto plain = technicianCipher().decrypt(bytes);
      out.push_back(plain ? parseJson(toString(*plain)).value_or(Json()) : Json());
    }
    return out;
  }

  VirtualLoop loop;
  FakeStatusMenu menu;
  FakeAgentDialogs dialogs;
  FakeSetupWindowFactory setup;
  FakeHttpTransport http{&loop};
  FakePeerEngine engine;
  FakeScreenCapture capture;
  FakeDisplayPicker picker;
  FakeInputInjector injector;
  FakeInputAccess access;
  FakeBackgroundQueue background{loop};
  FakeLoginItem login;
  FakeRelauncher relauncher;
  FakeSingleInstance instances;
  FakePreferences preferences;
  FakeApplication application;
  FakeWorkspace workspace;
  int technicianShown = 0;
  std::function<std::string()> technicianDevice;
  std::vector<std::string> transportHosts;
  TempDir temp{"kx-agent-test"};
  std::string folder;
  std::string hostName = "Test Host";
  std::function<Status(const std::string&)> createFolder = createPrivateFolder;
  ProcessInfo process;
  Technician technician;
  std::unique_ptr<RemoteClient> client;
};

}  // namespace kx::testing
