#include "agent/remote_client.h"

#include <cerrno>
#include <utility>

#include "agent/client_build.h"
#include "agent/runtime_identity.h"
#include "agent/user_text.h"
#include "media/control_messages.h"
#include "media/realtime_frame_sink.h"
#include "media/realtime_peer.h"
#include "runtime/atomic_file.h"

namespace kx {

RemoteClient::RemoteClient(AgentPlatform platform) : platform_(std::move(platform)) {}

RemoteClient::~RemoteClient() {
  alive_.reset();
  scope_.cancelAll();
  if (auto peer = std::move(rtc_)) peer->close();
}

void RemoteClient::setStatusLine(const std::string& text) { platform_.menu.setStatusLine(text); }

void RemoteClient::start() {
  runtimeIdentity_ = RuntimeIdentity::capture(platform_.process, ClientBuild::version);

  const std::string applicationId = platform_.process.bundleIdentifier.value_or(build::kApplicationId);
  const std::vector<std::string> others = platform_.singleInstance.otherInstances(applicationId);
  if (!others.empty()) {
    platform_.application.activate();
    platform_.dialogs.showAlert(std::string(text::kAlreadyRunning), alreadyRunningDetail(others), [weak = weak(), this] {
                                  if (weak.lock()) platform_.application.terminate();
                                });
    return;
  }

  platform_.menu.setTitle(std::string(text::kIdleTitle));
  setStatusLine(std::string(text::kStarting));

  if (Status made = platform_.createSettingsFolder(platform_.settingsFolder); !made) {
    setStatusLine(std::string(text::kCannotCreateSettings));
    return;
  }
  settingsPath_ = platform_.settingsFolder + "/enrollment.json";
  auditPath_ = platform_.settingsFolder + "/client-status.json";

  platform_.picker.setObserver(DisplayPicker::Observer{
      .didUpdate =
          [weak = weak(), this](ContentFilter filter) {
            if (weak.lock()) scope_.spawn(startSelectedCapture(std::move(filter)));
          },
      .didCancel =
          [weak = weak(), this] {
            if (!weak.lock()) return;
            const std::string session = active_;
            clear();
            if (!session.empty()) sendEnd(session);
          },
      .startDidFail =
          [weak = weak(), this](Error error) {
            if (weak.lock()) pauseCapture(localizedDescription(error));
          },
  });

  bool enrolledAtLaunch = false;
  if (auto stored = readFile(settingsPath_); stored) {
    if (configure(*stored)) {
      enrolledAtLaunch = true;
    } else {
      setStatusLine(std::string(text::kImportValidFile));
    }
  } else if (stored.error().code == ENOENT) {
    setStatusLine(std::string(text::kNotEnrolled));
  } else {
    setStatusLine(std::string(text::kImportValidFile));
  }

  permissionTimer_ = startRepeating(platform_.loop, 1.0, [this] { scope_.spawn(refreshInputAccess()); });

  // Both run once the launch has returned, registration first.
  if (enrolledAtLaunch) {
    platform_.loop.post([weak = weak(), this] {
      if (weak.lock()) scope_.spawn(registerDevice());
    });
  }
  platform_.loop.post([weak = weak(), this] {
    if (weak.lock()) scope_.spawn(firstRunSetup());
  });
}

Task<void> RemoteClient::firstRunSetup() {
  co_await refreshInputAccess();
  const auto shown = platform_.preferences.setupShownVersion();
  if (device_.empty() || !inputAccess_.canPostEvents() || !shown || *shown != ClientBuild::version) {
    showSetup();
    platform_.preferences.setSetupShownVersion(std::string(ClientBuild::version));
  }
}

void RemoteClient::quit() {
  const std::string session = active_;
  clear();
  if (session.empty()) {
    finishQuit();
    return;
  }
  // The end request must leave before the process goes; wait for it, but
  // never long.
  quitTimer_ = startOneShot(platform_.loop, 2.0, [this] { finishQuit(); });
  scope_.spawn(quitAfterEnd(session));
}

Task<void> RemoteClient::quitAfterEnd(std::string session) {
  co_await endRequest(std::move(session));
  finishQuit();
}

void RemoteClient::finishQuit() {
  if (terminating_) return;
  terminating_ = true;
  quitTimer_.cancel();
  platform_.application.terminate();
}

void RemoteClient::enableLogin() {
  if (Status enabled = platform_.loginItem.enable(); enabled) {
    setStatusLine(std::string(text::kLoginEnabled));
  } else {
    setStatusLine(std::string(text::kLoginFailedPrefix) + localizedDescription(enabled.error()));
  }
}

void RemoteClient::showTechnician() {
  if (!platform_.showTechnicianConsole) return;
  platform_.showTechnicianConsole([weak = weak(), this]() -> std::string { return weak.lock() ? device_ : ""; });
}

void RemoteClient::showSetup() {
  if (!setup_ && platform_.makeSetupWindow) {
    auto guard = [weak = weak()](auto fn) {
      return [weak, fn](auto&&... args) {
        if (weak.lock()) fn(args...);
      };
    };
    SetupWindowActions actions{
        .enroll = guard([this] { importEnrollment(); }),
        .permissions = guard([this] { inputPermission(); }),
        .login = guard([this] { enableLogin(); }),
        .restart = guard([this] { restartForPermissions(); }),
        .codeEnrollment = guard([this](const std::string& code) { enrollWithCode(code); }),
        .technician = guard([this] { showTechnician(); }),
    };
    setup_ = platform_.makeSetupWindow(std::move(actions));
  }
  updateSetup();
  if (setup_) setup_->show();
}

void RemoteClient::updateSetup() {
  if (!setup_) return;
  setup_->update(!device_.empty(), std::string(inputAccess_.authorizationText()), registrationError_,
                 permissionRestartRequired_);
}

void RemoteClient::connectionDetails() {
  std::string details = "Client build: " + std::string(ClientBuild::version);
  details += "\nMouse & keyboard access: " + std::string(inputAccess_.authorizationText());
  details += std::string("\nAccessibility API reports: ") + (inputAccess_.accessibilityTrusted ? "true" : "false");
  details += std::string("\nEvent preflight reports: ") + (inputAccess_.eventPreflight ? "true" : "false");
  details += "\n\n" + RuntimeIdentity::lines(runtimeIdentity_);
  details += "\n\n" + (registrationError_.empty() ? std::string(text::kNoRegistrationError) : registrationError_);
  platform_.application.activate();
  platform_.dialogs.showAlert(std::string(text::kConnectionDetails), details, {});
}

Json RemoteClient::statusObject() const {
  return Json{
      {"captureState", std::string(lifecycle_.phaseText())},
      {"inputPermission", inputAccess_.canPostEvents()},
      {"captureError", captureError_},
      {"registrationError", registrationError_},
      {"capturedFrames", rtc_ ? rtc_->framesSubmitted() : 0},
      {"rtcState", rtcState_},
      {"videoTransport", "webrtc"},
      {"updated", platform_.clock.wallTime()},
      {"inputAccess", std::string(inputAccess_.authorizationText())},
      {"accessibilityTrusted", inputAccess_.accessibilityTrusted},
      {"eventPreflight", inputAccess_.eventPreflight},
      {"runtimeIdentity", runtimeIdentity_},
      {"sessionTimeline", timeline_.toJson()},
  };
}

void RemoteClient::writeStatus() {
  if (auditPath_.empty()) return;
  Json status = statusObject();
  // Diagnostics only: a failed write is retried by the next call. The mode is
  // the file's own: a process-wide umask change would race other threads.
  if (!writeFileAtomically(auditPath_, dumpJson(status), 0600)) return;
  status.erase("updated");
  writtenStatus_ = std::move(status);
}

void RemoteClient::writeStatusIfChanged() {
  Json status = statusObject();
  status.erase("updated");
  if (status != writtenStatus_) writeStatus();
}

void RemoteClient::sendState() {
  if (!sessionKey_) return;
  const Json message = stateMessage(inputAccess_.canPostEvents(), lifecycle_.mayControl());
  auto sealed = sessionKey_->encrypt(dumpJson(message));
  if (!sealed || !rtc_) return;
  rtc_->send(*sealed);
}

}  // namespace kx
