// A RemoteClient wired to fakes and virtual time, with the technician's and
// the service's side played by the test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "agent/remote_client.h"
#include "media/realtime_peer.h"
#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/atomic_file.h"
#include "runtime/basic_loop.h"
#include "support/fake_agent_platform.h"
#include "support/fake_http_transport.h"
#include "support/scratch.h"

namespace kx::testing {

inline const std::string kPoll = "/api/device/DEV-1/poll", kSignal = "/api/device/DEV-1/signal",
                         kDecision = "/api/device/DEV-1/decision", kEnd = "/api/device/DEV-1/end",
                         kEnroll = "/api/enroll";

// The console's half of a session: its key pair, salt and id.
struct Technician {
  P256PrivateKey key = P256PrivateKey::generate();
  std::string salt = base64Encode(randomBytes(16));
  std::string id = newUuid();
};

// The loop is made before the fakes that post to it.
struct VirtualTime {
  VirtualLoop loop;
};

// How far a harness takes the agent before the test begins.
enum class Stage { kNone, kRegistered, kApproved, kStreaming };

class AgentHarness : public VirtualTime, public AgentFakes {
 public:
  explicit AgentHarness(Stage stage = Stage::kNone) : AgentFakes(loop) {
    process.processId = 4242;
    process.executablePath = "/opt/kestrelix/bin/kestrelix-remote";
    process.onDiskVersion = "0.5.0";
    if (stage != Stage::kNone) startRegistered();
    if (stage == Stage::kApproved) approve();
    if (stage == Stage::kStreaming) startStreaming();
  }

  RemoteClient& make() {
    auto transport = [this](const PinnedConnection&) { return std::make_unique<ForwardingHttpTransport>(http); };
    AgentPlatform p = platform(loop, loop, transport, {"https://support.kx.test", "support.kx.test", "legacy.kx.test"}, folder);
    p.createSettingsFolder = createFolder;
    client = std::make_unique<RemoteClient>(std::move(p));
    return *client;
  }

  static Json enrollmentFile(std::string token = "ENROLL-TOKEN") {
    return Json{{"url", "https://support.kx.test"}, {"token", std::move(token)}, {"sitesAccess", "all"}};
  }
  // Writes `content` to `path` (by default the stored enrollment) and returns the path.
  std::string writeJson(const Json& content, std::string path = "") {
    if (path.empty()) path = settingsPath;
    EXPECT_TRUE(createPrivateFolder(folder) && writeFileAtomically(path, dumpJson(content)));
    return path;
  }
  static Json readJson(const std::string& path) {
    const auto text = readFile(path);
    return text ? parseJson(*text).value_or(Json()) : Json();
  }

  bool pending(std::string_view prefix) const { return http.find(prefix).has_value(); }
  const RecordedHttpRequest& pendingRequest(std::string_view prefix) const { return http.at(http.find(prefix).value()); }
  size_t sentTo(std::string_view path) const {
    return std::ranges::count_if(http.sent(), [&](const RecordedHttpRequest& r) { return r.path() == path; });
  }
  // Answers the oldest pending request under `prefix` and returns it.
  RecordedHttpRequest respond(std::string_view prefix, const Json& body = Json::object(), int status = 200) {
    RecordedHttpRequest request = pendingRequest(prefix);
    http.respondJson(status, body, *http.find(prefix));
    loop.runUntilIdle();
    return request;
  }
  // Steps the timers in 0.5-second ticks until a request under `prefix` waits,
  // answering signal posts on the way unless they are what is awaited.
  bool advanceUntilPending(std::string_view prefix, double maxSeconds = 10) {
    for (double waited = 0; waited <= maxSeconds; waited += 0.5) {
      while (prefix != kSignal && pending(kSignal)) respond(kSignal);
      if (pending(prefix)) return true;
      loop.advance(0.5);
    }
    return false;
  }
  // The next poll, answered with `reply`.
  void poll(const Json& reply = Json::object(), int status = 200) {
    ASSERT_TRUE(advanceUntilPending(kPoll));
    respond(kPoll, reply, status);
  }

  // Launches with a stored enrollment and answers the registration.
  void startRegistered() {
    writeJson(enrollmentFile());
    make().start();
    loop.runUntilIdle();
    respond(kEnroll, Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  }

  SessionCipher technicianCipher() const {
    const auto device = P256PrivateKey::fromRaw(*base64Decode(client->settings()->capturePrivateKey.value()));
    return SessionCipher::create(technician.key, base64Encode(device->publicKeyX963()), technician.salt, technician.id)
        .value();
  }
  Json pendingSession() const {
    return Json{{"id", technician.id}, {"state", "pending"}, {"technician", "Alex"},
                {"browserKey", base64Encode(technician.key.publicKeyX963())}, {"salt", technician.salt}};
  }
  Json approvedSession(Json signals = Json::array()) const {
    return Json{{"id", technician.id}, {"state", "approved"}, {"signals", std::move(signals)}};
  }

  // Poll → request on screen → the person answers → decision answered with `reply`.
  void decide(ConsentDecision decision, const Json& session, const Json& reply, int status = 200) {
    poll(Json{{"session", session}});
    dialogs.answerConsent(decision);
    loop.runUntilIdle();
    respond(kDecision, reply, status);
  }
  void approve(std::optional<double> expiresIn = 600) {
    Json reply = Json::object();
    if (expiresIn) reply["expires"] = loop.wallTime() + *expiresIn;
    decide(ConsentDecision::kApprove, pendingSession(), reply);
  }

  void pick(Rect bounds = Rect{0, 0, 1440, 900}) {
    picker.observer.didUpdate(ContentFilter{{Display{"DP-1", "Display 1", bounds, true}}});
    loop.runUntilIdle();
  }
  // Approved, display picked, peer connected with its data channel open.
  void startStreaming() {
    approve();
    pick();
    engine.last()->emitIceState(IceConnectionState::kConnected);
    engine.last()->dataChannel()->setState(DataChannelState::kOpen);
    loop.runUntilIdle();
    ASSERT_TRUE(client->lifecycle().mayControl());
  }

  Bytes seal(const Json& message) const { return technicianCipher().encrypt(dumpJson(message)).value(); }
  std::string sealText(const Json& message) const { return sealToBase64(technicianCipher(), dumpJson(message)).value(); }
  // The next poll relays these messages from the technician.
  void deliverSignals(const std::vector<Json>& messages) {
    const SessionCipher cipher = technicianCipher();
    Json signals = Json::array();
    for (const Json& m : messages) signals.push_back(Json{{"payload", sealToBase64(cipher, dumpJson(m)).value()}});
    poll(Json{{"session", approvedSession(signals)}});
  }
  // A control message from the technician over the data channel.
  void control(const Json& message) {
    engine.last()->dataChannel()->deliver(seal(message));
    loop.runUntilIdle();
  }
  // The last message the agent sent on the data channel, opened.
  Json lastChannelMessage() const {
    auto plain = technicianCipher().decrypt(engine.last()->dataChannel()->sent().back());
    return parseJson(toString(plain.value())).value_or(Json());
  }

  FakeHttpTransport http;
  TempDir temp{"kx-agent-test"};
  std::string folder = temp / "data/Kestrelix Remote Test";
  std::string settingsPath = folder + "/enrollment.json", statusPath = folder + "/client-status.json";
  std::function<Status(const std::string&)> createFolder = createPrivateFolder;
  Technician technician;
  std::unique_ptr<RemoteClient> client;
};

}  // namespace kx::testing
