#include "service/service.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "protocol/p256_key.h"
#include "service/portal.h"

namespace kx::service {

namespace {

// Presence (last poll time) is written at most this often per Mac unless its
// reported state changed: "online" is judged over 20 s, and a write per poll
// would make every poll a disk transaction. A refresh may be written behind,
// up to a second later: it reaches storage within 15 s all the same.
constexpr double kPresenceWriteSeconds = 14;
constexpr size_t kMaxNameBytes = 128;
constexpr size_t kMaxStateTextBytes = 512;
constexpr size_t kMaxCachedPollBytes = 2048;
constexpr size_t kMaxInstallationBytes = 256;
constexpr size_t kMaxTechnicianNameBytes = 64;
constexpr size_t kMinPasswordLength = 8;
constexpr size_t kMaxPasswordLength = 1024;
constexpr size_t kMaxAuditRows = 500;
// After the person at a device declines, the same device may be asked again
// only after these waits, by the number of declines it remembers (24 hours).
constexpr double kWaitAfterDenials[] = {60, 5 * 60, 30 * 60};

// Thrown inside this file only; handle() turns it into the response.
struct Refusal {
  int status;
  std::string message;
  int retryAfterSeconds = 0;  // sent as Retry-After when set
};

struct StorageFailure {
  Error error;
};

[[noreturn]] void refuse(int status, std::string message) { throw Refusal{status, std::move(message)}; }

template <typename T>
T need(Expected<T>&& result) {
  if (!result) throw StorageFailure{std::move(result).error()};
  return std::move(result).value();
}

void need(Status&& status) {
  if (!status) throw StorageFailure{std::move(status).error()};
}

Response jsonResponse(const Json& body) {
  Response r;
  r.body = dumpJson(body);
  return r;
}

Response htmlResponse(int status, std::string html) {
  Response r;
  r.status = status;
  r.contentType = "text/html; charset=utf-8";
  r.headers = {{"Content-Security-Policy", kPortalSecurityPolicy},
               {"X-Frame-Options", "DENY"},
               {"Referrer-Policy", "no-referrer"},
               // The portal is only ever served over HTTPS; browsers remember that.
               {"Strict-Transport-Security", "max-age=31536000"}};
  r.body = std::move(html);
  return r;
}

bool asciiIEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The credential of "Authorization: Bearer <credential>", or "".
std::string_view bearer(const Request& request) {
  std::string_view header = trim(request.authorization);
  if (header.size() < 7 || !asciiIEquals(header.substr(0, 7), "bearer ")) return {};
  return trim(header.substr(7));
}

Json body(const Request& request) {
  if (request.body.empty()) return Json::object();
  auto parsed = parseJsonObject(request.body);
  if (!parsed) refuse(400, "The request body must be a JSON object.");
  return std::move(*parsed);
}

std::string requireText(const Json& object, std::string_view key) {
  const std::string* value = jsonString(object, key);
  if (!value) refuse(400, "\"" + std::string(key) + "\" must be a text.");
  return *value;
}

// A text field that may be absent; present with another type is refused.
std::optional<std::string> optionalText(const Json& object, std::string_view key) {
  if (!object.contains(key) || object.at(key).is_null()) return std::nullopt;
  return requireText(object, key);
}

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string truncateUtf8(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string deviceName(std::optional<std::string> name) {
  if (!name) return {};
  std::string clean;
  for (char c : *name) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) clean.push_back(c);
  }
  clean = truncateUtf8(std::move(clean), kMaxNameBytes);
  return std::string(trim(clean));
}

// A name typed by an unknown client, as the audit log keeps it.
std::string printableName(std::string_view name) { return deviceName(std::string(name.substr(0, 256))); }

bool isValidPublicKeyText(std::string_view text) {
  auto bytes = base64Decode(text);
  return bytes && isValidP256PublicKey(*bytes);
}

void requirePublicKey(std::string_view text, std::string_view key) {
  if (!isValidPublicKeyText(text)) {
    refuse(400, "\"" + std::string(key) + "\" must be the standard base64 of a 65-byte P-256 point.");
  }
}

bool isValidTechnicianName(std::string_view name) {
  if (name.empty() || name.size() > kMaxTechnicianNameBytes) return false;
  if (name.front() == ' ' || name.back() == ' ') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

std::string_view pathOf(std::string_view target) {
  const size_t query = target.find('?');
  return query == std::string_view::npos ? target : target.substr(0, query);
}

std::string_view queryOf(std::string_view target) {
  const size_t query = target.find('?');
  return query == std::string_view::npos ? std::string_view() : target.substr(query + 1);
}

std::vector<std::string_view> segments(std::string_view path) {
  std::vector<std::string_view> parts;
  if (path.empty() || path.front() != '/') return parts;
  path.remove_prefix(1);
  for (;;) {
    const size_t slash = path.find('/');
    parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos || parts.size() > 8) return parts;
    path.remove_prefix(slash + 1);
  }
}

bool isValidState(std::string_view state) {
  return state.size() == 32 && std::all_of(state.begin(), state.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Response methodNotAllowed(std::string_view allowed) {
  Response r = errorResponse(405, "Method not allowed.");
  r.headers.emplace_back("Allow", std::string(allowed));
  return r;
}

}  // namespace

Service::Service(Storage& storage, const Clock& clock, ServiceOptions options)
    : storage_(storage),
      clock_(clock),
      options_(std::move(options)) {
  options_.consentSeconds = std::clamp(options_.consentSeconds, 1.0, kMaxConsentSeconds);
  options_.pendingSeconds = std::max(options_.pendingSeconds, 1.0);
}

std::unique_lock<std::mutex> Service::serialised() {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!storage_.concurrent()) lock.lock();
  return lock;
}

// An audit row built field by field (most rows leave some fields empty).
struct AuditRow {
  AuditEntry entry;
  explicit AuditRow(std::string_view event) { entry.event = event; }
  AuditRow& at(double time) {
    entry.time = time;
    return *this;
  }
  AuditRow& technician(int64_t id, std::string_view name) {
    entry.technicianId = id;
    entry.technician = name;
    return *this;
  }
  AuditRow& device(std::string_view id, std::string_view name) {
    entry.deviceId = id;
    entry.device = name;
    return *this;
  }
  AuditRow& session(std::string_view id) {
    entry.sessionId = id;
    return *this;
  }
  AuditRow& address(std::string_view address) {
    entry.address = address;
    return *this;
  }
  AuditRow& detail(std::string_view detail) {
    entry.detail = detail;
    return *this;
  }
};

// --- transactions ------------------------------------------------------------

namespace {
// Runs `step` in one storage transaction that excludes the others on the
// same `scope`; a refusal rolls it back and is rethrown outside the transaction.
template <typename F>
void atomically(Storage& storage, std::string_view scope, F&& step) {
  std::optional<Refusal> refusal;
  std::exception_ptr unexpected;
  Status status = storage.transactionOn(scope, [&]() -> Status {
    try {
      step();
      return {};
    } catch (const Refusal& r) {
      refusal = r;
      return makeError("Refused", r.status, r.message);
    } catch (const StorageFailure& f) {
      return f.error;
    } catch (...) {
      unexpected = std::current_exception();
      return makeError("Service", 500, "unexpected exception");
    }
  });
  if (unexpected) std::rethrow_exception(unexpected);
  if (refusal) throw *refusal;
  if (!status) throw StorageFailure{std::move(status).error()};
}
}  // namespace

template <typename F>
auto Service::transition(Session& session, F&& change) {
  std::optional<std::invoke_result_t<F&>> result;
  atomically(storage_, "device:" + session.deviceId, [&] {
    if (auto stored = need(storage_.sessionById(session.id))) session = std::move(*stored);
    result.emplace(change());
  });
  return std::move(*result);
}

// --- dispatch ----------------------------------------------------------------

Response Service::handle(const Request& request) {
  try {
    return dispatch(request);
  } catch (const Refusal& refusal) {
    Response r = errorResponse(refusal.status, refusal.message);
    if (refusal.retryAfterSeconds > 0) r.headers.emplace_back("Retry-After", std::to_string(refusal.retryAfterSeconds));
    return r;
  } catch (const StorageFailure& failure) {
    if (options_.log) options_.log("storage failure: " + failure.error.summary());
    return errorResponse(503, "The service cannot reach its storage. Try again later.");
  } catch (const std::exception& e) {
    if (options_.log) options_.log(std::string("internal error: ") + e.what());
    return errorResponse(500, "Internal error.");
  }
}

Response Service::dispatch(const Request& request) {
  const std::string_view path = pathOf(request.target);
  const auto parts = segments(path);
  const std::string& method = request.method;
  const bool get = method == "GET";
  const bool post = method == "POST";

  auto locked = [&](auto&& handler) {
    auto lock = serialised();
    return jsonResponse(handler());
  };

  if (parts.size() >= 2 && parts[0] == "api") {
    if (parts.size() == 2 && parts[1] == "enroll") {
      if (!post) return methodNotAllowed("POST");
      return locked([&] { return enroll(request); });
    }
    if (parts.size() == 4 && parts[1] == "device") {
      const std::string_view id = parts[2];
      const std::string_view op = parts[3];
      using Handler = Json (Service::*)(const Request&, std::string_view);
      Handler handler = op == "poll"       ? &Service::devicePoll
                        : op == "decision" ? &Service::deviceDecision
                        : op == "signal"   ? &Service::deviceSignal
                        : op == "end"      ? &Service::deviceEnd
                                           : nullptr;
      if (handler) {
        if (!post) return methodNotAllowed("POST");
        return locked([&] { return (this->*handler)(request, id); });
      }
    }
    if (parts.size() == 3 && parts[1] == "admin") {
      const std::string_view op = parts[2];
      using Handler = Json (Service::*)(const Request&);
      struct Entry {
        std::string_view name;
        bool post;
        Handler handler;
      };
      static constexpr Entry kAdmin[] = {
          {"exchange", true, &Service::exchange},    {"logout", true, &Service::logout},
          {"whoami", false, &Service::whoami},       {"devices", false, &Service::devices},
          {"setup-code", true, &Service::setupCode}, {"request", true, &Service::accessRequest},
          {"revoke", true, &Service::revoke},        {"audit", false, &Service::auditList},
      };
      for (const Entry& e : kAdmin) {
        if (e.name != op) continue;
        if (e.post ? !post : !get) return methodNotAllowed(e.post ? "POST" : "GET");
        return locked([&] { return (this->*e.handler)(request); });
      }
    }
    if (parts.size() == 5 && parts[1] == "admin" && parts[2] == "session") {
      const std::string_view sid = parts[3];
      const std::string_view op = parts[4];
      if (op == "status") {
        if (!get) return methodNotAllowed("GET");
        return locked([&] { return sessionStatus(request, sid); });
      }
      if (op == "signal") {
        if (post) return locked([&] { return sessionSignalPost(request, sid); });
        if (get) return locked([&] { return sessionSignalGet(request, sid); });
        return methodNotAllowed("GET, POST");
      }
      if (op == "end") {
        if (!post) return methodNotAllowed("POST");
        return locked([&] { return sessionEnd(request, sid); });
      }
    }
    return errorResponse(404, "Not found.");
  }
  if (path == "/native-sign-in") {
    if (get) return signInForm(request);
    if (post) return signInSubmit(request);
    return methodNotAllowed("GET, POST");
  }
  if (path == "/download") {
    if (!get) return methodNotAllowed("GET");
    return download(request);
  }
  return errorResponse(404, "Not found.");
}

// --- authentication ----------------------------------------------------------

Device Service::authenticateDevice(const Request& request, std::string_view deviceId, bool* sessionOpen) {
  const std::string_view key = bearer(request);
  if (key.empty()) refuse(401, "A device key is required.");
  const Bytes digest = secretDigest(key);
  std::optional<Device> device;
  if (sessionOpen) {
    if (auto polled = need(storage_.deviceForPoll(deviceId))) {
      device = std::move(polled->device);
      *sessionOpen = polled->sessionOpen;
    }
  } else {
    device = need(storage_.deviceById(deviceId));
  }
  if (device && constantTimeEqual(device->keyDigest, digest)) return std::move(*device);
  if (need(storage_.deviceByKeyDigest(digest))) refuse(403, "This device key belongs to another device.");
  refuse(401, "Unknown device key.");
}

Technician Service::authenticateTechnician(const Request& request, Bytes* tokenDigest) {
  const std::string_view token = bearer(request);
  if (token.empty()) refuse(401, "Sign in with technician rights first.");
  Bytes digest = secretDigest(token);
  auto held = need(storage_.grantWithHolder(GrantKind::technicianToken, digest));
  if (!held) refuse(401, "Your sign-in is no longer valid. Sign in again.");
  if (held->grant.expires <= now()) refuse(401, "Your sign-in has expired. Sign in again.");
  if (tokenDigest) *tokenDigest = std::move(digest);
  return std::move(held->technician);
}

bool Service::online(const Device& device, double t) const {
  double last = device.lastSeen;
  {
    std::lock_guard lock(presenceMutex_);
    if (auto it = presence_.find(device.id); it != presence_.end()) last = std::max(last, it->second.lastPoll);
  }
  return last > 0 && t - last <= options_.onlineSeconds;
}

// --- sessions ----------------------------------------------------------------

void Service::close(Session& session, SessionState state, double when) {
  session.state = state;
  session.closed = when;
  need(storage_.updateSession(session));
  // Nobody reads a closed session's signals again.
  need(storage_.removeSignals(session.id));
}

void Service::audit(AuditEntry entry) {
  entry.time = now();
  if (!entry.deviceId.empty() && entry.device.empty()) {
    if (auto device = need(storage_.deviceById(entry.deviceId))) {
      entry.device = device->name;
      if (entry.technicianId == 0) entry.technicianId = device->technicianId;
    }
  }
  if (entry.technicianId != 0 && entry.technician.empty()) {
    if (auto technician = need(storage_.technicianById(entry.technicianId))) entry.technician = technician->name;
  }
  need(storage_.appendAudit(entry));
}

void Service::auditSession(std::string_view event, const Session& session, std::string_view detail,
                           std::string_view address) {
  AuditEntry entry;
  entry.event = event;
  entry.technicianId = session.technicianId;
  entry.deviceId = session.deviceId;
  entry.sessionId = session.id;
  entry.address = address;
  entry.detail = detail;
  audit(std::move(entry));
}

void Service::throttleAfterDenials(const Device& device, double t) {
  const auto denied = need(storage_.deniedSessions(device.id, t - options_.closedSessionSeconds));
  if (denied.empty()) return;
  const size_t step = std::min(denied.size(), std::size(kWaitAfterDenials)) - 1;
  const double wait = denied.front().closed + kWaitAfterDenials[step] - t;
  if (wait <= 0) return;
  const int minutes = static_cast<int>(std::ceil(wait / 60));
  throw Refusal{429,
                "The person at " + device.name + " declined your last request. You can ask again in " +
                    std::to_string(minutes) + (minutes == 1 ? " minute." : " minutes."),
                static_cast<int>(std::ceil(wait))};
}

Session Service::current(Session session, double t) {
  const bool undecided = session.state == SessionState::pending && t >= session.created + options_.pendingSeconds;
  const bool consentOver = session.state == SessionState::approved && t >= session.expires;
  if (undecided || consentOver) {
    transition(session, [&] {
      if (!isOpen(session.state)) return false;
      close(session, SessionState::ended, t);
      auditSession("session-end", session, undecided ? "nobody decided in time" : "the consent lease ran out", "");
      return true;
    });
  }
  return session;
}

template <typename Item, typename SessionOf>
std::optional<Item> Service::firstOpen(std::vector<Item> items, double t, SessionOf sessionOf) {
  std::optional<Item> open;
  for (Item& item : items) {
    Session& session = sessionOf(item);
    session = current(std::move(session), t);
    if (isOpen(session.state) && !open) open = std::move(item);
  }
  return open;
}

std::optional<Session> Service::openSession(std::string_view deviceId, double t) {
  return firstOpen(need(storage_.openSessions(deviceId)), t, [](Session& s) -> Session& { return s; });
}

Session Service::deviceSession(const Device& device, const Json& body) {
  const std::string id = requireText(body, "session");
  auto session = need(storage_.sessionById(id));
  if (!session) refuse(404, "Unknown session.");
  if (session->deviceId != device.id) refuse(403, "This session belongs to another device.");
  return current(std::move(*session), now());
}

Session Service::technicianSession(const Technician& technician, std::string_view sessionId) {
  auto session = need(storage_.sessionById(sessionId));
  if (!session) refuse(404, "Unknown session.");
  if (session->technicianId != technician.id) refuse(403, "This session belongs to another technician.");
  return current(std::move(*session), now());
}

namespace {
Json payloadList(std::vector<std::string> payloads) {
  Json list = Json::array();
  for (std::string& payload : payloads) list.push_back(Json{{"payload", std::move(payload)}});
  return list;
}
}  // namespace

Json Service::signalList(const Session& session, Direction direction) {
  return payloadList(need(storage_.signals(session.id, direction)));
}

// Every payload is kept and returned on every read until the session closes:
// a response lost on the way must not lose a signal, and both ends drop
// repeats by their "messageId". A payload identical to one already kept is a
// retried post and is kept once.
bool Service::relay(const Session& session, Direction direction, const Json& body, size_t maxPerPost) {
  if (session.state != SessionState::approved) {
    refuse(409, "The session is " + std::string(sessionStateName(session.state)) + ", not approved.");
  }
  const Json* list = jsonArray(body, "payloads");
  if (!list || list->empty() || list->size() > maxPerPost) {
    refuse(400, "\"payloads\" must hold 1 to " + std::to_string(maxPerPost) + " texts.");
  }
  std::vector<std::string> incoming;
  for (const Json& item : *list) {
    if (!item.is_string() || item.get_ref<const std::string&>().empty()) {
      refuse(400, "\"payloads\" must hold 1 to " + std::to_string(maxPerPost) + " texts.");
    }
    if (item.get_ref<const std::string&>().size() > options_.maxPayloadBytes) {
      refuse(413, "A payload is larger than " + std::to_string(options_.maxPayloadBytes) + " bytes.");
    }
    incoming.push_back(item.get<std::string>());
  }
  const auto appended = need(storage_.appendNewSignals(session.id, direction, incoming,
                                                       options_.maxPayloadsPerDirection, options_.maxBytesPerDirection));
  if (appended.outcome == Storage::SignalsAppended::tooMany) refuse(429, "Too many signals in this session.");
  if (appended.outcome == Storage::SignalsAppended::tooLarge) {
    refuse(429, "Too much signalling data in this session.");
  }
  return appended.first;
}

// --- client endpoints ----------------------------------------------------------

Json Service::enroll(const Request& request) {
  const Json b = body(request);
  const std::string token = optionalText(b, "token").value_or("");
  const std::string deviceId = optionalText(b, "device").value_or("");
  const std::string bodyKey = optionalText(b, "key").value_or("");
  const std::string name = deviceName(optionalText(b, "name"));
  const std::optional<std::string> publicKey = optionalText(b, "publicKey");
  const std::string installation = optionalText(b, "installation").value_or("");
  if (publicKey) requirePublicKey(*publicKey, "publicKey");
  if (installation.size() > kMaxInstallationBytes) refuse(400, "\"installation\" is too long.");

  // A registered Mac confirms its identity with its key (in the body or as
  // the bearer); that wins over any token it still carries, which stays unspent.
  if (!deviceId.empty()) {
    if (auto device = need(storage_.deviceById(deviceId))) {
      for (std::string_view key : {std::string_view(bodyKey), bearer(request)}) {
        if (key.empty() || !constantTimeEqual(device->keyDigest, secretDigest(key))) continue;
        need(storage_.updateDeviceIdentity(device->id, name.empty() ? device->name : name,
                                           publicKey.value_or(device->publicKey),
                                           installation.empty() ? device->installation : installation));
        return Json{{"id", device->id}, {"key", std::string(key)}};
      }
    }
  }
  if (token.empty()) {
    refuse(401, deviceId.empty() ? "An enrollment token or setup code is required."
                                 : "Unknown device or device key.");
  }
  if (!publicKey) refuse(400, "\"publicKey\" is required to enroll.");

  GrantKind kind = GrantKind::enrollmentToken;
  Bytes digest;
  if (auto code = normalizeSetupCode(token)) {
    kind = GrantKind::setupCode;
    digest = secretDigest(*code);
  } else {
    digest = secretDigest(token);
  }
  const double t = now();
  Device device;
  device.id = newUuid();
  const std::string key = newSecret();
  device.keyDigest = secretDigest(key);
  device.name = name.empty() ? "Computer" : name;
  device.publicKey = *publicKey;
  device.installation = installation;
  atomically(storage_, "grant:" + base64Encode(digest), [&] {
    auto grant = need(storage_.findGrant(kind, digest));
    if (!grant || grant->expires <= t || !need(storage_.removeGrant(kind, digest))) {
      refuse(401, kind == GrantKind::setupCode ? "This setup code is not valid. Ask your technician for a new one."
                                               : "This enrollment token is not valid or was already used.");
    }
    device.technicianId = grant->technicianId;
    need(storage_.addDevice(device));
    audit(AuditRow("device-enrolled")
              .technician(device.technicianId, "")
              .device(device.id, device.name)
              .address(request.remoteAddress)
              .detail(kind == GrantKind::setupCode ? "with a setup code" : "with an enrollment file")
              .entry);
  });
  return Json{{"id", device.id}, {"key", key}};
}

std::string Service::notePoll(const Request& request, const std::string& deviceId, double t) {
  std::lock_guard lock(presenceMutex_);
  Presence& presence = presence_[deviceId];
  // A Mac repeats the same report between changes; only a new one is read.
  if (presence.body.empty() || presence.body != request.body) {
    const Json b = body(request);
    Json report = Json::object();
    for (const char* key : {"videoTransport", "rtcState", "captureError", "captureState"}) {
      if (const std::string* text = jsonString(b, key)) report[key] = truncateUtf8(*text, kMaxStateTextBytes);
    }
    for (const char* key : {"screenPermission", "inputPermission"}) {
      if (auto flag = jsonBool(b, key)) report[key] = *flag;
    }
    if (auto version = jsonInt(b, "controlVersion")) report["controlVersion"] = *version;
    presence.state = dumpJson(report);
    // Real reports are a few hundred bytes; larger ones are not kept.
    presence.body = request.body.size() <= kMaxCachedPollBytes ? request.body : std::string();
  }
  presence.lastPoll = t;
  return presence.state;
}

bool Service::presenceDue(const Device& device, const std::string& state, double t) {
  return state != device.state || t - device.lastSeen >= kPresenceWriteSeconds || t < device.lastSeen;
}

std::optional<Response> Service::answerAtOnce(const Request& request) {
  const auto parts = segments(pathOf(request.target));
  if (request.method != "POST" || parts.size() != 4 || parts[0] != "api" || parts[1] != "device" ||
      parts[3] != "poll") {
    return std::nullopt;
  }
  const std::string_view key = bearer(request);
  if (key.empty()) return std::nullopt;
  const auto cached = storage_.cachedPoll(parts[2]);
  if (!cached || cached->sessionOpen || !constantTimeEqual(cached->device.keyDigest, secretDigest(key))) {
    return std::nullopt;
  }
  try {
    const double t = now();
    const Device& device = cached->device;
    const std::string state = notePoll(request, device.id, t);
    if (presenceDue(device, state, t) && !storage_.updateDevicePresence(device.id, t, state)) return std::nullopt;
    polls_.fetch_add(1, std::memory_order_relaxed);
    Response idle;
    idle.body = "{}";  // what jsonResponse(Json::object()) writes, without building it
    return idle;
  } catch (...) {
    return std::nullopt;  // a malformed body: handle() says why
  }
}

Json Service::devicePoll(const Request& request, std::string_view deviceId) {
  bool sessionOpen = false;
  const Device device = authenticateDevice(request, deviceId, &sessionOpen);
  polls_.fetch_add(1, std::memory_order_relaxed);
  const double t = now();
  const std::string state = notePoll(request, device.id, t);
  if (presenceDue(device, state, t)) need(storage_.updateDevicePresence(device.id, t, state));
  // Polls without a session end here.
  if (!sessionOpen) return Json::object();
  auto open = firstOpen(need(storage_.openSessionsForPoll(device.id)), t,
                       [](Storage::PolledSession& p) -> Session& { return p.session; });
  if (!open) return Json::object();
  const Session& session = open->session;
  Json record{{"id", session.id},
              {"state", std::string(sessionStateName(session.state))},
              {"browserKey", session.browserKey},
              {"salt", session.salt}};
  if (!open->technician.empty()) record["technician"] = open->technician;
  if (session.state == SessionState::approved) record["signals"] = payloadList(std::move(open->signals));
  return Json{{"session", std::move(record)}};
}

Json Service::deviceDecision(const Request& request, std::string_view deviceId) {
  const Device device = authenticateDevice(request, deviceId);
  const Json b = body(request);
  const auto approve = jsonBool(b, "approve");
  if (!approve) refuse(400, "\"approve\" must be true or false.");
  Session session = deviceSession(device, b);
  const double t = now();
  std::optional<Json> answer = transition(session, [&]() -> std::optional<Json> {
    switch (session.state) {
      case SessionState::pending:
        if (!*approve) {
          close(session, SessionState::denied, t);
          auditSession("decision", session, "denied", request.remoteAddress);
          return Json::object();
        }
        session.state = SessionState::approved;
        session.expires = std::floor(t + options_.consentSeconds);
        need(storage_.updateSession(session));
        auditSession("decision", session, "approved", request.remoteAddress);
        return Json{{"expires", session.expires}};
      case SessionState::approved:
        // A repeated approval (its answer was lost) gets the same expiry.
        if (*approve) return Json{{"expires", session.expires}};
        refuse(409, "The session was already approved.");
      case SessionState::denied:
        if (!*approve) return Json::object();
        refuse(409, "The session was already denied.");
      case SessionState::ended:
        // The request ended while the person decided: a refusal stands as it
        // is; an approval comes too late.
        if (!*approve) return Json::object();
        break;
    }
    return std::nullopt;
  });
  if (answer) return std::move(*answer);
  refuse(409, "The request has expired.");
}

Json Service::deviceSignal(const Request& request, std::string_view deviceId) {
  const Device device = authenticateDevice(request, deviceId);
  const Json b = body(request);
  const Session session = deviceSession(device, b);
  // The device's first signal (its offer) is where the session starts.
  if (relay(session, Direction::toConsole, b, kMaxSignalsPerDevicePost)) {
    auditSession("session-start", session, "", request.remoteAddress);
  }
  return Json::object();
}

Json Service::deviceEnd(const Request& request, std::string_view deviceId) {
  const Device device = authenticateDevice(request, deviceId);
  const Json b = body(request);
  Session session = deviceSession(device, b);
  transition(session, [&] {
    if (!isOpen(session.state)) return false;
    close(session, SessionState::ended, now());
    // The app names a failure; every other end at the computer is the person's.
    const auto reason = optionalText(b, "reason");
    auditSession("session-end", session,
                 reason == "failure" ? "ended by a failure at the computer" : "ended by the person",
                 request.remoteAddress);
    return true;
  });
  return Json::object();
}

// --- console endpoints ---------------------------------------------------------

Json Service::exchange(const Request& request) {
  const Json b = body(request);
  const std::string code = requireText(b, "code");
  const std::string verifier = requireText(b, "verifier");
  if (!isValidPkceVerifier(verifier)) refuse(400, "\"verifier\" is not a PKCE verifier.");
  const Bytes digest = secretDigest(code);
  // The code is spent by any attempt, right or wrong (RFC 6749 section 4.1.2).
  auto grant = need(storage_.findGrant(GrantKind::signInCode, digest));
  if (!grant || !need(storage_.removeGrant(GrantKind::signInCode, digest))) {
    refuse(401, "This sign-in was already used or is unknown. Sign in again.");
  }
  if (grant->expires <= now()) refuse(401, "This sign-in took too long. Sign in again.");
  if (!constantTimeEqual(pkceChallenge(verifier), grant->challenge)) {
    refuse(401, "The sign-in could not be verified. Sign in again.");
  }
  auto technician = need(storage_.technicianById(grant->technicianId));
  if (!technician) refuse(401, "This technician no longer exists.");
  const std::string token = newSecret();
  need(storage_.addGrant(Grant{secretDigest(token), GrantKind::technicianToken, technician->id, "",
                               now() + options_.technicianTokenSeconds}));
  return Json{{"token", token}, {"name", technician->name}};
}

Json Service::logout(const Request& request) {
  Bytes digest;
  const Technician technician = authenticateTechnician(request, &digest);
  need(storage_.removeGrant(GrantKind::technicianToken, digest));
  audit(AuditRow("sign-out").technician(technician.id, technician.name).address(request.remoteAddress).entry);
  return Json::object();
}

Json Service::whoami(const Request& request) {
  return Json{{"name", authenticateTechnician(request).name}};
}

Json Service::devices(const Request& request) {
  const Technician technician = authenticateTechnician(request);
  const double t = now();
  Json list = Json::array();
  for (const Device& d : need(storage_.devicesOf(technician.id))) {
    list.push_back(Json{{"id", d.id}, {"name", d.name}, {"online", online(d, t)}, {"publicKey", d.publicKey}});
  }
  return Json{{"devices", std::move(list)}};
}

Json Service::setupCode(const Request& request) {
  const Technician technician = authenticateTechnician(request);
  body(request);
  // Counting the live codes and adding one are atomic per technician.
  std::optional<Expected<std::string>> code;
  need(storage_.transactionOn("technician:" + std::to_string(technician.id), [&]() -> Status {
    code = newSetupCodeFor(technician, request.remoteAddress);
    if (!*code && (*code).error().domain != "Technician") return (*code).error();
    return {};
  }));
  if (!*code) refuse(static_cast<int>((*code).error().code), (*code).error().description);
  return Json{{"code", **code}};
}

Json Service::accessRequest(const Request& request) {
  const Technician technician = authenticateTechnician(request);
  const Json b = body(request);
  Session session;
  session.id = requireText(b, "id");
  if (!isCanonicalUuid(session.id)) refuse(400, "\"id\" must be an upper-case UUID.");
  session.deviceId = requireText(b, "device");
  session.browserKey = requireText(b, "browserKey");
  requirePublicKey(session.browserKey, "browserKey");
  session.salt = requireText(b, "salt");
  const auto salt = base64Decode(session.salt);
  if (!salt || salt->size() != 16) refuse(400, "\"salt\" must be the standard base64 of 16 bytes.");
  session.technicianId = technician.id;
  session.state = SessionState::pending;
  const double t = now();
  session.created = t;

  atomically(storage_, "device:" + session.deviceId, [&] {
    auto device = need(storage_.deviceById(session.deviceId));
    if (!device) refuse(404, "Unknown computer.");
    if (device->technicianId != technician.id) refuse(403, "This computer belongs to another technician.");
    if (auto existing = need(storage_.sessionById(session.id))) {
      const Session known = current(std::move(*existing), t);
      const bool repeat = known.technicianId == session.technicianId && known.deviceId == session.deviceId &&
                          known.browserKey == session.browserKey && known.salt == session.salt &&
                          isOpen(known.state);
      if (repeat) return;  // a retried request whose answer was lost
      refuse(409, "A session with this id exists.");
    }
    if (!online(*device, t)) refuse(409, "The computer is offline.");
    if (openSession(device->id, t)) refuse(409, "The computer already has an open session.");
    throttleAfterDenials(*device, t);
    need(storage_.addSession(session));
    audit(AuditRow("access-request")
              .technician(technician.id, technician.name)
              .device(device->id, device->name)
              .session(session.id)
              .address(request.remoteAddress)
              .entry);
  });
  return Json::object();
}

Json Service::revoke(const Request& request) {
  const Technician technician = authenticateTechnician(request);
  const std::string id = requireText(body(request), "device");
  atomically(storage_, "device:" + id, [&] {
    auto device = need(storage_.deviceById(id));
    if (!device) refuse(404, "Unknown computer.");
    if (device->technicianId != technician.id) refuse(403, "This computer belongs to another technician.");
    need(storage_.removeDevice(device->id));
    std::lock_guard lock(presenceMutex_);
    presence_.erase(device->id);
    audit(AuditRow("device-revoked")
              .technician(technician.id, technician.name)
              .device(device->id, device->name)
              .address(request.remoteAddress)
              .entry);
  });
  return Json::object();
}

Json Service::auditList(const Request& request) {
  const Technician technician = authenticateTechnician(request);
  Json list = Json::array();
  for (const AuditEntry& e : need(storage_.auditEntries(technician.id, kMaxAuditRows))) list.push_back(auditJson(e));
  return Json{{"entries", std::move(list)}};
}

Json Service::sessionStatus(const Request& request, std::string_view sessionId) {
  const Session session = technicianSession(authenticateTechnician(request), sessionId);
  Json out{{"state", std::string(sessionStateName(session.state))}};
  if (session.state == SessionState::approved) out["signals"] = signalList(session, Direction::toConsole);
  return out;
}

Json Service::sessionSignalPost(const Request& request, std::string_view sessionId) {
  const Session session = technicianSession(authenticateTechnician(request), sessionId);
  relay(session, Direction::toDevice, body(request), kMaxSignalsPerConsolePost);
  return Json::object();
}

Json Service::sessionSignalGet(const Request& request, std::string_view sessionId) {
  const Session session = technicianSession(authenticateTechnician(request), sessionId);
  return Json{{"signals", session.state == SessionState::approved ? signalList(session, Direction::toConsole)
                                                                   : Json::array()}};
}

Json Service::sessionEnd(const Request& request, std::string_view sessionId) {
  Session session = technicianSession(authenticateTechnician(request), sessionId);
  body(request);
  transition(session, [&] {
    if (!isOpen(session.state)) return false;
    close(session, SessionState::ended, now());
    auditSession("session-end", session, "ended by the technician", request.remoteAddress);
    return true;
  });
  return Json::object();
}

// --- web portal ------------------------------------------------------------------

namespace {
constexpr const char* kBadLink =
    "This sign-in link is not valid. Start the sign-in again from the Kestrelix Remote app.";
}  // namespace

Response Service::signInForm(const Request& request) {
  auto query = parseForm(queryOf(request.target));
  const auto to = query ? parseSignInReturn((*query)["return"]) : std::nullopt;
  if (!to || !isValidPkceChallenge((*query)["challenge"]) || !isValidState((*query)["state"])) {
    return htmlResponse(400, messagePage("Sign-in link not valid", kBadLink));
  }
  return htmlResponse(200, signInPage((*query)["challenge"], (*query)["state"], *to, ""));
}

const std::string& Service::dummyPasswordHash() {
  std::call_once(dummyOnce_, [this] {
    auto hash = hashPassword("kestrelix-dummy-password", options_.passwordHashing);
    dummyHash_ = hash ? *hash : std::string();
  });
  return dummyHash_;
}

Response Service::signInSubmit(const Request& request) {
  auto form = parseForm(request.body);
  if (!form) return htmlResponse(400, messagePage("Sign-in link not valid", kBadLink));
  const std::string challenge = (*form)["challenge"];
  const std::string state = (*form)["state"];
  const auto to = parseSignInReturn((*form)["return"]);
  if (!to || !isValidPkceChallenge(challenge) || !isValidState(state)) {
    return htmlResponse(400, messagePage("Sign-in link not valid", kBadLink));
  }
  const std::string name = (*form)["name"].substr(0, 256);
  const std::string password = (*form)["password"];
  const std::string& address = request.remoteAddress;

  auto tooMany = [] {
    Response r = htmlResponse(
        429, messagePage("Too many attempts", "Too many failed sign-ins. Wait a few minutes and try again."));
    r.headers.emplace_back("Retry-After", "300");
    return r;
  };

  std::optional<Technician> technician;
  {
    auto lock = serialised();
    const double t = now();
    const auto failures = need(storage_.signInFailures(name, address, t - options_.signInWindowSeconds));
    if (failures.byName >= options_.signInFailuresPerName || failures.byAddress >= options_.signInFailuresPerAddress) {
      return tooMany();
    }
    technician = need(storage_.technicianByName(name));
  }
  // Unknown names cost one scrypt too, so timing does not reveal which names exist.
  const auto checked = checkPassword(password, technician ? technician->passwordHash : dummyPasswordHash());
  if (!checked) {
    Response r = htmlResponse(503, messagePage("Service busy", "Too many sign-ins at once. Try again in a moment."));
    r.headers.emplace_back("Retry-After", "5");
    return r;
  }
  const bool verified = *checked && technician;

  auto lock = serialised();
  const double t = now();
  if (!verified) {
    need(storage_.addSignInFailure(name, address, t));
    signInFailures_.fetch_add(1, std::memory_order_relaxed);
    audit(AuditRow("sign-in-failed")
              .technician(technician ? technician->id : 0, printableName(name))
              .address(address)
              .detail("wrong name or password")
              .entry);
    return htmlResponse(401, signInPage(challenge, state, *to, "Wrong name or password."));
  }
  need(storage_.clearSignInFailures(name));
  const std::string code = newSecret();
  need(storage_.addGrant(Grant{secretDigest(code), GrantKind::signInCode, technician->id, challenge,
                               t + options_.signInCodeSeconds}));
  audit(AuditRow("sign-in").technician(technician->id, technician->name).address(address).entry);
  Response r = htmlResponse(303, messagePage("Signed in", "Return to the Kestrelix Remote app."));
  r.headers.emplace_back("Location", signInCallback(*to, code, state));
  return r;
}

std::optional<bool> Service::checkPassword(std::string_view password, std::string_view hash) {
  std::unique_lock lock(checksMutex_);
  if (checksRunning_ >= options_.concurrentPasswordChecks) {
    if (checksWaiting_ >= options_.waitingPasswordChecks) return std::nullopt;
    ++checksWaiting_;
    checkDone_.wait(lock, [&] { return checksRunning_ < options_.concurrentPasswordChecks; });
    --checksWaiting_;
  }
  ++checksRunning_;
  lock.unlock();
  const bool verified = verifyPassword(password, hash);
  lock.lock();
  --checksRunning_;
  checkDone_.notify_one();
  return verified;
}

Response Service::download(const Request&) { return htmlResponse(200, downloadPage(options_.installerUrl)); }

// --- administration ---------------------------------------------------------------

Status Service::addTechnician(std::string_view name, std::string_view password) {
  if (!isValidTechnicianName(name)) {
    return makeError("Technician", 1, "A name has 1 to 64 printable characters and no surrounding spaces.");
  }
  if (password.size() < kMinPasswordLength || password.size() > kMaxPasswordLength) {
    return makeError("Technician", 1, "A password has 8 to 1024 characters.");
  }
  auto hash = hashPassword(password, options_.passwordHashing);
  if (!hash) return std::move(hash).error();
  auto lock = serialised();
  return storage_.transaction([&]() -> Status {
    auto id = storage_.addTechnician(name, *hash);
    if (!id) return std::move(id).error();
    return storage_.appendAudit(AuditRow("technician-added").at(now()).technician(*id, std::string(name)).entry);
  });
}

Status Service::removeTechnician(std::string_view name) {
  auto lock = serialised();
  return storage_.transaction([&]() -> Status {
    auto technician = storage_.technicianByName(name);
    if (!technician) return std::move(technician).error();
    if (!*technician) return makeError("Technician", 1, "No technician is named " + std::string(name) + ".");
    if (Status s = storage_.removeTechnician((*technician)->id); !s) return s;
    return storage_.appendAudit(
        AuditRow("technician-removed").at(now()).technician((*technician)->id, std::string(name)).entry);
  });
}

Expected<std::string> Service::newSetupCodeFor(const Technician& technician, std::string_view address) {
  const double t = now();
  auto live = storage_.liveGrantCount(GrantKind::setupCode, technician.id, t);
  if (!live) return std::move(live).error();
  if (*live >= options_.maxLiveSetupCodes) {
    return makeError(
        "Technician", 429,
        "You already have " + std::to_string(*live) + " unused setup codes. Use them or wait until they expire.");
  }
  const std::string code = newSetupCode();
  Status s = storage_.addGrant(
      Grant{secretDigest(code), GrantKind::setupCode, technician.id, "", t + options_.setupCodeSeconds});
  if (s) {
    s = storage_.appendAudit(AuditRow("setup-code-created")
                                 .at(t)
                                 .technician(technician.id, technician.name)
                                 .address(std::string(address))
                                 .entry);
  }
  if (!s) return std::move(s).error();
  return code;
}

Expected<std::string> Service::createEnrollmentToken(std::string_view name) {
  auto lock = serialised();
  auto technician = storage_.technicianByName(name);
  if (!technician) return std::move(technician).error();
  if (!*technician) return makeError("Technician", 1, "No technician is named " + std::string(name) + ".");
  const std::string secret = newSecret();
  Status s = storage_.addGrant(Grant{secretDigest(secret), GrantKind::enrollmentToken, (*technician)->id, "",
                                     now() + options_.enrollmentTokenSeconds});
  if (!s) return std::move(s).error();
  return secret;
}

Expected<std::string> Service::createSetupCode(std::string_view name) {
  auto lock = serialised();
  auto technician = storage_.technicianByName(name);
  if (!technician) return std::move(technician).error();
  if (!*technician) return makeError("Technician", 1, "No technician is named " + std::string(name) + ".");
  return newSetupCodeFor(**technician, "");
}

Expected<std::vector<AuditEntry>> Service::auditLog(std::string_view name, size_t limit) {
  auto lock = serialised();
  int64_t id = 0;
  if (!name.empty()) {
    auto technician = storage_.technicianByName(name);
    if (!technician) return std::move(technician).error();
    if (!*technician) return makeError("Technician", 1, "No technician is named " + std::string(name) + ".");
    id = (*technician)->id;
  }
  return storage_.auditEntries(id, limit);
}

Json auditJson(const AuditEntry& e) {
  return Json{{"id", e.id},         {"time", e.time},         {"event", e.event},       {"technician", e.technician},
              {"device", e.device}, {"deviceId", e.deviceId}, {"session", e.sessionId}, {"address", e.address},
              {"detail", e.detail}};
}

Response Service::monitor(const Request& request, std::string_view extra) {
  const std::string_view path = pathOf(request.target);
  if (path != "/healthz" && path != "/metrics") return errorResponse(404, "Not found.");
  if (request.method != "GET") return methodNotAllowed("GET");
  size_t open = 0;
  size_t queued = 0;
  try {
    auto lock = serialised();
    for (const Session& s : need(storage_.openSessions(""))) {
      ++open;
      for (Direction d : {Direction::toDevice, Direction::toConsole}) queued += need(storage_.signals(s.id, d)).size();
    }
  } catch (const StorageFailure& failure) {
    Response r = errorResponse(503, "The storage does not answer: " + failure.error.summary());
    return r;
  }
  Response r;
  r.contentType = "text/plain; version=0.0.4; charset=utf-8";
  if (path == "/healthz") {
    r.body = "ok\n";
    return r;
  }
  r.body = "# TYPE kx_polls_total counter\nkx_polls_total " + std::to_string(polls_.load()) +
           "\n# TYPE kx_sessions_open gauge\nkx_sessions_open " + std::to_string(open) +
           "\n# TYPE kx_relay_queued_signals gauge\nkx_relay_queued_signals " + std::to_string(queued) +
           "\n# TYPE kx_sign_in_failures_total counter\nkx_sign_in_failures_total " +
           std::to_string(signInFailures_.load()) + "\n" + std::string(extra);
  return r;
}

Status Service::sweep() {
  auto lock = serialised();
  const double t = now();
  try {
    openSession("", t);
  } catch (const StorageFailure& f) {
    return f.error;
  }
  {
    std::lock_guard presenceLock(presenceMutex_);
    std::erase_if(presence_, [&](const auto& entry) { return t - entry.second.lastPoll > options_.onlineSeconds; });
  }
  return storage_.purge(t, t - options_.closedSessionSeconds, t - options_.signInWindowSeconds);
}

}  // namespace kx::service
