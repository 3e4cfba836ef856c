#include "console/admin_console.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <utility>

#include "console/admin_peer.h"
#include "console/sign_in_callback.h"
#include "media/control_messages.h"
#include "protocol/p256_key.h"
#include "protocol/platform_texts.h"

namespace kx {
namespace {

constexpr double kLogoutTimeoutSeconds = 60;
// A genuine pong echoes a ping of this run; anything older, or from the
// future, is not ours to measure.
constexpr double kMaxRoundTripSeconds = 3600;
// Control, Option and Command: keyboard shortcuts the Mac can only take from level 4 on.
constexpr uint64_t kShortcutFlags = 0x1C0000;

constexpr char kInputUnavailableText[] = "Input connection unavailable. End and reconnect.";
constexpr char kShortcutHintText[] = "Update the remote client to 0.5.0 for keyboard shortcuts.";

bool isListOfObjects(const Json* value) {
  return value && value->is_array() &&
         std::all_of(value->begin(), value->end(), [](const Json& item) { return item.is_object(); });
}

std::optional<uint64_t> unsignedField(const Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
  return std::nullopt;
}

std::string signInState() {
  std::string state = newUuid();
  state.erase(std::remove(state.begin(), state.end(), '-'), state.end());
  std::transform(state.begin(), state.end(), state.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return state;
}

// The console's requests may only go to the service's own host.
Expected<PinnedConnection> pinnedTo(const std::string& apiBase, const std::string& serviceHost) {
  EnrollmentConfiguration record;
  record.url = apiBase;
  return PinnedConnection::create(record, serviceHost);
}

}  // namespace

std::string describeError(const Error& error) {
  if (!error.description.empty()) return error.description;
  return "The operation couldn’t be completed. (" + error.domain + " error " + std::to_string(error.code) + ".)";
}

std::string auditLine(const Json& entry) {
  std::string line;
  if (const auto time = jsonNumber(entry, "time"); time && std::isfinite(*time) && *time >= 0 && *time < 1e11) {
    const std::time_t seconds = static_cast<std::time_t>(*time);
    std::tm utc{};
    char text[32];
    if (gmtime_r(&seconds, &utc) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc) > 0) line = text;
  }
  for (const char* key : {"event", "device", "detail"}) {
    const std::string* value = jsonString(entry, key);
    if (!value || value->empty()) continue;
    if (!line.empty()) line += " · ";
    line += *value;
  }
  return line;
}

std::string pkceChallenge(const std::string& verifier) { return base64UrlEncode(sha256(verifier)); }

std::string AdminConsole::random(size_t byteCount) { return base64UrlEncode(randomBytes(byteCount)); }

template <typename... Args>
std::function<void(Args...)> AdminConsole::guarded(
    std::type_identity_t<std::function<void(AdminConsole&, Args...)>> fn) {
  return [this, alive = std::weak_ptr<int>(alive_), fn = std::move(fn)](Args... args) {
    if (alive.expired()) return;
    fn(*this, std::forward<Args>(args)...);
  };
}

AdminConsole::AdminConsole(ConsolePlatform platform, std::function<std::string()> selfDevice,
                           ConsoleAddresses addresses)
    : loop_(platform.loop),
      clock_(platform.clock),
      view_(platform.view),
      webSignIn_(platform.webSignIn),
      keychain_(platform.keychain),
      pasteboard_(platform.pasteboard),
      dialogs_(platform.dialogs),
      peerEngine_(platform.peerEngine),
      makeHttpTransport_(std::move(platform.makeHttpTransport)),
      selfDevice_(std::move(selfDevice)),
      apiBase_(std::move(addresses.apiBase)),
      portalBase_(std::move(addresses.portalBase)),
      pinned_(pinnedTo(apiBase_, addresses.serviceHost)) {
  auto action = [this](void (AdminConsole::*method)()) {
    return guarded<>(std::function<void(AdminConsole&)>([method](AdminConsole& console) { (console.*method)(); }));
  };
  view_.setActions(ConsoleActions{
      .signIn = action(&AdminConsole::signIn),
      .cancelSignIn = action(&AdminConsole::cancelSignIn),
      .refreshList = action(&AdminConsole::refreshList),
      .createCode = action(&AdminConsole::createCode),
      .signOut = action(&AdminConsole::signOut),
      .showActivity = action(&AdminConsole::showActivity),
      .end = action(&AdminConsole::endPressed),
      .fullScreen = action(&AdminConsole::fullScreen),
      .windowWillClose = action(&AdminConsole::windowWillClose),
      .windowDidResignKey = action(&AdminConsole::windowDidResignKey),
  });
  display_.setEmit([this](const Json& message) { sendInput(message); });
  view_.attachInputView(&display_);
  view_.setIdentityText(identity_);
  view_.setEndButtonEnabled(false);

  keychain_.load(kKeychainService, apiBase_,
                 guarded<std::optional<std::string>>([](AdminConsole& console, std::optional<std::string> token) {
                   console.tokenLoaded(std::move(token));
                 }));

  // The timers belong to the console and never fire after it is gone.
  timer_ = startRepeating(loop_, kPollInterval, [this] { scope_.spawn(poll()); });
  metricsTimer_ = startRepeating(loop_, kPingInterval, [this] { ping(); });
}

AdminConsole::~AdminConsole() {
  view_.setActions({});
  view_.attachInputView(nullptr);
  scope_.cancelAll();
  if (peer_) peer_->close();
}

// --- Window ---------------------------------------------------------------

void AdminConsole::show() {
  shown_ = true;
  view_.setApplicationRegular(true);
  view_.showWindow();
  scope_.spawn(refresh());
}

void AdminConsole::tokenLoaded(std::optional<std::string> token) {
  // A sign-in or sign-out meanwhile is newer than what was stored.
  if (tokenChanged_ || !token) return;
  token_ = std::move(*token);
  if (shown_) scope_.spawn(refresh());
}

void AdminConsole::fullScreen() { view_.toggleFullScreen(); }

void AdminConsole::windowWillClose() {
  end();
  view_.setApplicationRegular(false);
}

void AdminConsole::windowDidResignKey() { display_.release(); }

void AdminConsole::setIdentity(std::string text) {
  identity_ = std::move(text);
  view_.setIdentityText(identity_);
}

void AdminConsole::setStatus(std::string text) {
  status_ = std::move(text);
  view_.setStatusText(status_);
}

void AdminConsole::setMeasurement(std::string text) {
  measurement_ = std::move(text);
  view_.setMeasurementText(measurement_);
}

// --- Sign-in and token ----------------------------------------------------

void AdminConsole::signIn() {
  // A new attempt replaces the one in flight.
  stopSignIn(status_);
  const SignInAttempt attempt{++signInAttempts_, signInState(), random(32)};
  const std::string address =
      portalBase_ + "/native-sign-in?challenge=" + pkceChallenge(attempt.verifier) + "&state=" + attempt.state;
  auto done = guarded<std::optional<std::string>, std::optional<Error>>(
      [id = attempt.id](AdminConsole& console, std::optional<std::string> url, std::optional<Error> error) {
        console.signInCallback(std::move(url), std::move(error), id);
      });
  if (!webSignIn_.start(address, kCallbackScheme, std::move(done))) {
    setStatus("Could not open sign-in");
    return;
  }
  signIn_ = attempt;
  view_.setSignInPending(true);
  signInTimer_ = startOneShot(loop_, kSignInTimeout, [this] {
    stopSignIn("Sign-in timed out: the browser did not come back. Try again.");
  });
}

void AdminConsole::cancelSignIn() {
  if (signIn_) stopSignIn("Sign-in cancelled");
}

void AdminConsole::stopSignIn(std::string status) {
  if (!signIn_) return;
  signIn_.reset();
  signInTimer_.cancel();
  webSignIn_.cancel();
  view_.setSignInPending(false);
  setStatus(std::move(status));
}

void AdminConsole::signInCallback(std::optional<std::string> callbackUrl, std::optional<Error> error,
                                  uint64_t attempt) {
  if (!signIn_ || signIn_->id != attempt) return;
  if (callbackUrl && !belongsToSignIn(*callbackUrl, signIn_->state)) {
    // Another attempt's, or forged by someone else on this computer: the
    // sign-in in flight goes on waiting.
    return;
  }
  const std::string verifier = signIn_->verifier;
  const std::optional<std::string> code = callbackUrl ? signInCode(*callbackUrl, signIn_->state) : std::nullopt;
  if (!code) {
    stopSignIn(error ? describeError(*error) : std::string("Sign-in cancelled"));
    return;
  }
  stopSignIn(status_);
  scope_.spawn(exchange(*code, verifier));
}

Task<void> AdminConsole::exchange(std::string code, std::string verifier) {
  // (Bodies are built before the await: g++ 12 miscompiles initializer lists inside co_await.)
  Json body = {{"code", code}, {"verifier", verifier}};
  auto response = co_await request("exchange", std::move(body));
  if (!response) {
    setStatus(describeError(response.error()));
    co_return;
  }
  const std::string* token = jsonString(*response, "token");
  // An empty token would leave the console signed out while claiming success.
  if (!token || token->empty()) {
    setStatus(describeError(makeError("Invalid sign-in", 1)));
    co_return;
  }
  token_ = *token;
  tokenChanged_ = true;
  saveToken(token_);
  const std::string* name = jsonString(*response, "name");
  setIdentity(name ? *name : std::string("Technician"));
  co_await refresh();
}

void AdminConsole::saveToken(const std::string& token) {
  // Without a keychain the token lives for this run only.
  keychain_.save(kKeychainService, apiBase_, token, [](Status) {});
}

void AdminConsole::signOut() {
  // end() sends the session's end with the token it still has.
  const std::string remembered = token_;
  end();
  if (!remembered.empty()) scope_.spawn(sendLogout(remembered));
  token_.clear();
  tokenChanged_ = true;
  view_.setActivityText("");
  keychain_.remove(kKeychainService, apiBase_, [](Status) {});
  setIdentity("Signed out");
  view_.setDeviceRows({}, {});
}

Task<void> AdminConsole::sendLogout(std::string token) {
  if (!pinned_) co_return;
  HttpRequest logout;
  logout.method = "POST";
  logout.url = apiBase_ + "/api/admin/logout";
  logout.headers.emplace_back("Authorization", "Bearer " + token);
  logout.timeoutSeconds = kLogoutTimeoutSeconds;
  if (!pinned_->check(logout.url)) co_return;
  // The local token is gone either way; the answer does not matter.
  (void)co_await sendRequest(transport(), std::move(logout));
}

// --- Service requests and the device list ---------------------------------

HttpTransport& AdminConsole::transport() {
  if (!networking_) networking_ = makeHttpTransport_();
  return *networking_;
}

Task<Expected<Json>> AdminConsole::request(std::string path, std::optional<Json> body) {
  return request(std::move(path), std::move(body), token_);
}

Task<Expected<Json>> AdminConsole::request(std::string path, std::optional<Json> body, std::string token) {
  if (!pinned_) co_return pinned_.error();
  HttpRequest call = makeConsoleRequest(apiBase_, path, body, token);
  if (Status allowed = pinned_->check(call.url); !allowed) co_return std::move(allowed).error();
  co_return interpretConsoleResponse(co_await sendRequest(transport(), std::move(call)));
}

void AdminConsole::refreshList() { scope_.spawn(refresh()); }

Task<void> AdminConsole::refresh() {
  if (token_.empty()) {
    setStatus("Sign in with technician rights to see your devices.");
    co_return;
  }
  // A sign-out (or a new sign-in) meanwhile makes this answer someone else's.
  const std::string token = token_;
  auto who = co_await request("whoami", std::nullopt);
  if (token_ != token) co_return;
  if (!who) {
    setStatus(describeError(who.error()));
    co_return;
  }
  const std::string* name = jsonString(*who, "name");
  setIdentity(name ? *name : std::string("Technician"));

  auto list = co_await request("devices", std::nullopt);
  if (token_ != token) co_return;
  if (!list) {
    setStatus(describeError(list.error()));
    co_return;
  }
  devices_.clear();
  if (const Json* records = jsonArray(*list, "devices"); isListOfObjects(records)) {
    devices_.assign(records->begin(), records->end());
  }
  renderDevices();
  if (sid_.empty()) setStatus(std::string(kPlatformTexts.selectDevice));
}

void AdminConsole::renderDevices() {
  const std::string self = selfDevice_ ? selfDevice_() : std::string();
  std::vector<DeviceRow> rows;
  rows.reserve(devices_.size());
  for (const Json& record : devices_) {
    const std::string* name = jsonString(record, "name");
    const bool online = jsonBool(record, "online").value_or(false);
    const std::string* id = jsonString(record, "id");
    rows.push_back(DeviceRow{
        .label = (name ? *name : std::string(kPlatformTexts.defaultDeviceName)) + (online ? " · Online" : " · Offline"),
        .enabled = online && sid_.empty() && !(id && *id == self),
    });
  }
  view_.setDeviceRows(std::move(rows), guarded<size_t>([](AdminConsole& console, size_t index) {
                        console.connectDevice(index);
                      }));
}

void AdminConsole::createCode() { scope_.spawn(makeSetupCode()); }

void AdminConsole::showActivity() { scope_.spawn(loadActivity()); }

Task<void> AdminConsole::loadActivity() {
  if (token_.empty()) {
    setStatus("Sign in with technician rights to see your devices.");
    co_return;
  }
  const std::string token = token_;
  auto answer = co_await request("audit", std::nullopt);
  if (token_ != token) co_return;
  if (!answer) {
    setStatus(describeError(answer.error()));
    co_return;
  }
  std::string text;
  size_t lines = 0;
  if (const Json* entries = jsonArray(*answer, "entries")) {
    for (const Json& entry : *entries) {
      if (lines == kMaxActivityLines) break;
      const std::string line = auditLine(entry);
      if (line.empty()) continue;
      if (!text.empty()) text += "\n";
      text += line;
      ++lines;
    }
  }
  view_.setActivityText(text.empty() ? std::string("No recent activity.") : text);
}

Task<void> AdminConsole::makeSetupCode() {
  auto response = co_await request("setup-code", Json::object());
  if (!response) {
    setStatus(describeError(response.error()));
    co_return;
  }
  const std::string* found = jsonString(*response, "code");
  const std::optional<std::string> code = found ? std::optional<std::string>(*found) : std::nullopt;
  const std::string informative = code.value_or("") +
                                  "\n\n" + std::string(kPlatformTexts.setupCodeValidity) + " Download the app at " + apiBase_ +
                                  "/download";
  const SetupCodeChoice choice = co_await awaitCallback<SetupCodeChoice>(
      [&](std::function<void(SetupCodeChoice)> done) {
        dialogs_.showSetupCode(std::string(kPlatformTexts.setupCodeTitle), informative, std::move(done));
      });
  if (choice == SetupCodeChoice::kCopyCode && code) pasteboard_.setText(*code);
}

// --- Session --------------------------------------------------------------

void AdminConsole::connectDevice(size_t index) {
  // One session, and one access request, at a time.
  if (!sid_.empty() || requesting_) return;
  scope_.spawn(requestAccess(index));
}

Task<void> AdminConsole::requestAccess(size_t index) {
  if (index >= devices_.size()) co_return;
  const Json record = devices_[index];
  const std::string* device = jsonString(record, "id");
  const std::string* publicKey = jsonString(record, "publicKey");
  if (!device || !publicKey) co_return;

  const std::string session = newUuid();
  const P256PrivateKey key = P256PrivateKey::generate();
  const std::string salt = base64Encode(randomBytes(16));
  auto cipher = SessionCipher::create(key, *publicKey, salt, session);
  if (!cipher) {
    setStatus(describeError(cipher.error()));
    co_return;
  }

  requesting_ = true;
  const int64_t startEpoch = epoch_;
  Json body = {{"id", session}, {"device", *device}, {"browserKey", base64Encode(key.publicKeyX963())}, {"salt", salt}};
  auto accepted = co_await request("request", std::move(body));
  requesting_ = false;
  if (!accepted) {
    setStatus(describeError(accepted.error()));
    co_return;
  }
  if (epoch_ != startEpoch || !sid_.empty()) {
    // Signed out or the window closed while the request was on its way: do not
    // leave a session waiting at the computer that nobody here follows.
    scope_.spawn(sendEnd(session, token_));
    co_return;
  }

  sid_ = session;
  if (!timeline_.toJson().empty() && pastTimelines_.size() < 8) pastTimelines_.push_back(timeline_.toJson());
  timeline_.start("access requested", clock_.uptime());
  nextServicePoll_ = 0;
  cipher_ = std::move(*cipher);
  view_.setSessionHeaderText("Verification code: " + cipher_->verificationCode());
  sequence_ = 0;
  seen_.clear();
  own_.clear();
  outgoing_.clear();
  ++epoch_;
  const int64_t sessionEpoch = epoch_;
  peer_ = std::make_shared<AdminPeer>(
      loop_, peerEngine_, view_.videoRenderer(),
      guarded<const Json&>([sessionEpoch](AdminConsole& console, const Json& message) {
        if (console.epoch_ == sessionEpoch) console.queueSignal(message);
      }),
      guarded<const Bytes&>([sessionEpoch](AdminConsole& console, const Bytes& bytes) {
        console.receive(bytes, sessionEpoch);
      }),
      guarded<const std::string&>([sessionEpoch](AdminConsole& console, const std::string& state) {
        if (console.epoch_ != sessionEpoch || state != "closed") return;
        console.end();
        console.setStatus("Connection ended. Request a new approved session.");
      }));
  peer_->setStepObserver(guarded<std::string_view>([sessionEpoch](AdminConsole& console, std::string_view step) {
    if (console.epoch_ == sessionEpoch) console.timeline_.mark(step, console.clock_.uptime());
  }));
  view_.setEndButtonEnabled(true);
  setStatus(std::string(kPlatformTexts.waitingForApproval));
  renderDevices();
}

Json AdminConsole::timelines() const {
  Json all = pastTimelines_;
  if (!timeline_.toJson().empty()) all.push_back(timeline_.toJson());
  return all;
}

void AdminConsole::queueSignal(Json message) {
  if (!cipher_ || sid_.empty() || !message.is_object()) return;
  if (outgoing_.size() >= kMaxOutgoingSignals) return;
  const std::string messageId = newUuid();
  message["messageId"] = messageId;
  auto sealed = sealToBase64(*cipher_, dumpJson(message));
  if (!sealed) return;
  outgoing_.push_back(std::move(*sealed));
  // Our own signal coming back is never taken as the computer's.
  if (own_.size() < kMaxSeenSignals) own_.insert(messageId);
}

Task<void> AdminConsole::poll() {
  const double now = clock_.uptime();
  if (sid_.empty() || busy_ || now < nextServicePoll_) co_return;
  nextServicePoll_ = now + (lastPong_ > 0 ? 3.0 : 1.0);
  busy_ = true;
  const std::string session = sid_;
  const int64_t sessionEpoch = epoch_;
  Status result = co_await pollCycle(session, sessionEpoch);
  if (!result && epoch_ == sessionEpoch) {
    end();
    setStatus(describeError(result.error()));
  }
  busy_ = false;
}

Task<Status> AdminConsole::pollCycle(std::string session, int64_t sessionEpoch) {
  auto status = co_await request("session/" + session + "/status", std::nullopt);
  if (!isCurrent(session, sessionEpoch)) co_return Status{};
  if (!status) co_return std::move(status).error();

  const std::string* state = jsonString(*status, "state");
  if (!state) co_return Status{};
  if (*state == "ended" || *state == "denied") {
    const std::string word = *state;
    end();
    setStatus("Session " + word);
    co_return Status{};
  }
  if (*state != "approved") co_return Status{};
  timeline_.mark("approved", clock_.uptime());

  if (!outgoing_.empty()) {
    Status posted = co_await postOutgoing(session);
    if (!isCurrent(session, sessionEpoch)) co_return Status{};
    if (!posted) co_return posted;
  }

  Json signals;
  if (status->contains("signals")) {
    signals = (*status)["signals"];
  } else {
    auto fetched = co_await request("session/" + session + "/signal", std::nullopt);
    if (!isCurrent(session, sessionEpoch)) co_return Status{};
    if (!fetched) co_return std::move(fetched).error();
    if (fetched->contains("signals")) signals = (*fetched)["signals"];
  }
  if (!isListOfObjects(&signals)) co_return Status{};
  size_t queuedBefore = SIZE_MAX;

  for (const Json& entry : signals) {
    const std::string* payload = jsonString(entry, "payload");
    if (!payload || !cipher_) continue;
    const auto plaintext = openFromBase64(*cipher_, *payload);
    if (!plaintext) continue;
    auto message = parseJsonObject(*plaintext);
    if (!message || !fromOtherSide(SessionSide::kTechnician, *message)) continue;
    const std::string* id = jsonString(*message, "messageId");
    if (!id || seen_.contains(*id) || own_.contains(*id)) continue;
    if (seen_.size() >= kMaxSeenSignals) continue;
    seen_.insert(*id);
    if (!peer_) continue;
    queuedBefore = std::min(queuedBefore, outgoing_.size());
    // Keeps the peer alive through the await even if the session ends meanwhile.
    const std::shared_ptr<AdminPeer> peer = peer_;
    Status accepted = co_await peer->accept(*message);
    if (!isCurrent(session, sessionEpoch)) co_return Status{};
    if (!accepted) co_return accepted;
  }
  // What the signals just taken produced (the answer and its first
  // candidates) leaves in this cycle, not a whole cycle later.
  if (outgoing_.size() > queuedBefore) {
    Status posted = co_await postOutgoing(session);
    if (!isCurrent(session, sessionEpoch)) co_return Status{};
    if (!posted) co_return posted;
  }
  co_return Status{};
}

Task<Status> AdminConsole::postOutgoing(std::string session) {
  const int64_t sessionEpoch = epoch_;
  const size_t count = std::min(kMaxSignalsPerPost, outgoing_.size());
  Json payloads = Json::array();
  for (size_t i = 0; i < count; ++i) payloads.push_back(outgoing_[i]);
  Json body = {{"payloads", std::move(payloads)}};
  auto posted = co_await request("session/" + session + "/signal", std::move(body));
  if (!isCurrent(session, sessionEpoch)) co_return Status{};
  if (!posted) co_return std::move(posted).error();
  if (timeline_.has("answer made")) timeline_.mark("answer posted", clock_.uptime());
  // Signals queued meanwhile went to the back, so the front is what was posted.
  outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(count));
  co_return Status{};
}

void AdminConsole::endPressed() {
  if (sid_.empty()) return;
  end();
  // Otherwise the line would go on saying the session is connected.
  setStatus("Session ended");
}

void AdminConsole::end() {
  const std::string session = closeSession();
  if (!session.empty()) scope_.spawn(sendEnd(session, token_));
}

std::string AdminConsole::closeSession() {
  const std::string remembered = sid_;
  if (!remembered.empty()) {
    display_.release();
    sendInput(Json{{"kind", "end"}});
  }
  sid_.clear();
  ++epoch_;
  canControl_ = false;
  display_.setAllowed(false);
  if (peer_) peer_->close();
  peer_.reset();
  cipher_.reset();
  outgoing_.clear();
  seen_.clear();
  own_.clear();
  lastPong_ = 0;
  view_.setEndButtonEnabled(false);
  view_.setSessionHeaderText("");
  renderDevices();
  return remembered;
}

Task<void> AdminConsole::sendEnd(std::string session, std::string token) {
  // The local session is over whatever the service answers.
  (void)co_await request("session/" + session + "/end", Json::object(), std::move(token));
}

void AdminConsole::quit(std::function<void()> done) {
  quitDone_ = std::move(done);
  const std::string session = closeSession();
  if (session.empty()) {
    finishQuit();
    return;
  }
  quitTimer_ = startOneShot(loop_, kQuitTimeout, [this] { finishQuit(); });
  scope_.spawn(quitAfterEnd(session, token_));
}

Task<void> AdminConsole::quitAfterEnd(std::string session, std::string token) {
  co_await sendEnd(std::move(session), std::move(token));
  finishQuit();
}

void AdminConsole::finishQuit() {
  quitTimer_.cancel();
  if (auto done = std::exchange(quitDone_, nullptr)) done();
}

// --- Control channel ------------------------------------------------------

void AdminConsole::sendInput(Json message) {
  if (sid_.empty() || !cipher_ || !message.is_object()) return;
  const std::string kind = jsonString(message, "kind") ? *jsonString(message, "kind") : std::string();
  if (!canControl_ && kind != "end" && kind != "ping") return;

  if (kind == "pointer") {
    const std::string* action = jsonString(message, "action");
    if (action && *action == "hover" && controlVersion_ <= 2) return;
  } else if (kind == "scroll") {
    if (controlVersion_ < 4) return;
  } else if (kind == "keycode" && controlVersion_ < 4) {
    const auto flags = unsignedField(message, "flags");
    if (flags && (*flags & kShortcutFlags) != 0) {
      setStatus(kShortcutHintText);
      return;
    }
    const std::string* key = jsonString(message, "key");
    message = Json{{"kind", "key"}, {"key", key ? *key : std::string()}};
  }

  ++sequence_;
  message["seq"] = sequence_;
  auto envelope = cipher_->encrypt(dumpJson(message));
  if (!envelope) return;
  if (peer_ && peer_->send(*envelope)) return;
  if (kind == "end") return;
  display_.setAllowed(false);
  canControl_ = false;
  setStatus(kInputUnavailableText);
}

void AdminConsole::ping() {
  if (sid_.empty()) return;
  display_.renewHold();
  sendInput(Json{{"kind", "ping"}, {"token", clock_.uptime()}});
  // Before the first answer there is no time-out: only the service or the
  // technician ends a session that never connects.
  if (lastPong_ > 0 && clock_.uptime() - lastPong_ > kSilenceLimit) {
    end();
    setStatus(std::string(kPlatformTexts.deviceStoppedResponding));
  }
}

void AdminConsole::receive(const Bytes& envelope, int64_t epoch) {
  if (epoch != epoch_ || !cipher_) return;
  const auto plaintext = cipher_->decrypt(envelope);
  if (!plaintext) return;
  const auto message = parseJsonObject(toString(*plaintext));
  if (!message || !fromOtherSide(SessionSide::kTechnician, *message)) return;
  const std::string* kind = jsonString(*message, "kind");
  if (!kind) return;

  if (*kind == "state") {
    if (const auto version = jsonInt(*message, "controlVersion")) controlVersion_ = *version;
    canControl_ = jsonBool(*message, "canControl") == true && jsonBool(*message, "streaming") == true;
    display_.setAllowed(canControl_);
    lastPong_ = clock_.uptime();
    setStatus(canControl_ ? "Connected · Live video and control ready"
                          : std::string(kPlatformTexts.controlNotEnabled));
  } else if (*kind == "pong") {
    const auto token = jsonNumber(*message, "token");
    // Our tokens are uptimes, never negative.
    if (!token || *token < 0) return;
    const double now = clock_.uptime();
    const double seconds = now - *token;
    // Only a round trip that a ping of ours could have taken is measured; the
    // check also keeps the integer conversion below defined.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxRoundTripSeconds) return;
    lastPong_ = now;
    const auto milliseconds = static_cast<int64_t>(seconds * 1000);
    setMeasurement("Input round trip: " + std::to_string(milliseconds) + " ms");
  }
}

}  // namespace kx
