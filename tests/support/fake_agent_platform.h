// Fakes of every desktop piece the client agent uses (agent/agent_platform.h).
// Each records what the agent asked for; asynchronous answers (consent,
// open panel, capture start) wait until the test gives them, unless told to
// answer at once.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent_platform.h"
#include "media/capture.h"
#include "media/input_access.h"
#include "media/input_injector.h"

namespace kx {

class FakeStatusMenu final : public StatusMenu {
 public:
  void setTitle(const std::string& title) override { titles.push_back(title); }
  void setStatusLine(const std::string& text) override { lines.push_back(text); }
  void setSharing(const std::optional<std::string>& technician) override { sharing = technician; }

  std::string title() const { return titles.empty() ? std::string() : titles.back(); }
  std::string line() const { return lines.empty() ? std::string() : lines.back(); }

  std::vector<std::string> titles;
  std::vector<std::string> lines;
  std::optional<std::string> sharing;
};

class FakeAgentDialogs final : public AgentDialogs {
 public:
  struct Alert {
    std::string message;
    std::string informativeText;
    std::function<void()> dismissed;
  };

  void askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) override {
    prompts.push_back(prompt);
    consent.push_back(std::move(done));
  }
  void showAlert(const std::string& message, const std::string& informativeText,
                 std::function<void()> dismissed) override {
    alerts.push_back(Alert{message, informativeText, std::move(dismissed)});
  }
  void chooseEnrollmentFile(const std::string& title, std::function<void(std::optional<std::string>)> done) override {
    panelTitles.push_back(title);
    panels.push_back(std::move(done));
  }

  // The person's answer to the oldest open consent alert.
  void answerConsent(ConsentDecision decision) {
    if (consent.empty()) throw std::logic_error("no consent alert is open");
    auto done = std::move(consent.front());
    consent.pop_front();
    done(decision);
  }
  void choose(std::optional<std::string> path) {
    if (panels.empty()) throw std::logic_error("no open panel");
    auto done = std::move(panels.front());
    panels.pop_front();
    done(std::move(path));
  }
  void dismissAlert(size_t index) {
    if (alerts.at(index).dismissed) alerts.at(index).dismissed();
  }

  std::vector<ConsentPrompt> prompts;
  std::deque<std::function<void(ConsentDecision)>> consent;
  std::vector<Alert> alerts;
  std::vector<std::string> panelTitles;
  std::deque<std::function<void(std::optional<std::string>)>> panels;
};

class FakeSetupWindow final : public SetupWindowView {
 public:
  struct Update {
    bool enrolled;
    std::string permission;
    std::string error;
    bool restartRequired;
  };
  void update(bool enrolled, const std::string& permission, const std::string& error, bool restartRequired) override {
    updates.push_back(Update{enrolled, permission, error, restartRequired});
  }
  void show() override { ++shows; }

  std::vector<Update> updates;
  int shows = 0;
};

// Makes one FakeSetupWindow and keeps its actions for the test to press.
class FakeSetupWindowFactory {
 public:
  SetupWindowFactory factory() {
    return [this](SetupWindowActions actions) {
      ++made;
      this->actions = std::move(actions);
      auto window = std::make_unique<FakeSetupWindow>();
      this->window = window.get();
      return window;
    };
  }
  int made = 0;
  FakeSetupWindow* window = nullptr;  // owned by the agent
  SetupWindowActions actions;
};

class FakeCaptureStream final : public CaptureStream {
 public:
  struct State {
    std::vector<CaptureOutput*> outputs;
    Status addResult;
    // Start answers at once with this, unless deferStart is set.
    Status startResult;
    bool deferStart = false;
    std::function<void(Status)> pendingStart;
    int starts = 0;
    int stops = 0;
    std::function<void(Status)> pendingStop;  // stop answers wait when deferStop is set
    bool deferStop = false;
    bool destroyed = false;
    ContentFilter filter;
    CaptureConfiguration configuration;
    std::function<void(Error)> onStop;
  };
  explicit FakeCaptureStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~FakeCaptureStream() override { state_->destroyed = true; }

  Status addOutput(CaptureOutput* output) override {
    if (!state_->addResult) return state_->addResult;
    state_->outputs.push_back(output);
    return {};
  }
  void start(std::function<void(Status)> done) override {
    ++state_->starts;
    if (state_->deferStart) {
      state_->pendingStart = std::move(done);
    } else {
      done(state_->startResult);
    }
  }
  void stop(std::function<void(Status)> done) override {
    ++state_->stops;
    if (state_->deferStop) {
      state_->pendingStop = std::move(done);
    } else {
      done(Status{});
    }
  }

 private:
  std::shared_ptr<State> state_;
};

class FakeScreenCapture final : public ScreenCapture {
 public:
  std::vector<Display> displays() override { return screens; }
  std::unique_ptr<CaptureStream> createStream(const ContentFilter& filter, const CaptureConfiguration& configuration,
                                              std::function<void(Error)> onStop) override {
    auto state = std::make_shared<FakeCaptureStream::State>(next);
    state->filter = filter;
    state->configuration = configuration;
    state->onStop = std::move(onStop);
    streams.push_back(state);
    return std::make_unique<FakeCaptureStream>(state);
  }

  std::shared_ptr<FakeCaptureStream::State> last() const { return streams.empty() ? nullptr : streams.back(); }

  std::vector<Display> screens;
  FakeCaptureStream::State next;  // template for the next stream
  std::vector<std::shared_ptr<FakeCaptureStream::State>> streams;
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
    MouseButton button;
    int clicks;
    bool operator==(const Mouse&) const = default;
  };
  bool postMouse(MouseEventType type, Point point, MouseButton button, int clickCount) override {
    mouse.push_back(Mouse{type, point, button, clickCount});
    return true;
  }
  bool postKey(const KeyEvent& event) override {
    keys.push_back(event);
    return true;
  }
  bool postScroll(int32_t wheel1, int32_t wheel2) override {
    scrolls.emplace_back(wheel1, wheel2);
    return true;
  }
  size_t total() const { return mouse.size() + keys.size() + scrolls.size(); }

  std::vector<Mouse> mouse;
  std::vector<KeyEvent> keys;
  std::vector<std::pair<int32_t, int32_t>> scrolls;
};

class FakeInputAccess final : public InputAccess {
 public:
  InputAccessSnapshot read() override {
    ++reads;
    return snapshot;
  }
  void request() override {
    ++requests;
    if (grantOnRequest) snapshot.authorization = InputAccessSnapshot::Authorization::granted;
  }
  void grant() { snapshot = InputAccessSnapshot{InputAccessSnapshot::Authorization::granted, true, true}; }
  void deny() { snapshot = InputAccessSnapshot{InputAccessSnapshot::Authorization::denied, false, false}; }

  InputAccessSnapshot snapshot;
  bool grantOnRequest = false;
  int reads = 0;
  int requests = 0;
};

// Runs the work when the test says so (or at once with runAtOnce), and
// posts the completion to the loop as a worker thread would.
class FakeBackgroundQueue final : public BackgroundQueue {
 public:
  explicit FakeBackgroundQueue(EventLoop& loop) : loop_(loop) {}
  void run(std::function<void()> work, std::function<void()> done) override {
    if (runAtOnce) {
      work();
      loop_.post(std::move(done));
    } else {
      queued.emplace_back(std::move(work), std::move(done));
    }
  }
  void runQueued() {
    while (!queued.empty()) {
      auto [work, done] = std::move(queued.front());
      queued.pop_front();
      work();
      loop_.post(std::move(done));
    }
  }
  bool runAtOnce = true;
  std::deque<std::pair<std::function<void()>, std::function<void()>>> queued;

 private:
  EventLoop& loop_;
};

class FakeLoginItem final : public LoginItem {
 public:
  Status enable() override {
    ++calls;
    return result;
  }
  Status result;
  int calls = 0;
};

class FakeRelauncher final : public Relauncher {
 public:
  Status launch(const ChildProcess& process) override {
    launched.push_back(process);
    return result;
  }
  Status result;
  std::vector<ChildProcess> launched;
};

class FakeSingleInstance final : public SingleInstance {
 public:
  std::vector<std::string> otherInstances(const std::string& applicationId) override {
    askedFor.push_back(applicationId);
    return others;
  }
  std::vector<std::string> others;
  std::vector<std::string> askedFor;
};

class FakePreferences final : public Preferences {
 public:
  std::optional<std::string> setupShownVersion() override { return shownVersion; }
  void setSetupShownVersion(const std::string& version) override { shownVersion = version; }
  std::optional<std::string> shownVersion;
};

class FakeApplication final : public ApplicationControl {
 public:
  void terminate() override { ++terminations; }
  void activate() override { ++activations; }
  int terminations = 0;
  int activations = 0;
};

class FakeWorkspace final : public Workspace {
 public:
  void openUrl(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

}  // namespace kx
