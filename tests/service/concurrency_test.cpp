// What lets one service process answer requests side by side: the PROXY
// header that names the client behind a load balancer, and the rules that
// must stay atomic when handlers run at once on a pool of PostgreSQL
// connections (a code is spent once, a Mac has one open session).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "driver/throwaway_postgres.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "runtime/basic_loop.h"
#include "service/postgres_storage.h"
#include "service/proxy_header.h"
#include "service/secrets.h"
#include "service/service.h"

namespace kx::service {
namespace {

using Outcome = ProxyHeader::Outcome;

std::string v2(uint8_t command, uint8_t family, std::string addresses) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(addresses.size() >> 8);
  h += static_cast<char>(addresses.size() & 0xFF);
  return h + addresses;
}
const std::string kV4 = std::string("\xCB\x00\x71\x07\xC0\x00\x02\x01\x1F\x90\x01\xBB", 12);  // 203.0.113.7:8080

TEST(ProxyHeader, AcceptsOnlyWellFormedHeadersAndNamesTheClient) {
  const std::string v6(36, '\0');
  const struct {
    std::string bytes;
    Outcome outcome;
    std::string source;
  } cases[] = {
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234 443\r\nGET", Outcome::complete, "203.0.113.7"},
      {"PROXY TCP6 2001:DB8::1 2001:db8::2 1 65535\r\n", Outcome::complete, "2001:db8::1"},
      {"PROXY UNKNOWN whatever\r\n", Outcome::complete, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234", Outcome::needMore, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 51234 65536\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 051234 443\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7  192.0.2.1 51234 443\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 2001:db8::1 192.0.2.1 1 2\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7 192.0.2.1 1 2 3\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7\r192.0.2.1 1 2", Outcome::invalid, ""},
      {"PROXY TCP4 " + std::string(100, '1'), Outcome::invalid, ""},
      {"GET / HTTP/1.1\r\n\r\n", Outcome::invalid, ""},
      {"\x16\x03\x01", Outcome::invalid, ""},
      {v2(1, 0x11, kV4) + "\x16", Outcome::complete, "203.0.113.7"},
      {v2(1, 0x21, std::string(15, '\0') + "\x01" + std::string(20, '\0')), Outcome::complete, "::1"},
      {v2(1, 0x11, kV4 + std::string("\x04\x00\x02xy", 5)), Outcome::complete, "203.0.113.7"},  // a TLV
      {v2(0, 0x00, ""), Outcome::complete, ""},  // LOCAL: a health check
      {v2(1, 0x11, kV4).substr(0, 20), Outcome::needMore, ""},
      {v2(1, 0x11, kV4 + std::string("\x04\x00\x09xy", 5)), Outcome::invalid, ""},  // TLV overruns
      {v2(1, 0x11, kV4.substr(0, 8)), Outcome::invalid, ""},                        // addresses cut short
      {v2(1, 0x21, kV4), Outcome::invalid, ""},
      {v2(1, 0x12, kV4), Outcome::invalid, ""},  // datagrams
      {v2(2, 0x11, kV4), Outcome::invalid, ""},  // no such command
      {v2(1, 0x11, std::string(kMaxProxyHeaderBytes, '\0')), Outcome::invalid, ""},
      {"\r\n\r\n\0\r\nQUIX\n" + std::string(4, '\0'), Outcome::invalid, ""},
  };
  for (const auto& c : cases) {
    const ProxyHeader h = parseProxyHeader(c.bytes);
    EXPECT_EQ(h.outcome, c.outcome) << c.bytes;
    EXPECT_EQ(h.source, c.source) << c.bytes;
    if (h.outcome == Outcome::complete) {
      EXPECT_LE(h.length, c.bytes.size()) << c.bytes;
    }
  }
  EXPECT_EQ(parseProxyHeader(v2(1, 0x11, kV4) + "\x16").length, 28u);
}

// How many of `requests`, sent from as many threads at once, got each status.
std::map<int, int> atOnce(Service& service, const std::vector<Request>& requests) {
  std::vector<int> statuses(requests.size());
  std::atomic<size_t> ready{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] {
      for (++ready; ready < requests.size();) std::this_thread::yield();
      statuses[i] = service.handle(requests[i]).status;
    });
  }
  for (auto& t : threads) t.join();
  std::map<int, int> counts;
  for (int status : statuses) ++counts[status];
  return counts;
}

Request post(std::string target, std::string body, const std::string& bearer = "") {
  return Request{"POST", std::move(target), bearer.empty() ? "" : "Bearer " + bearer, "", std::move(body),
                 "192.0.2.1"};
}

TEST(ConcurrentHandlersOnPostgres, SpendACodeOnceAndOpenOneSessionPerMac) {
  auto pg = driver::ThrowawayPostgres::start();
  if (!pg) GTEST_SKIP() << "PostgreSQL cannot start on this machine: " << pg.error().description;
  auto storage = PostgresStorage::open((*pg)->createDatabase("concurrency").value(), 8).value();
  VirtualLoop clock;
  ServiceOptions options;
  options.passwordHashing.n = 16;
  Service service(*storage, clock, options);
  ASSERT_TRUE(service.addTechnician("alice", "correct-horse").ok());
  const std::string publicKey = base64Encode(P256PrivateKey::generate().publicKeyX963());
  auto enroll = [&](const std::string& code) {
    return post("/api/enroll", dumpJson(Json{{"token", code}, {"publicKey", publicKey}}));
  };

  const std::vector<Request> spends(8, enroll(service.createSetupCode("alice").value()));
  EXPECT_EQ(atOnce(service, spends), (std::map<int, int>{{200, 1}, {401, 7}}));

  // A Mac online, and a console token of alice's.
  const Json mac = parseJson(service.handle(enroll(service.createSetupCode("alice").value())).body).value();
  const std::string id = mac.value("id", "");
  ASSERT_EQ(service.handle(post("/api/device/" + id + "/poll", "{}", mac.value("key", ""))).status, 200);
  const int64_t alice = storage->technicianByName("alice").value()->id;
  ASSERT_TRUE(storage->addGrant(Grant{secretDigest("token"), GrantKind::technicianToken, alice, "", 1e12}).ok());
  std::vector<Request> requests;
  for (int i = 0; i < 8; ++i) {
    requests.push_back(post("/api/admin/request",
                            dumpJson(Json{{"id", newUuid()}, {"device", id}, {"browserKey", publicKey},
                                          {"salt", base64Encode(randomBytes(16))}}),
                            "token"));
  }
  EXPECT_EQ(atOnce(service, requests), (std::map<int, int>{{200, 1}, {409, 7}}));
}

}  // namespace
}  // namespace kx::service
