// The poll loop, consent, session end and the signal exchange that rides on it.
#include <algorithm>
#include <utility>

#include "agent/remote_client.h"
#include "agent/user_text.h"
#include "media/control_messages.h"
#include "media/realtime_peer.h"
#include "protocol/encoding.h"
#include "protocol/platform_texts.h"

namespace kx {
namespace {

constexpr double kIdleContactInterval = 5.0;
constexpr double kSessionContactInterval = 1.0;
constexpr size_t kMaxOutgoingSignals = 256;
constexpr size_t kSignalsPerRequest = 16;
constexpr size_t kMaxSeenSignals = 512;
// Host candidates follow the offer within milliseconds.
constexpr double kCandidateGrace = 0.05;

// Bodies are built outside the coroutines: g++ 12 mishandles braced JSON
// literals inside coroutine bodies.
Json sessionBody(const std::string& session) { return Json{{"session", session}}; }
Json decisionBody(const std::string& session, bool approve) { return Json{{"session", session}, {"approve", approve}}; }
Json signalBody(const std::string& session, const std::vector<std::string>& payloads) {
  return Json{{"session", session}, {"payloads", payloads}};
}

}  // namespace

Json RemoteClient::pollBody() const {
  return Json{
      {"videoTransport", "webrtc"},
      {"rtcState", rtcState_},
      {"controlVersion", kControlVersion},
      {"screenPermission", lifecycle_.mayControl()},
      {"inputPermission", inputAccess_.canPostEvents()},
      {"captureError", captureError_},
      {"captureState", std::string(lifecycle_.phaseText())},
  };
}

Task<void> RemoteClient::poll() {
  const double now = platform_.clock.uptime();
  // Runs on every tick, also while another tick waits for the service.
  if (!active_.empty() && !consentLease_.isValid(now)) {
    const std::string session = active_;
    clear();
    sendEnd(session);
    setStatusLine(std::string(text::kExpired));
    co_return;
  }
  postPointer(pointer_.expire(now), 1);

  if (processing_ || now < nextServicePoll_) co_return;
  nextServicePoll_ = now + (active_.empty() ? kIdleContactInterval : kSessionContactInterval);
  processing_ = true;

  writeStatus();

  if (!active_.empty() && !outgoingSignals_.empty()) {
    const std::string session = active_;
    const int64_t epoch = generation_;
    Status posted = co_await postSignals();
    if (!posted) {
      failure(posted.error());
      co_return;
    }
    if (active_ != session || generation_ != epoch) {
      processing_ = false;
      co_return;
    }
  }

  auto response = co_await request("device/" + device_ + "/poll", pollBody());

  if (!response) {
    failure(response.error());
    co_return;
  }
  const Json* session = jsonObject(*response, "session");
  const std::string* id = session ? jsonString(*session, "id") : nullptr;
  if (!id) {
    // No open request: whatever is left of a session goes.
    clear();
    processing_ = false;
    co_return;
  }
  const std::string* state = jsonString(*session, "state");
  if (state && *state == "pending") {
    if (*id == refused_) {
      // The person refused this request already; only the answer was lost.
      (void)co_await request("device/" + device_ + "/decision", decisionBody(*id, false));
      processing_ = false;
      co_return;
    }
    co_await consentPrompt(*session);
    co_return;
  }
  if (state && *state == "approved" && *id == active_) {
    if (lifecycle_.mayControl()) {
      // The signals of a session travel in its record.
      const int64_t epoch = generation_;
      if (const Json* signals = jsonArray(*session, "signals")) co_await receiveSignals(*signals, *id);
      // While the answer is awaited, each contact comes exactly an interval
      // after the last rather than at the first tick after it.
      if (current(*id, epoch) && timeline_.has("offer posted") && !timeline_.has("answer applied")) {
        contactIn(nextServicePoll_ - platform_.clock.uptime());
      }
    }
    processing_ = false;
    co_return;
  }
  clear();
  processing_ = false;
}

Task<void> RemoteClient::consentPrompt(Json session) {
  const std::string id = *jsonString(session, "id");
  const std::string* named = jsonString(session, "technician");
  const std::string technician = named ? *named : std::string(text::kDefaultTechnician);
  ConsentPrompt prompt;
  prompt.message = technician + std::string(text::kRequestsAccess);
  prompt.informativeText = std::string(kPlatformTexts.consentDetail);
  // Made before asking, so that the person can compare the code with the
  // technician's before deciding.
  const std::string* browserKey = jsonString(session, "browserKey");
  const std::string* salt = jsonString(session, "salt");
  std::optional<Expected<SessionCipher>> cipher;
  if (browserKey && salt && capturePrivateKey_) {
    cipher = SessionCipher::create(*capturePrivateKey_, *browserKey, *salt, id);
    if (*cipher) prompt.informativeText += "\n\n" + std::string(text::kVerificationCodePrefix) + (*cipher)->verificationCode();
  }

  // `processing` stays set while the alert is open: no other tick contacts the service.
  platform_.application.activate();
  const ConsentDecision decision =
      co_await awaitCallback<ConsentDecision>([this, &prompt](std::function<void(ConsentDecision)> done) {
        platform_.dialogs.askConsent(prompt, std::move(done));
      });
  const bool approve = decision == ConsentDecision::kApprove;

  if (!approve) refused_ = id;
  auto reply = co_await request("device/" + device_ + "/decision", decisionBody(id, approve));
  if (!approve) {
    // A refusal holds whatever the service answers: a request that ended
    // meanwhile needs no answer, and a lost one is repeated by the next poll.
    processing_ = false;
    co_return;
  }
  if (!reply) {
    if (reply.error().domain == "KestrelixService" && reply.error().code == 409) {
      // The request ended while the prompt was up: nothing to share, nothing broken.
      setStatusLine(std::string(text::kRequestExpired));
      processing_ = false;
      co_return;
    }
    failure(reply.error());
    co_return;
  }

  // A request approved while another session runs replaces it: the old
  // capture must not go on streaming to the old technician.
  if (!active_.empty()) {
    const std::string previous = active_;
    clear();
    sendEnd(previous);
  }

  active_ = id;
  timeline_.start("approved", platform_.clock.uptime());
  // The tick that found the request set the idle cadence (5 s); a session
  // is contacted every second from the decision on, or its offer would wait.
  nextServicePoll_ = std::min(nextServicePoll_, platform_.clock.uptime() + kSessionContactInterval);
  technician_ = technician;
  consentLease_.approve(jsonNumber(*reply, "expires"), platform_.clock.wallTime(), platform_.clock.uptime());
  captureError_ = "";
  lastInputSequence_ = 0;

  if (!cipher) {
    failure(makeError("Missing session encryption", 1));
    co_return;
  }
  if (!*cipher) {
    failure(cipher->error());
    co_return;
  }
  sessionKey_ = std::move(**cipher);

  lifecycle_.approved(id);
  setStatusLine(std::string(text::kApproved));
  platform_.picker.setActive(true);
  platform_.picker.present();
  processing_ = false;
}

void RemoteClient::failure(const Error& error) {
  const std::string session = active_;
  clear();
  if (!session.empty()) sendEnd(session);
  captureError_ = std::string(text::kConnectionEndedPrefix) + localizedDescription(error);
  setStatusLine(captureError_);
  stopServiceTimer();
  scope_.spawn(registerDevice());
  processing_ = false;
}

void RemoteClient::clear() {
  postPointer(pointer_.release(), 1);
  active_.clear();
  consentLease_.end();
  sessionKey_.reset();
  lastInputSequence_ = 0;
  ++generation_;
  lifecycle_.end();
  stopCapture();
  platform_.picker.setActive(false);
  captureError_.clear();
  platform_.menu.setTitle(std::string(text::kIdleTitle));
  // Without a device there was no session, and the line says why.
  if (!device_.empty()) setStatusLine(std::string(text::kOnline));
}

void RemoteClient::endSession() {
  const std::string session = active_;
  clear();
  if (!session.empty()) sendEnd(session);
}

void RemoteClient::sendEnd(const std::string& session) { scope_.spawn(endRequest(session)); }

Task<void> RemoteClient::endRequest(std::string session) {
  // The answer does not matter; the service ends the session either way or never knew it.
  (void)co_await request("device/" + device_ + "/end", sessionBody(session));
}

void RemoteClient::queueSignal(Json message) {
  if (!sessionKey_ || active_.empty()) return;
  if (outgoingSignals_.size() >= kMaxOutgoingSignals) return;
  if (!message.is_object()) return;
  const std::string messageId = newUuid();
  message["messageId"] = messageId;
  auto sealed = sealToBase64(*sessionKey_, dumpJson(message));
  if (!sealed) return;
  outgoingSignals_.push_back(std::move(*sealed));
  if (const std::string* type = jsonString(message, "type"); type && *type == "offer") {
    markStep("offer sealed");
    // The technician is waiting on the offer: it goes out at once, a moment
    // late so the first candidates ride along, and the cadence restarts there.
    contactIn(kCandidateGrace);
  }
  // Our own signal coming back is never taken as the technician's.
  if (ownSignals_.size() < kMaxSeenSignals) ownSignals_.insert(messageId);
}

void RemoteClient::contactIn(double seconds) {
  contactTimer_ = startOneShot(platform_.loop, std::max(0.0, seconds), [this] {
    contactTimer_ = Timer();
    nextServicePoll_ = std::min(nextServicePoll_, platform_.clock.uptime());
    scope_.spawn(poll());
  });
}

void RemoteClient::markStep(std::string_view step) { timeline_.mark(step, platform_.clock.uptime()); }

Task<Status> RemoteClient::postSignals() {
  const size_t count = std::min(kSignalsPerRequest, outgoingSignals_.size());
  const std::vector<std::string> batch(outgoingSignals_.begin(),
                                       outgoingSignals_.begin() + static_cast<std::ptrdiff_t>(count));
  const std::string session = active_;
  const int64_t epoch = generation_;
  auto reply = co_await request("device/" + device_ + "/signal", signalBody(session, batch));
  if (!reply) co_return std::move(reply).error();
  if (current(session, epoch)) {
    // The offer is the first signal of a capture: the first post after it was sealed carries it.
    if (timeline_.has("offer sealed")) markStep("offer posted");
    // Only what was sent leaves the queue; signals queued meanwhile stay.
    size_t sent = 0;
    while (sent < batch.size() && !outgoingSignals_.empty() && outgoingSignals_.front() == batch[sent]) {
      outgoingSignals_.erase(outgoingSignals_.begin());
      ++sent;
    }
  }
  co_return Status{};
}

Task<void> RemoteClient::receiveSignals(Json signals, std::string session) {
  if (!signals.is_array()) co_return;
  for (const Json& element : signals) {
    if (!element.is_object()) co_return;  // only a list of objects counts
  }
  const int64_t epoch = generation_;
  for (const Json& element : signals) {
    if (active_ != session || generation_ != epoch) continue;
    const std::string* payload = jsonString(element, "payload");
    if (!payload || !sessionKey_) continue;
    const auto plaintext = openFromBase64(*sessionKey_, *payload);
    if (!plaintext) continue;
    auto message = parseJsonObject(*plaintext);
    if (!message || !fromOtherSide(SessionSide::kClient, *message)) continue;
    const std::string* messageId = jsonString(*message, "messageId");
    if (!messageId) continue;
    if (ownSignals_.count(*messageId)) continue;
    if (seenSignals_.count(*messageId) || seenSignals_.size() >= kMaxSeenSignals) continue;
    seenSignals_.insert(*messageId);
    if (!rtc_) continue;
    std::shared_ptr<RealtimePeer> peer = rtc_;
    Status accepted = co_await peer->accept(std::move(*message));
    if (!accepted) {
      // A peer of a session that has gone reports nothing to the new state.
      if (current(session, epoch)) failure(accepted.error());
      co_return;
    }
  }
}

}  // namespace kx
