// Credentials (setup codes, PKCE, password hashes), the portal's form and
// markup helpers, the configuration file, the console's static files and the
// PROXY header that names the client behind a load balancer.
#include <gtest/gtest.h>

#include "service/config_file.h"
#include "service/console_assets.h"
#include "service/portal.h"
#include "service/proxy_header.h"
#include "service/secrets.h"

namespace kx::service {
namespace {

// RFC 7636: the appendix B pair, and what a verifier may be.
TEST(Secrets, PkceChallengeAndVerifiers) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  for (const auto& [verifier, valid] : {std::pair{std::string(43, 'a'), true}, {std::string(128, '~'), true},
                                        {"abc.DEF_ghi-JKL~0123456789abcdefghijklmnopq", true},
                                        {std::string(42, 'a'), false}, {std::string(129, 'a'), false},
                                        {std::string(42, 'a') + "+", false}}) {
    EXPECT_EQ(isValidPkceVerifier(verifier), valid) << verifier;
  }
  EXPECT_TRUE(isValidPkceChallenge(pkceChallenge(newSecret())));
  EXPECT_FALSE(isValidPkceChallenge(std::string(43, '=')));
}

TEST(Secrets, PasswordHashVerifiesOnlyTheRightPasswordAtTheRealCostAndNeverAPlantedOne) {
  const std::string hash = hashPassword("open sesame", ScryptParameters{}).value();
  EXPECT_EQ(hash.rfind("scrypt$32768$8$1$", 0), 0u);
  EXPECT_TRUE(verifyPassword("open sesame", hash));
  EXPECT_FALSE(verifyPassword("open sesame!", hash));
  ScryptParameters cheap;
  cheap.n = 16;
  const std::string small = hashPassword("pw", cheap).value();
  EXPECT_NE(small, hashPassword("pw", cheap).value());  // fresh salt
  std::string heavy = small, odd = small, flipped = small;
  heavy.replace(7, 2, "1073741824");  // N = 2^30 would need 1 TiB
  odd.replace(7, 2, "15");            // not a power of two
  flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == 'A' ? 'B' : 'A';
  for (const std::string& bad : {std::string(), std::string("scrypt$16$8$1$AAAA"), heavy, odd, flipped}) {
    EXPECT_FALSE(verifyPassword("pw", bad)) << bad;
  }
  // The bound that keeps planted parameters from being tried is the one hashing obeys.
  const ScryptParameters planted[] = {{uint64_t{1} << 20, 32, 1}, {uint64_t{1} << 15, 8, 16}};  // 4 GiB; 16× work
  for (const ScryptParameters& p : planted) EXPECT_FALSE(hashPassword("pw", p).ok()) << p.n << " " << p.p;
}

TEST(Portal, FormDecodingAndMarkupEscaping) {
  auto form = parseForm("name=Dana+%C3%98&password=a%2Bb%26c%3Dd&empty=&flag&name=second");
  ASSERT_TRUE(form);
  EXPECT_EQ(*form, (std::map<std::string, std::string>{
                       {"name", "Dana \xC3\x98"}, {"password", "a+b&c=d"}, {"empty", ""}, {"flag", ""}}));
  std::string many;
  for (int i = 0; i < 33; ++i) many += "k" + std::to_string(i) + "=v&";
  for (const std::string& bad : {std::string("a=%4"), std::string("a=%zz"), many}) EXPECT_FALSE(parseForm(bad)) << bad;
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(ConfigFile, ReadsNamesAndValuesAndRefusesMistakesWithTheirLine) {
  auto values = parseConfig("# the service\nlisten = 0.0.0.0:8443\r\n\n  data=/var/lib/kx-service  \n"
                            "cert = /etc/ssl/a b.pem\nurl = https://support.example.com:8443/x=y");
  ASSERT_TRUE(values) << values.error().description;
  EXPECT_EQ(*values, (ConfigValues{{"listen", "0.0.0.0:8443"},
                                   {"data", "/var/lib/kx-service"},
                                   {"cert", "/etc/ssl/a b.pem"},
                                   {"url", "https://support.example.com:8443/x=y"}}));
  const std::pair<std::string, std::string> refusals[] = {
      {"listen 0.0.0.0:8443", "line 1: expected name = value"},
      {"# ok\nlisten = a:1\nlisten = b:2", "line 3: listen is set twice"},
      {"lisen = a:1", "line 1: unknown name \"lisen\""},
      {"#" + std::string(64 * 1024, 'x'), "the file is larger than 64 KiB"},
  };
  for (const auto& [text, description] : refusals) {
    auto refused = parseConfig(text);
    ASSERT_FALSE(refused) << description;
    EXPECT_EQ(refused.error().description, description);
  }
}

ConsoleAssets assets(std::string script = "export {};") {
  return ConsoleAssets::fromFiles({{"index.html", "<script type=module src=\"/console/%VERSION%/page.js\"></script>"},
                                   {"page.js", std::move(script)},
                                   {"console.css", "body{}"}})
      .value();
}

TEST(ConsoleAssets, PageNamesItsAssetsByVersionAndOnlyThatVersionIsServed) {
  const ConsoleAssets console = assets();
  const std::string v = console.version(), immutable = "public, max-age=31536000, immutable";
  EXPECT_NE(assets("export const changed = 1;").version(), v);
  const std::tuple<std::string, std::string, int, std::string> cases[] = {
      // method, target, status, caching
      {"GET", "/console/?code=abc&state=def", 200, "no-cache"},
      {"GET", "/console/" + v + "/page.js", 200, immutable},
      {"GET", "/console/0123456789abcdef/page.js", 404, "no-store"},
      {"GET", "/console/" + v + "/../index.html", 404, "no-store"},
      {"POST", "/console/", 405, "no-store"},
  };
  for (const auto& [method, target, status, cache] : cases) {
    auto r = console.serve(Request{method, target, "", "", "", "::1"});
    ASSERT_TRUE(r.has_value()) << target;
    std::map<std::string, std::string> headers(r->headers.begin(), r->headers.end());
    EXPECT_EQ(std::tie(r->status, headers["Cache-Control"]), std::tie(status, cache)) << target;
    EXPECT_EQ(headers["Content-Security-Policy"], kConsoleSecurityPolicy) << target;
  }
  EXPECT_NE(console.serve(Request{"GET", "/console/", "", "", "", "::1"})->body.find("/console/" + v + "/page.js"),
            std::string::npos);
  EXPECT_FALSE(console.serve(Request{"GET", "/consoles", "", "", "", "::1"}).has_value());
  EXPECT_FALSE(ConsoleAssets::fromFiles({{"index.html", ""}, {"../x.js", ""}}).ok());
}

std::string v2(uint8_t command, uint8_t family, std::string addresses) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(addresses.size() >> 8);
  h += static_cast<char>(addresses.size() & 0xFF);
  return h + addresses;
}

TEST(ProxyHeader, AcceptsOnlyWellFormedHeadersAndNamesTheClient) {
  using Outcome = ProxyHeader::Outcome;
  const std::string v4("\xCB\x00\x71\x07\xC0\x00\x02\x01\x1F\x90\x01\xBB", 12);  // 203.0.113.7:8080
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
      {"PROXY TCP4 2001:db8::1 192.0.2.1 1 2\r\n", Outcome::invalid, ""},
      {"PROXY TCP4 203.0.113.7\r192.0.2.1 1 2", Outcome::invalid, ""},
      {"PROXY TCP4 " + std::string(100, '1'), Outcome::invalid, ""},
      {"GET / HTTP/1.1\r\n\r\n", Outcome::invalid, ""},
      {v2(1, 0x11, v4) + "\x16", Outcome::complete, "203.0.113.7"},
      {v2(1, 0x21, std::string(15, '\0') + "\x01" + std::string(20, '\0')), Outcome::complete, "::1"},
      {v2(0, 0x00, ""), Outcome::complete, ""},  // LOCAL: a health check
      {v2(1, 0x11, v4).substr(0, 20), Outcome::needMore, ""},
      {v2(1, 0x11, v4 + std::string("\x04\x00\x09xy", 5)), Outcome::invalid, ""},  // TLV overruns
      {v2(1, 0x11, v4.substr(0, 8)), Outcome::invalid, ""},                        // addresses cut short
      {v2(1, 0x12, v4), Outcome::invalid, ""},  // datagrams
      {v2(2, 0x11, v4), Outcome::invalid, ""},  // no such command
      {v2(1, 0x11, std::string(kMaxProxyHeaderBytes, '\0')), Outcome::invalid, ""},
  };
  for (const auto& c : cases) {
    const ProxyHeader h = parseProxyHeader(c.bytes);
    EXPECT_EQ(std::tie(h.outcome, h.source), std::tie(c.outcome, c.source)) << c.bytes;
  }
  EXPECT_EQ(parseProxyHeader(v2(1, 0x11, v4) + "\x16").length, 28u);
  EXPECT_EQ(parseProxyHeader("PROXY UNKNOWN whatever\r\nGET").length, 24u);
}

}  // namespace
}  // namespace kx::service
