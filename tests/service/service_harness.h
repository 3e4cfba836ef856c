// A Service on a private in-memory database and a virtual clock, with the
// steps that several tests share (sign in, make a Mac, request access) done
// through the public API, as the app would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "runtime/basic_loop.h"
#include "service/secrets.h"
#include "service/service.h"
#include "service/sqlite_storage.h"

namespace kx::service::testing {

// RFC 7636 appendix B.
inline constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
inline constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
inline constexpr const char* kState = "0123456789abcdef0123456789abcdef";
inline constexpr const char* kPassword = "correct-horse-battery";

struct Reply {
  int status = 0;
  Json json;  // discarded when the body is not JSON
  Response raw;

  std::string error() const {
    const std::string* text = jsonString(json, "error");
    return text ? *text : "";
  }
  std::string header(std::string_view name) const {
    for (const auto& [key, value] : raw.headers) {
      if (key == name) return value;
    }
    return {};
  }
};

struct Mac {
  std::string id;
  std::string key;
  std::string publicKey;
};

inline std::string newPublicKey() { return base64Encode(P256PrivateKey::generate().publicKeyX963()); }
inline std::string newSalt() { return base64Encode(randomBytes(16)); }

// Cheap hashing keeps the tests fast; one test checks the real parameters.
inline ServiceOptions testOptions() {
  ServiceOptions options;
  options.passwordHashing.n = 16;
  return options;
}

class ServiceHarness : public ::testing::Test {
 protected:
  explicit ServiceHarness(ServiceOptions options = testOptions())
      : storage_(SqliteStorage::open(":memory:").value()), service_(*storage_, clock_, std::move(options)) {
    EXPECT_TRUE(service_.addTechnician("alice", kPassword).ok());
    EXPECT_TRUE(service_.addTechnician("bob", kPassword).ok());
  }

  Reply call(std::string method, std::string target, std::string bearer = "", std::string body = "",
             std::string address = "192.0.2.1") {
    Request request;
    request.method = std::move(method);
    request.target = std::move(target);
    if (!bearer.empty()) request.authorization = "Bearer " + bearer;
    request.body = std::move(body);
    request.remoteAddress = std::move(address);
    Reply reply;
    reply.raw = service_.handle(request);
    reply.status = reply.raw.status;
    reply.json = parseJson(reply.raw.body).value_or(Json());
    return reply;
  }
  Reply post(std::string target, const Json& body, std::string bearer = "") {
    return call("POST", std::move(target), std::move(bearer), dumpJson(body));
  }
  Reply get(std::string target, std::string bearer) { return call("GET", std::move(target), std::move(bearer)); }

  // Portal sign-in: the sign-in code of the 303 redirect, or "".
  std::string signInCode(const std::string& name, const std::string& password = kPassword,
                         const std::string& challenge = kChallenge, std::string address = "192.0.2.1") {
    Reply r = call("POST", "/native-sign-in", "",
                   "name=" + name + "&password=" + password + "&challenge=" + challenge + "&state=" + kState,
                   std::move(address));
    if (r.status != 303) return {};
    const std::string location = r.header("Location");
    const size_t code = location.find("code=");
    const size_t amp = location.find('&', code);
    return location.substr(code + 5, amp - code - 5);
  }

  std::string signIn(const std::string& name) {
    Reply r = post("/api/admin/exchange", Json{{"code", signInCode(name)}, {"verifier", kVerifier}});
    EXPECT_EQ(r.status, 200) << r.raw.body;
    return jsonString(r.json, "token") ? *jsonString(r.json, "token") : "";
  }

  std::string setupCode(const std::string& token) {
    Reply r = post("/api/admin/setup-code", Json::object(), token);
    EXPECT_EQ(r.status, 200) << r.raw.body;
    return jsonString(r.json, "code") ? *jsonString(r.json, "code") : "";
  }

  Reply enroll(const std::string& token, const std::string& publicKey, const std::string& name = "Studio Mac") {
    return post("/api/enroll", Json{{"token", token},
                                    {"installation", "INSTALL-1"},
                                    {"device", ""},
                                    {"key", ""},
                                    {"name", name},
                                    {"publicKey", publicKey}});
  }

  // A Mac of the technician holding `token`, enrolled with a setup code and online.
  Mac makeMac(const std::string& token) {
    Mac mac;
    mac.publicKey = newPublicKey();
    Reply r = enroll(setupCode(token), mac.publicKey);
    EXPECT_EQ(r.status, 200) << r.raw.body;
    mac.id = jsonString(r.json, "id") ? *jsonString(r.json, "id") : "";
    mac.key = jsonString(r.json, "key") ? *jsonString(r.json, "key") : "";
    EXPECT_EQ(poll(mac).status, 200);
    return mac;
  }

  Reply poll(const Mac& mac, const Json& state = Json{{"videoTransport", "webrtc"}, {"rtcState", "new"}}) {
    return post("/api/device/" + mac.id + "/poll", state, mac.key);
  }

  Reply requestAccess(const std::string& token, const Mac& mac, const std::string& sid) {
    return post("/api/admin/request",
                Json{{"id", sid}, {"device", mac.id}, {"browserKey", newPublicKey()}, {"salt", newSalt()}}, token);
  }

  Reply decide(const Mac& mac, const std::string& sid, bool approve) {
    return post("/api/device/" + mac.id + "/decision", Json{{"session", sid}, {"approve", approve}}, mac.key);
  }

  std::string status(const std::string& token, const std::string& sid) {
    Reply r = get("/api/admin/session/" + sid + "/status", token);
    const std::string* state = jsonString(r.json, "state");
    return state ? *state : "HTTP " + std::to_string(r.status);
  }

  // An approved session between alice and one of her Macs.
  struct Approved {
    std::string token;
    Mac mac;
    std::string sid;
  };
  Approved approvedSession() {
    Approved a;
    a.token = signIn("alice");
    a.mac = makeMac(a.token);
    a.sid = newUuid();
    EXPECT_EQ(requestAccess(a.token, a.mac, a.sid).status, 200);
    EXPECT_EQ(decide(a.mac, a.sid, true).status, 200);
    return a;
  }

  VirtualLoop clock_{1000.0, 1.8e9};
  std::unique_ptr<SqliteStorage> storage_;
  Service service_;
};

}  // namespace kx::service::testing
