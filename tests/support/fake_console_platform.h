// Fakes of the technician console's platform: a window that records what it
// was told and lets the test press its buttons, a web sign-in the test
// finishes by hand and an in-memory keychain. Loop thread only, like the real ones.
//
//   FakeConsolePlatform fakes;
//   AdminConsole console(fakes.platform(loop, loop, engine, http), selfDevice);
//   fakes.view.actions.signIn();
//   fakes.webSignIn.complete("kestrelixremote://admin-sign-in?code=c&state=" + fakes.webSignIn.state());
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/console_platform.h"
#include "protocol/http.h"
#include "support/fake_http_transport.h"

namespace kx {

class FakeConsoleWindowView final : public ConsoleWindowView, public VideoRenderer {
 public:
  void setActions(ConsoleActions value) override { actions = std::move(value); }
  void attachInputView(RemoteInputView*) override {}
  VideoRenderer* videoRenderer() override { return this; }
  void onFrame(std::shared_ptr<const FrameBuffer>) override {}
  void setIdentityText(const std::string& text) override { identity = text; }
  void setStatusText(const std::string& text) override { status = text; }
  void setMeasurementText(const std::string& text) override { measurement = text; }
  void setDeviceRows(std::vector<DeviceRow> value, std::function<void(size_t)> press) override {
    rows = std::move(value);
    requestAccess = std::move(press);
  }
  void setEndButtonEnabled(bool enabled) override { endEnabled = enabled; }
  void setSignInPending(bool) override {}
  void setSessionHeaderText(const std::string& text) override { sessionHeader = text; }
  void setActivityText(const std::string&) override {}
  void showWindow() override {}
  void toggleFullScreen() override {}
  void setApplicationRegular(bool) override {}

  // Presses "Request access" of row `index` as the window would.
  void pressRequestAccess(size_t index) {
    if (requestAccess) requestAccess(index);
  }

  ConsoleActions actions;
  std::string identity, status, measurement, sessionHeader;
  std::vector<DeviceRow> rows;
  std::function<void(size_t)> requestAccess;
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
    const std::string& url = urls.back();
    const size_t begin = url.find(name + '=') + name.size() + 1;
    return url.substr(begin, url.find('&', begin) - begin);
  }
  std::string state() const { return query("state"); }

  // Hands the running attempt a callback URL (or an error), as the app receives it.
  void complete(std::optional<std::string> callbackUrl, std::optional<Error> error = std::nullopt) {
    auto done = completion;  // the completion may cancel
    if (done) done(std::move(callbackUrl), std::move(error));
  }
  bool running() const { return completion != nullptr; }

  std::vector<std::string> urls;
  Completion completion;
};

// Answers from inside each call, unless `deferLoads` keeps loads waiting for finishLoads().
class FakeKeychain final : public Keychain {
 public:
  void load(const std::string& service, const std::string& account,
            std::function<void(std::optional<std::string>)> done) override {
    auto answer = [this, key = std::pair{service, account}, done = std::move(done)] {
      auto it = items.find(key);
      done(it != items.end() ? std::optional<std::string>(it->second) : std::nullopt);
    };
    deferLoads ? waitingLoads.push_back(std::move(answer)) : answer();
  }
  void save(const std::string& service, const std::string& account, const std::string& secret,
            std::function<void(Status)> done) override {
    items[{service, account}] = secret;
    done(Status{});
  }
  void remove(const std::string& service, const std::string& account, std::function<void(Status)> done) override {
    ++removes;
    items.erase({service, account});
    done(Status{});
  }
  void finishLoads() {
    for (auto& answer : std::exchange(waitingLoads, {})) answer();
  }

  bool deferLoads = false;
  std::vector<std::function<void()>> waitingLoads;
  std::map<std::pair<std::string, std::string>, std::string> items;
  int removes = 0;
};

// The setup-code alert and its clipboard are not what these tests look at.
struct FakeConsoleExtras final : Pasteboard, ConsoleDialogs {
  void setText(const std::string&) override {}
  void showSetupCode(const std::string&, const std::string&, std::function<void(SetupCodeChoice)>) override {}
};

struct FakeConsolePlatform {
  FakeConsoleWindowView view;
  FakeWebSignIn webSignIn;
  FakeKeychain keychain;
  FakeConsoleExtras extras;

  ConsolePlatform platform(EventLoop& loop, Clock& clock, PeerEngine& engine, HttpTransport& http) {
    return ConsolePlatform{
        .loop = loop,
        .clock = clock,
        .view = view,
        .webSignIn = webSignIn,
        .keychain = keychain,
        .pasteboard = extras,
        .dialogs = extras,
        .peerEngine = engine,
        .makeHttpTransport = [&http] { return std::make_unique<ForwardingHttpTransport>(http); },
    };
  }
};

}  // namespace kx
