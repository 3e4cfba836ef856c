// Fuzzes the service's request handlers: each input is a short sequence of
// requests (method, path, credential, body, passing time) against a seeded
// service, so that state changes (spent codes, ended sessions, full relays)
// are reached as well. Each input runs inside one storage transaction that is
// rolled back afterwards, so every input starts from the same seed. Placeholders ("@D", "@S", ...) in paths and
// bodies stand for the seeded ids and secrets, which a fuzzer cannot guess.
#include <cstddef>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "runtime/basic_loop.h"
#include "service/secrets.h"
#include "service/service.h"
#include "service/sqlite_storage.h"

namespace {

using namespace kx;
using namespace kx::service;

struct World {
  std::string deviceA = "11111111-1111-4111-8111-111111111111";
  std::string deviceB = "22222222-2222-4222-8222-222222222222";
  std::string keyA = "device-key-a";
  std::string keyB = "device-key-b";
  std::string tokenAlice = "token-alice";
  std::string tokenBob = "token-bob";
  std::string approved = "33333333-3333-4333-8333-333333333333";
  std::string pending = "44444444-4444-4444-8444-444444444444";
  std::string setupCode = "0123456789ABCDEF0123";
  std::string enrollmentToken = "enrollment-token";
  std::string signInCode = "sign-in-code";
  std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
  std::string publicKey;
  std::string salt = base64Encode(Bytes(16, 7));
  std::string passwordHash;
};

const World& world() {
  static World* w = [] {
    auto* made = new World;
    made->publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
    ScryptParameters cheap;
    cheap.n = 16;
    made->passwordHash = hashPassword("password", cheap).value();
    return made;
  }();
  return *w;
}

void seed(Storage& storage, double now) {
  const World& w = world();
  const int64_t alice = storage.addTechnician("alice", w.passwordHash).value();
  const int64_t bob = storage.addTechnician("bob", w.passwordHash).value();
  Device a;
  a.id = w.deviceA;
  a.technicianId = alice;
  a.keyDigest = secretDigest(w.keyA);
  a.name = "A";
  a.publicKey = w.publicKey;
  a.lastSeen = now;
  Device b = a;
  b.id = w.deviceB;
  b.technicianId = bob;
  b.keyDigest = secretDigest(w.keyB);
  (void)storage.addDevice(a);
  (void)storage.addDevice(b);
  (void)storage.addGrant(Grant{secretDigest(w.tokenAlice), GrantKind::technicianToken, alice, "", now + 1e6});
  (void)storage.addGrant(Grant{secretDigest(w.tokenBob), GrantKind::technicianToken, bob, "", now + 1e6});
  (void)storage.addGrant(Grant{secretDigest(w.setupCode), GrantKind::setupCode, alice, "", now + 1e5});
  (void)storage.addGrant(Grant{secretDigest(w.enrollmentToken), GrantKind::enrollmentToken, bob, "", now + 1e5});
  (void)storage.addGrant(
      Grant{secretDigest(w.signInCode), GrantKind::signInCode, alice, pkceChallenge(w.verifier), now + 60});
  (void)storage.addSession(Session{w.approved, w.deviceA, alice, SessionState::approved, w.publicKey, w.salt, now,
                                   now + 1800, 0});
  (void)storage.addSession(
      Session{w.pending, w.deviceB, bob, SessionState::pending, w.publicKey, w.salt, now, 0, 0});
  (void)storage.appendSignals(w.approved, Direction::toDevice, {"seed"});
}

std::string expand(std::string_view text) {
  const World& w = world();
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '@' || i + 1 >= text.size()) {
      out.push_back(text[i]);
      continue;
    }
    switch (text[++i]) {
      case 'D': out += w.deviceA; break;
      case 'E': out += w.deviceB; break;
      case 'S': out += w.approved; break;
      case 'P': out += w.pending; break;
      case 'K': out += w.keyA; break;
      case 'C': out += w.setupCode; break;
      case 'T': out += w.enrollmentToken; break;
      case 'G': out += w.signInCode; break;
      case 'V': out += w.verifier; break;
      case 'H': out += pkceChallenge(w.verifier); break;
      case 'B': out += w.publicKey; break;
      case 'L': out += w.salt; break;
      case 'U': out += "55555555-5555-4555-8555-555555555555"; break;
      default: out.push_back('@'); out.push_back(text[i]);
    }
  }
  return out;
}

// Reads bytes front to back; zeros once they run out.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  uint8_t next() {
    if (bytes_.empty()) return 0;
    const auto b = static_cast<uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return b;
  }
  std::string_view take(size_t n) {
    const std::string_view out = bytes_.substr(0, n);
    bytes_.remove_prefix(out.size());
    return out;
  }
  std::string_view rest() const { return bytes_; }

 private:
  std::string_view bytes_;
};

// The keys the handlers read, so that built bodies reach past the first check.
constexpr const char* kKeys[] = {
    "token", "installation", "device", "key", "name", "publicKey", "session", "approve",
    "payloads", "code", "verifier", "id", "browserKey", "salt", "rtcState", "controlVersion",
    "screenPermission", "captureError", "reason",
};
constexpr const char* kValues[] = {"@B", "@L", "@U", "@S", "@P", "@D", "@E", "@K", "@C", "@T", "@G", "@V", "@H", ""};

Json buildValue(ByteReader& in, int depth) {
  switch (in.next() % 9) {
    case 0: return expand(in.take(in.next() % 48));
    case 1: return (in.next() & 1) != 0;
    case 2: return static_cast<int64_t>(static_cast<int8_t>(in.next())) * 1000;
    case 3: return nullptr;
    case 4: {
      Json list = Json::array();
      for (int n = in.next() % 20; n > 0; --n) list.push_back(expand(in.take(in.next() % 24)));
      return list;
    }
    case 5: return 2.5;
    case 6: {
      if (depth > 1) return Json::object();
      Json object = Json::object();
      for (int n = in.next() % 3; n > 0; --n) {
        const char* key = kKeys[in.next() % std::size(kKeys)];
        object[key] = buildValue(in, depth + 1);
      }
      return object;
    }
    default: return expand(kValues[in.next() % std::size(kValues)]);
  }
}

// A JSON object of known keys and values of any type.
std::string buildBody(ByteReader& in) {
  Json body = Json::object();
  for (int n = in.next() % 6; n > 0; --n) {
    const char* key = kKeys[in.next() % std::size(kKeys)];  // read before the value
    body[key] = buildValue(in, 0);
  }
  return dumpJson(body);
}

struct Route {
  const char* method;
  const char* path;
};

constexpr Route kRoutes[] = {
    {"POST", "/api/enroll"},
    {"POST", "/api/device/@D/poll"},
    {"POST", "/api/device/@D/decision"},
    {"POST", "/api/device/@D/signal"},
    {"POST", "/api/device/@D/end"},
    {"POST", "/api/device/@E/decision"},
    {"POST", "/api/admin/exchange"},
    {"POST", "/api/admin/logout"},
    {"GET", "/api/admin/whoami"},
    {"GET", "/api/admin/devices"},
    {"POST", "/api/admin/setup-code"},
    {"POST", "/api/admin/request"},
    {"GET", "/api/admin/session/@S/status"},
    {"GET", "/api/admin/session/@P/status"},
    {"POST", "/api/admin/session/@S/signal"},
    {"GET", "/api/admin/session/@S/signal"},
    {"POST", "/api/admin/session/@S/end"},
    {"GET", "/native-sign-in?challenge=@H&state=0123456789abcdef0123456789abcdef"},
    {"POST", "/native-sign-in"},
    {"GET", "/download"},
    {"POST", "/api/admin/revoke"},
    {"GET", "/api/admin/audit"},
};
constexpr size_t kRouteCount = sizeof kRoutes / sizeof kRoutes[0];

SqliteStorage& seededStorage() {
  static SqliteStorage* storage = [] {
    VirtualLoop clock;
    auto opened = SqliteStorage::open(":memory:");
    if (!opened) __builtin_trap();
    seed(**opened, clock.wallTime());
    return opened->release();
  }();
  return *storage;
}

void run(std::string_view input, SqliteStorage& storage) {
  VirtualLoop clock;
  ServiceOptions options;
  options.passwordHashing.n = 16;
  // Small relay bounds so that a short input can reach them.
  options.maxPayloadsPerDirection = 6;
  options.maxBytesPerDirection = 512;
  options.maxPayloadBytes = 200;
  options.signInFailuresPerName = 2;
  options.signInFailuresPerAddress = 3;
  Service service(storage, clock, options);

  // Requests are separated by a 0xFF byte. Each: route, credential, time and
  // body-form bytes, then either a built JSON body, or "path\nbody" for a
  // free-form route, or a raw body.
  int requests = 0;
  while (!input.empty() && requests++ < 8) {
    const size_t end = input.find('\xff');
    std::string_view one = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (one.size() < 4) continue;
    ByteReader in(one);
    const uint8_t route = in.next();
    const uint8_t credential = in.next();
    const uint8_t wait = in.next();
    const bool built = (in.next() & 3) != 0;
    one = in.rest();

    Request request;
    request.remoteAddress = (credential & 0x80) ? "198.51.100.1" : "198.51.100.2";
    if (route < kRouteCount) {
      request.method = kRoutes[route].method;
      request.target = expand(kRoutes[route].path);
      request.body = built ? buildBody(in) : expand(one);
    } else {
      const size_t newline = one.find('\n');
      request.method = (route & 1) ? "POST" : "GET";
      request.target = expand(one.substr(0, newline));
      request.body = newline == std::string_view::npos ? std::string() : expand(one.substr(newline + 1));
    }
    const World& w = world();
    switch (credential & 0x07) {
      case 1: request.authorization = "Bearer " + w.keyA; break;
      case 2: request.authorization = "Bearer " + w.keyB; break;
      case 3: request.authorization = "Bearer " + w.tokenAlice; break;
      case 4: request.authorization = "Bearer " + w.tokenBob; break;
      case 5: request.authorization = "bearer   " + w.keyA + " "; break;
      case 6: request.authorization = "Bearer"; break;
      default: break;
    }
    // Up to ~30 minutes in uneven steps, to cross every expiry.
    clock.advance(static_cast<double>(wait) * static_cast<double>(wait) / 36.0);

    const Response response = service.handle(request);
    // KX_FUZZ_TRACE=1 prints each exchange (to read what an input does).
    static const bool trace = std::getenv("KX_FUZZ_TRACE") != nullptr;
    if (trace) {
      std::fprintf(stderr, "%s %s [%s] %s\n  -> %d %.200s\n", request.method.c_str(), request.target.c_str(),
                   request.authorization.c_str(), request.body.c_str(), response.status, response.body.c_str());
    }
    // Every refusal is a JSON object with an "error" text; every answer of
    // the API is a JSON object.
    const bool api = request.target.rfind("/api/", 0) == 0;
    if (api || response.contentType == "application/json") {
      auto body = parseJsonObject(response.body);
      if (!body) __builtin_trap();
      if (response.status != 200 && !jsonString(*body, "error")) __builtin_trap();
    }
    if (response.status < 200 || response.status > 599) __builtin_trap();
  }
  (void)service.sweep();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SqliteStorage& storage = seededStorage();
  const Status undone = storage.transaction([&]() -> Status {
    run(std::string_view(reinterpret_cast<const char*>(data), size), storage);
    return makeError("Fuzz", 1, "roll back");
  });
  (void)undone;
  return 0;
}
