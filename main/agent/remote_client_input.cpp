// Remote input on the data channel, and the input-control permission.
#include <memory>
#include <utility>

#include "agent/relaunch.h"
#include "agent/remote_client.h"
#include "agent/user_text.h"
#include "media/control_messages.h"
#include "media/realtime_peer.h"
#include "protocol/platform_texts.h"

namespace kx {

void RemoteClient::receiveInput(const Bytes& bytes, const std::string& session, int64_t epoch) {
  if (!current(session, epoch)) return;
  if (!consentLease_.isValid(platform_.clock.uptime())) return;
  if (!sessionKey_) return;
  auto plaintext = sessionKey_->decrypt(bytes);
  if (!plaintext) return;
  auto message = parseJsonObject(toString(*plaintext));
  if (!message || !fromOtherSide(SessionSide::kClient, *message)) return;

  if (auto pong = pongFor(*message)) {
    auto sealed = sessionKey_->encrypt(dumpJson(*pong));
    if (sealed && rtc_) rtc_->send(*sealed);
    return;
  }
  if (isEndMessage(*message)) {
    const std::string ended = active_;
    clear();
    if (!ended.empty()) sendEnd(ended);
    return;
  }
  // Refused input keeps its number: the technician may resend it once allowed.
  if (!lifecycle_.mayControl() || !inputAccess_.canPostEvents()) return;
  const auto seq = inputSequence(*message);
  if (!seq || *seq <= lastInputSequence_) return;
  lastInputSequence_ = *seq;
  input(*message);
}

void RemoteClient::input(const Json& message) {
  if (active_.empty() || !lifecycle_.mayControl() || !inputAccess_.canPostEvents()) return;
  const std::string* kind = jsonString(message, "kind");
  if (!kind) return;
  InputInjector& injector = platform_.injector;

  if (*kind == "pointer") {
    const auto pointer = readPointer(message);
    if (!pointer) return;
    const auto events = pointer_.receive(pointer->action, pointer->x, pointer->y, displayBounds_,
                                         platform_.clock.uptime(), pointer->button);
    postPointer(events, pointer->clicks);
  } else if (*kind == "click") {
    const auto fraction = readClick(message);
    if (!fraction) return;
    const Point point = mapToDisplay(displayBounds_, fraction->x, fraction->y);
    injector.postMouse(MouseEventType::kLeftMouseDown, point, MouseButton::kLeft, 1);
    injector.postMouse(MouseEventType::kLeftMouseUp, point, MouseButton::kLeft, 1);
  } else if (*kind == "keycode") {
    const auto keycode = readKeycode(message);
    if (!keycode) return;
    injector.postKey(KeyEvent{keycode->code, true, keycode->flags, {}});
    injector.postKey(KeyEvent{keycode->code, false, keycode->flags, {}});
  } else if (*kind == "scroll") {
    const auto scroll = readScroll(message);
    if (!scroll) return;
    injector.postScroll(scroll->vertical, scroll->horizontal);
  } else if (*kind == "key") {
    const auto events = readKey(message);
    if (!events) return;
    for (const KeyEvent& event : *events) injector.postKey(event);
  }
}

void RemoteClient::postPointer(const std::vector<PointerEvent>& events, int clicks) {
  for (const PointerEvent& event : events) {
    // An event that cannot be made is skipped; the rest still go.
    platform_.injector.postMouse(event.type, event.point, buttonFor(event.type), clicks);
  }
}

Task<InputAccessSnapshot> RemoteClient::readInputAccess() {
  InputAccess* access = &platform_.inputAccess;
  BackgroundQueue* background = &platform_.background;
  // The snapshot lives in the callbacks, not in this frame.
  co_return co_await awaitCallback<InputAccessSnapshot>(
      [access, background](std::function<void(InputAccessSnapshot)> done) {
        auto snapshot = std::make_shared<InputAccessSnapshot>();
        background->run([snapshot, access] { *snapshot = access->read(); },
                        [snapshot, done = std::move(done)] { done(*snapshot); });
      });
}

Task<void> RemoteClient::refreshInputAccess() {
  if (readingInputAccess_) co_return;
  readingInputAccess_ = true;
  const InputAccessSnapshot snapshot = co_await readInputAccess();
  inputAccess_ = snapshot;
  readingInputAccess_ = false;
  // Without the permission no event reaches the desktop, so a held button
  // would stay down; let it go now.
  if (!snapshot.canPostEvents()) postPointer(pointer_.release(), 1);
  updateSetup();
  writeStatusIfChanged();
  sendState();
}

void RemoteClient::inputPermission() {
  if (requestingInputAccess_) return;
  if (inputAccess_.canPostEvents()) {
    updateSetup();
    return;
  }
  permissionRestartRequired_ = true;
  showSetup();
  requestingInputAccess_ = true;
  scope_.spawn(requestInputAccess());
}

Task<void> RemoteClient::requestInputAccess() {
  InputAccess* access = &platform_.inputAccess;
  BackgroundQueue* background = &platform_.background;
  co_await awaitCallback<bool>([access, background](std::function<void(bool)> done) {
    background->run([access] { access->request(); }, [done] { done(true); });
  });
  const InputAccessSnapshot snapshot = co_await readInputAccess();
  inputAccess_ = snapshot;
  requestingInputAccess_ = false;
  updateSetup();
  writeStatus();
  if (snapshot.canPostEvents()) co_return;
  if (!kPlatformTexts.inputSettingsUrl.empty()) {
    platform_.workspace.openUrl(std::string(kPlatformTexts.inputSettingsUrl));
  } else {
    platform_.dialogs.showAlert(std::string(text::kInputAccessTitle), std::string(kPlatformTexts.inputAccessHelp), {});
  }
}

void RemoteClient::restartForPermissions() {
  if (restarting_) return;
  restarting_ = true;
  scope_.spawn(restartSequence());
}

Task<void> RemoteClient::restartSequence() {
  const std::string session = active_;
  clear();
  if (!session.empty()) co_await endRequest(session);
  const ProcessInfo& process = platform_.process;
  const std::string application = process.executablePath.value_or(process.bundlePath);
  if (Status launched = platform_.relauncher.launch(relaunchCommand(process.processId, application)); launched) {
    platform_.application.terminate();
    co_return;
  }
  restarting_ = false;
  setStatusLine(std::string(text::kRestartFailed));
}

}  // namespace kx
