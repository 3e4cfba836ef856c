// Fakes of every desktop piece the client agent uses (agent/agent_platform.h),
// and the platform made of them. Each records what the agent asked for;
// asynchronous answers (consent, open panel, capture start and stop) wait
// until the test gives them, unless told to answer at once.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent_platform.h"
#include "media/capture.h"
#include "media/input_access.h"
#include "media/input_injector.h"
#include "support/fake_peer_engine.h"

namespace kx {

class FakeStatusMenu final : public StatusMenu {
 public:
  void setTitle(const std::string& t) override { title = t; }
  void setStatusLine(const std::string& text) override { line = text; }
  void setSharing(const std::optional<std::string>& technician) override { sharing = technician; }
  std::string title, line;
  std::optional<std::string> sharing;
};

class FakeAgentDialogs final : public AgentDialogs {
 public:
  struct Alert {
    std::string message, informativeText;
    std::function<void()> dismissed;
  };
  void askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) override {
    prompts.push_back(prompt);
    consent.push_back(std::move(done));
  }
  void showAlert(const std::string& message, const std::string& text, std::function<void()> dismissed) override {
    alerts.push_back(Alert{message, text, std::move(dismissed)});
  }
  void chooseEnrollmentFile(const std::string&, std::function<void(std::optional<std::string>)> done) override {
    panels.push_back(std::move(done));
  }
  // Answer the oldest open consent prompt or open panel (throws when none is open).
  void answerConsent(ConsentDecision decision) { oldest(consent)(decision); }
  void choose(std::optional<std::string> path) { oldest(panels)(std::move(path)); }

  std::vector<ConsentPrompt> prompts;
  std::deque<std::function<void(ConsentDecision)>> consent;
  std::vector<Alert> alerts;
  std::deque<std::function<void(std::optional<std::string>)>> panels;

 private:
  template <class Answer>
  static Answer oldest(std::deque<Answer>& queue) {
    Answer answer = std::move(queue.at(0));
    queue.pop_front();
    return answer;
  }
};

// Makes the setup window and keeps its actions for the test to press.
struct FakeSetupWindow final : SetupWindowView {
  void update(bool, const std::string& p, const std::string& e, bool restart) override {
    permission = p;
    error = e;
    restartRequired = restart;
  }
  void show() override {}
  std::string permission, error;
  bool restartRequired = false;
};

class FakeScreenCapture final : public ScreenCapture {
 public:
  struct Stream {
    std::vector<CaptureOutput*> outputs;
    std::function<void(Error)> onStop;
    Status startResult;
    bool deferStart = false, deferStop = false;  // keep the answer in `pending` instead
    std::function<void(Status)> pending;
    int stops = 0;
    bool destroyed = false;
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

 private:
  struct Handle final : CaptureStream {
    explicit Handle(std::shared_ptr<Stream> s) : s(std::move(s)) {}
    ~Handle() override { s->destroyed = true; }
    Status addOutput(CaptureOutput* output) override {
      s->outputs.push_back(output);
      return {};
    }
    void start(std::function<void(Status)> done) override { s->deferStart ? void(s->pending = done) : done(s->startResult); }
    void stop(std::function<void(Status)> done) override {
      ++s->stops;
      s->deferStop ? void(s->pending = done) : done(Status{});
    }
    std::shared_ptr<Stream> s;
  };
};

class FakeDisplayPicker final : public DisplayPicker {
 public:
  void setObserver(Observer o) override { observer = std::move(o); }
  void setActive(bool a) override { active = a; }
  void present() override { ++presented; }
  Observer observer;
  bool active = false;
  int presented = 0;
};

class FakeInputInjector final : public InputInjector {
 public:
  struct Mouse {
    MouseEventType type;
    Point point;
    bool operator==(const Mouse&) const = default;
  };
  bool postMouse(MouseEventType type, Point point, MouseButton, int) override {
    mouse.push_back(Mouse{type, point});
    return true;
  }
  bool postKey(const KeyEvent& event) override {
    keys.push_back(event);
    return true;
  }
  bool postScroll(int32_t, int32_t) override { return true; }
  std::vector<Mouse> mouse;
  std::vector<KeyEvent> keys;
};

class FakeInputAccess final : public InputAccess {
 public:
  using Authorization = InputAccessSnapshot::Authorization;
  InputAccessSnapshot read() override {
    ++reads;
    return snapshot;
  }
  void request() override { ++requests; }
  void set(bool granted) { snapshot = {granted ? Authorization::granted : Authorization::denied, granted, granted}; }
  InputAccessSnapshot snapshot{Authorization::granted, true, true};
  int reads = 0, requests = 0;
};

// Runs the work at once, or when the test says so, and posts the completion
// to the loop as a worker thread would.
class FakeBackgroundQueue final : public BackgroundQueue {
 public:
  explicit FakeBackgroundQueue(EventLoop& loop) : loop_(loop) {}
  void run(std::function<void()> work, std::function<void()> done) override {
    queued.emplace_back(std::move(work), std::move(done));
    if (runAtOnce) runQueued();
  }
  void runQueued() {
    for (; !queued.empty(); queued.pop_front()) {
      queued.front().first();
      loop_.post(std::move(queued.front().second));
    }
  }
  bool runAtOnce = true;
  std::deque<std::pair<std::function<void()>, std::function<void()>>> queued;

 private:
  EventLoop& loop_;
};

// The rest of the desktop: login item, relauncher, other copies, preferences,
// the application and the workspace.
class FakeDesktop final : public LoginItem,
                          public Relauncher,
                          public SingleInstance,
                          public Preferences,
                          public ApplicationControl,
                          public Workspace {
 public:
  Status enable() override {
    ++loginCalls;
    return {};
  }
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

  int loginCalls = 0, terminations = 0;
  std::vector<ChildProcess> launched;
  std::vector<std::string> others;
  std::optional<std::string> shownVersion = "0.5.0";
};

// Every fake, and the platform made of them around the test's loop, clock and service transport.
struct AgentFakes {
  explicit AgentFakes(EventLoop& loop) : background(loop) {}

  AgentPlatform platform(EventLoop& loop, Clock& clock, ServiceTransportFactory transport, ServiceEndpoint service,
                         std::string folder) {
    auto makeSetupWindow = [this](SetupWindowActions a) {
      setupActions = std::move(a);
      auto made = std::make_unique<FakeSetupWindow>();
      setup = made.get();
      return made;
    };
    return AgentPlatform{.loop = loop, .clock = clock, .menu = menu, .dialogs = dialogs,
                         .makeSetupWindow = makeSetupWindow, .makeServiceTransport = std::move(transport),
                         .peerEngine = engine, .screenCapture = capture, .picker = picker, .injector = injector,
                         .inputAccess = access, .background = background, .loginItem = desktop,
                         .relauncher = desktop, .singleInstance = desktop, .preferences = desktop,
                         .application = desktop, .workspace = desktop,
                         .showTechnicianConsole = [this](std::function<std::string()> device) { technicianDevice = std::move(device); },
                         .hostName = hostName, .settingsFolder = std::move(folder), .process = process,
                         .service = std::move(service)};
  }

  FakeStatusMenu menu;
  FakeAgentDialogs dialogs;
  FakeSetupWindow* setup = nullptr;  // owned by the agent, made on first use
  SetupWindowActions setupActions;
  FakePeerEngine engine;
  FakeScreenCapture capture;
  FakeDisplayPicker picker;
  FakeInputInjector injector;
  FakeInputAccess access;
  FakeBackgroundQueue background;
  FakeDesktop desktop;
  std::function<std::string()> technicianDevice;
  std::string hostName = "Test Host";
  ProcessInfo process;
};

}  // namespace kx
