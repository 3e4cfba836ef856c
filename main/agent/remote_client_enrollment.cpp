// Enrollment, settings, registration and the service request.
#include <utility>

#include "agent/remote_client.h"
#include "agent/user_text.h"
#include "protocol/encoding.h"
#include "protocol/enrollment_merge.h"
#include "protocol/http.h"
#include "protocol/platform_texts.h"
#include "runtime/atomic_file.h"

namespace kx {
namespace {

constexpr double kRegistrationRetrySeconds = 5.0;
constexpr double kPollTimerSeconds = 0.5;

std::string trimSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return std::string(text);
}

// Built outside the coroutine: g++ 12 mishandles braced JSON literals inside coroutine bodies.
Json registrationBody(const std::string& token, const std::string& installation, const std::string& device,
                      const std::string& key, const std::string& name, const std::string& publicKey) {
  return Json{{"token", token}, {"installation", installation}, {"device", device}, {"key", key},
              {"name", name},   {"publicKey", publicKey}};
}

}  // namespace

Status RemoteClient::configure(std::string_view data) {
  const EnrollmentConstants constants{platform_.service.address, platform_.service.host,
                                      platform_.service.retiredHostSuffix};
  auto merged = mergeEnrollment(settings_, data, constants);
  if (!merged) return std::move(merged).error();
  auto connection = PinnedConnection::create(merged->record, platform_.service.host);
  if (!connection) return std::move(connection).error();
  // Stored before anything changes: a record that cannot be kept leaves the
  // running enrollment serving as it was.
  if (!settingsPath_.empty()) {
    if (Status saved = saveEnrollment(settingsPath_, merged->record); !saved) return saved;
  }

  capturePrivateKey_ = merged->privateKey;
  connection_ = std::move(*connection);
  // A request still in flight keeps the previous transport alive until it is answered.
  networking_ = platform_.makeServiceTransport
                    ? std::shared_ptr<HttpTransport>(platform_.makeServiceTransport(*connection_))
                    : nullptr;
  settings_ = merged->record;

  base_ = trimSlashes(merged->url.text);
  enrollment_ = settings_->token;
  installation_ = settings_->installation.value_or("");
  device_ = settings_->device.value_or("");
  secret_ = settings_->key.value_or("");
  return {};
}

Status RemoteClient::configureFrom(const std::string& path) {
  auto data = readFile(path);
  if (!data) return std::move(data).error();
  return configure(*data);
}

Status RemoteClient::saveSettings() {
  if (settingsPath_.empty() || !settings_) return {};
  return saveEnrollment(settingsPath_, *settings_);
}

void RemoteClient::importEnrollment() {
  if (!active_.empty()) return;
  platform_.application.activate();
  platform_.dialogs.chooseEnrollmentFile(std::string(text::kImportPanelTitle),
                                         [weak = weak(), this](std::optional<std::string> path) {
                                           if (weak.lock() && path && !path->empty()) importFile(*path);
                                         });
}

void RemoteClient::importFile(const std::string& path) {
  // The panel does not block the poll loop: a session approved while it was
  // open keeps its enrollment.
  if (!active_.empty()) return;
  if (Status configured = configureFrom(path); !configured) {
    platform_.application.activate();
    platform_.dialogs.showAlert(std::string(text::kImportFailed), localizedDescription(configured.error()), {});
    return;
  }
  stopServiceTimer();
  scope_.spawn(registerDevice());
}

void RemoteClient::enrollWithCode(const std::string& code) {
  if (!active_.empty() || !device_.empty()) return;
  const auto normalized = normalizeSetupCode(code);
  if (!normalized) {
    registrationError_ = std::string(text::kSetupCodeGuidance);
    updateSetup();
    return;
  }
  const EnrollmentConstants constants{platform_.service.address, platform_.service.host,
                                      platform_.service.retiredHostSuffix};
  if (Status configured = configure(setupCodeRecord(*normalized, constants).encode()); !configured) {
    registrationError_ = localizedDescription(configured.error());
    updateSetup();
    return;
  }
  stopServiceTimer();
  scope_.spawn(registerDevice());
}

Task<Expected<Json>> RemoteClient::request(std::string path, Json body) {
  // Held by this frame: a transport replaced meanwhile still answers.
  std::shared_ptr<HttpTransport> transport = networking_;
  if (!transport || !connection_) co_return makeError("Not enrolled", 1);
  HttpRequest outgoing = makeAgentRequest(base_, path, body, secret_);
  if (Status pinned = connection_->check(outgoing.url); !pinned) co_return std::move(pinned).error();
  auto response = co_await sendRequest(*transport, std::move(outgoing));
  co_return interpretAgentResponse(std::move(response));
}

Task<void> RemoteClient::registerDevice() {
  if (registering_) co_return;
  registering_ = true;

  Status outcome;
  if (!capturePrivateKey_) {
    outcome = makeError("Not enrolled", 1);
  } else {
    // Plain locals: g++ 12 destroys conditional temporaries of a suspended
    // co_await expression that were never built.
    const std::string name = platform_.hostName.empty() ? std::string(kPlatformTexts.defaultDeviceName) : platform_.hostName;
    const std::string publicKey = base64Encode(capturePrivateKey_->publicKeyX963());
    Json body = registrationBody(enrollment_, installation_, device_, secret_, name, publicKey);
    auto reply = co_await request("enroll", std::move(body));
    if (!reply) {
      outcome = std::move(reply).error();
    } else {
      const std::string* id = jsonString(*reply, "id");
      const std::string* key = jsonString(*reply, "key");
      if (!id || !key) {
        outcome = makeError("Invalid registration", 1);
      } else {
        device_ = *id;
        secret_ = *key;
        if (settings_) {
          settings_->device = *id;
          settings_->key = *key;
          settings_->token = "";
        }
        enrollment_ = "";
        outcome = saveSettings();
      }
    }
  }

  if (outcome) {
    nextServicePoll_ = 0;
    registrationError_ = "";
    writeStatus();
    setStatusLine(std::string(text::kOnline));
    if (!timer_) startPollTimer();
  } else {
    registrationError_ = registrationErrorText(outcome.error());
    writeStatus();
    setStatusLine(std::string(text::kConnectionFailed));
    if (!timer_) {
      timer_ = startOneShot(platform_.loop, kRegistrationRetrySeconds, [this] {
        timer_ = Timer();
        scope_.spawn(registerDevice());
      });
    }
  }
  registering_ = false;
}

void RemoteClient::startPollTimer() {
  timer_ = startRepeating(platform_.loop, kPollTimerSeconds, [this] { scope_.spawn(poll()); });
}

}  // namespace kx
