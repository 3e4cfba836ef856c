// The client agent's desktop faked around a loop of the test's choice, and
// AgentHarness: a RemoteClient on those fakes in virtual time, with the
// technician's and the service's side played by the test. The fakes record
// what the agent asked for; consent, the open panel and deferred capture
// answers wait until the test gives them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "agent/remote_client.h"  // with the platform, the cipher and the codings
#include "media/realtime_peer.h"
#include "runtime/atomic_file.h"
#include "runtime/basic_loop.h"
#include "support/fake_http_transport.h"
#include "support/fake_peer_engine.h"
#include "support/scratch.h"

namespace kx::testing {

struct FakeStatusMenu final : StatusMenu {
  void setTitle(const std::string& t) override { title = t; }
  void setStatusLine(const std::string& text) override { line = text; }
  void setSharing(const std::optional<std::string>& technician) override { sharing = technician; }
  std::string title, line;
  std::optional<std::string> sharing;
};

struct FakeAgentDialogs final : AgentDialogs {
  void askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) override {
    prompts.push_back(prompt);
    consent = std::move(done);
  }
  void showAlert(const std::string&, const std::string&, std::function<void()>) override { ++alerts; }
  void chooseEnrollmentFile(const std::string&, std::function<void(std::optional<std::string>)> done) override {
    panels.push_back(std::move(done));
  }
  void answerConsent(ConsentDecision decision) { std::exchange(consent, nullptr)(decision); }

  std::vector<ConsentPrompt> prompts;
  std::function<void(ConsentDecision)> consent;  // the open prompt's answer
  int alerts = 0;
  std::vector<std::function<void(std::optional<std::string>)>> panels;
};

struct FakeSetupWindow final : SetupWindowView {
  void update(bool, const std::string&, const std::string&, bool restart) override { restartRequired = restart; }
  void show() override {}
  bool restartRequired = false;
};

struct FakeScreenCapture final : ScreenCapture {
  struct Stream {
    std::function<void(Error)> onStop;
    Status startResult;
    bool deferStart = false, deferStop = false;  // keep the answer in `pending` instead
    std::function<void(Status)> pending;
    int stops = 0;
    bool destroyed = false;
  };
  struct Handle final : CaptureStream {
    explicit Handle(std::shared_ptr<Stream> s) : s(std::move(s)) {}
    ~Handle() override { s->destroyed = true; }
    Status addOutput(CaptureOutput*) override { return {}; }
    void start(std::function<void(Status)> done) override { s->deferStart ? void(s->pending = done) : done(s->startResult); }
    void stop(std::function<void(Status)> done) override {
      ++s->stops;
      s->deferStop ? void(s->pending = done) : done(Status{});
    }
    std::shared_ptr<Stream> s;
  };
  std::vector<Display> displays() override { return {}; }
  std::unique_ptr<CaptureStream> createStream(const ContentFilter&, const CaptureConfiguration&,
                                              std::function<void(Error)> onStop) override {
    streams.push_back(std::make_shared<Stream>(next));
    streams.back()->onStop = std::move(onStop);
    return std::make_unique<Handle>(streams.back());
  }
  std::shared_ptr<Stream> last() const { return streams.back(); }

  Stream next;  // template for the next stream
  std::vector<std::shared_ptr<Stream>> streams;
};

struct FakeDisplayPicker final : DisplayPicker {
  void setObserver(Observer o) override { observer = std::move(o); }
  void setActive(bool a) override { active = a; }
  void present() override { ++presented; }
  Observer observer;
  bool active = false;
  int presented = 0;
};

struct FakeInputInjector final : InputInjector {
  using Mouse = std::pair<MouseEventType, Point>;
  bool postMouse(MouseEventType type, Point point, MouseButton, int) override {
    mouse.emplace_back(type, point);
    return true;
  }
  bool postKey(const KeyEvent&) override { return true; }
  bool postScroll(int32_t, int32_t) override { return true; }
  std::vector<Mouse> mouse;
};

struct FakeInputAccess final : InputAccess {
  using Authorization = InputAccessSnapshot::Authorization;
  InputAccessSnapshot read() override { return snapshot; }
  void request() override { ++requests; }
  void set(bool granted) { snapshot = {granted ? Authorization::granted : Authorization::denied, granted, granted}; }
  InputAccessSnapshot snapshot{Authorization::granted, true, true};
  int requests = 0;
};

// Runs the work at once and posts the completion to the loop, as a worker thread would.
struct FakeBackgroundQueue final : BackgroundQueue {
  explicit FakeBackgroundQueue(EventLoop& loop) : loop(loop) {}
  void run(std::function<void()> work, std::function<void()> done) override {
    work();
    loop.post(std::move(done));
  }
  EventLoop& loop;
};

// Login item, relauncher, other copies, preferences, the application and the workspace.
struct FakeDesktop final : LoginItem, Relauncher, SingleInstance, Preferences, ApplicationControl, Workspace {
  Status enable() override { return {}; }
  Status launch(const ChildProcess& process) override {
    launched.push_back(process);
    return {};
  }
  std::vector<std::string> otherInstances(const std::string&) override { return others; }
  std::optional<std::string> setupShownVersion() override { return shownVersion; }
  void setSetupShownVersion(const std::string& version) override { shownVersion = version; }
  void terminate() override { ++terminations; }
  void activate() override {}
  void openUrl(const std::string&) override {}

  int terminations = 0;
  std::vector<ChildProcess> launched;
  std::vector<std::string> others;
  std::optional<std::string> shownVersion = "0.5.0";
};

// Every fake around the test's loop, and the platform made of them.
template <class Loop>
struct AgentDesk {
  AgentPlatform platform(ServiceTransportFactory transport, ServiceEndpoint service, std::string folder) {
    auto makeSetupWindow = [this](SetupWindowActions a) {
      setupActions = std::move(a);
      auto made = std::make_unique<FakeSetupWindow>();
      setup = made.get();
      return made;
    };
    return AgentPlatform{.loop = loop, .clock = loop, .menu = menu, .dialogs = dialogs,
                         .makeSetupWindow = makeSetupWindow, .makeServiceTransport = std::move(transport),
                         .peerEngine = engine, .screenCapture = capture, .picker = picker, .injector = injector,
                         .inputAccess = access, .background = background, .loginItem = desktop,
                         .relauncher = desktop, .singleInstance = desktop, .preferences = desktop,
                         .application = desktop, .workspace = desktop, .showTechnicianConsole = {},
                         .hostName = hostName, .settingsFolder = std::move(folder), .process = process,
                         .service = std::move(service)};
  }

  Loop loop;  // first: the fakes post to it
  FakeStatusMenu menu;
  FakeAgentDialogs dialogs;
  FakeSetupWindow* setup = nullptr;  // owned by the agent, made on first use
  SetupWindowActions setupActions;
  FakePeerEngine engine;
  FakeScreenCapture capture;
  FakeDisplayPicker picker;
  FakeInputInjector injector;
  FakeInputAccess access;
  FakeBackgroundQueue background{loop};
  FakeDesktop desktop;
  std::string hostName = "Test Host";
  ProcessInfo process = [] {
    ProcessInfo p;
    p.processId = 4242;
    p.executablePath = "/opt/kx/kestrelix-remote";
    return p;
  }();
};

inline const std::string kPoll = "/api/device/DEV-1/poll", kSignal = "/api/device/DEV-1/signal",
                         kDecision = "/api/device/DEV-1/decision", kEnd = "/api/device/DEV-1/end",
                         kEnroll = "/api/enroll";

// The console's half of a session: its key pair, salt and id.
struct Technician {
  P256PrivateKey key = P256PrivateKey::generate();
  std::string salt = base64Encode(randomBytes(16));
  std::string id = newUuid();
};

// How far a harness takes the agent before the test begins.
enum class Stage { kNone, kRegistered, kApproved, kStreaming };

class AgentHarness : public AgentDesk<VirtualLoop> {
 public:
  explicit AgentHarness(Stage stage = Stage::kNone) {
    if (stage != Stage::kNone) startRegistered();
    if (stage == Stage::kApproved) approve();
    if (stage == Stage::kStreaming) startStreaming();
  }

  RemoteClient& make() {
    auto transport = [this](const PinnedConnection&) { return std::make_unique<ForwardingHttpTransport>(http); };
    AgentPlatform p = platform(transport, {"https://support.kx.test", "support.kx.test", "legacy.kx.test"}, folder);
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
  void approve(double expiresIn = 600) {
    decide(ConsentDecision::kApprove, pendingSession(), Json{{"expires", loop.wallTime() + expiresIn}});
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
