#include <gtest/gtest.h>

#include <set>

#include "protocol/encoding.h"
#include "protocol/json.h"

namespace kx {
namespace {

TEST(Base64, Rfc4648VectorsAndEveryLengthRoundTrips) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(std::string_view(plain)), encoded);
    EXPECT_EQ(toString(base64Decode(encoded).value()), plain);
  }
  for (size_t n = 0; n <= 70; ++n) {
    const Bytes bytes = randomBytes(n);
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << n;
  }
}

TEST(Base64, DecodeIsStrict) {
  for (const char* text : {// whitespace and foreign alphabets
                           "Zm9v\n", " Zm9v", "Zm 9v", "Zm9v\r\n", "Zm9v\t", "-_-_", "Zm9v!A==", "Zm9\xc3\xa9",
                           // padding
                           "Zg", "Zg=", "Zg===", "Z===", "====", "Zm8", "Zm9vYg", "Zg==Zg==", "Z=g=", "=Zm9",
                           // stray bits under the padding ("Zg==" and "Zm8=" plus one bit)
                           "Zh==", "Zm9="}) {
    EXPECT_FALSE(base64Decode(text).has_value()) << text;
  }
}

TEST(Base64Url, UrlAlphabetWithoutPaddingAndRfc7636Challenge) {
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff, 0xbf}), "-_-_");
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb}), "-w");
  EXPECT_EQ(base64UrlEncode(randomBytes(32)).size(), 43u);
  // RFC 7636 appendix B.
  EXPECT_EQ(base64UrlEncode(sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  EXPECT_EQ(hexEncode(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Uuid, NewUuidIsFreshCanonicalVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = newUuid();
    ASSERT_TRUE(isCanonicalUuid(id)) << id;
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_NE(randomBytes(16), randomBytes(16));
}

TEST(Uuid, CanonicalFormIsUpperCaseHyphenated) {
  EXPECT_TRUE(isCanonicalUuid("7D444840-9DC0-11D1-B245-5FFDCE74FAD2"));
  for (const char* text : {"7d444840-9dc0-11d1-b245-5ffdce74fad2", "7D4448409DC011D1B2455FFDCE74FAD2",
                           "7D444840-9DC0-11D1-B245-5FFDCE74FAD", "7D444840-9DC0-11D1-B245-5FFDCE74FAD2A",
                           "7D444840-9DC011-D1-B245-5FFDCE74FAD2", "7D444840-9DC0-11D1-B245-5FFDCE74FAG2"}) {
    EXPECT_FALSE(isCanonicalUuid(text)) << text;
  }
}

TEST(JsonParse, RefusesNestingBeyondTheLimitWherePeersCanSendIt) {
  auto nested = [](size_t depth, std::string_view open, std::string_view close) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += open;
    for (size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  const struct {
    std::string text;
    bool accepted;
  } cases[] = {
      {nested(kMaxJsonDepth, "[", "]"), true},
      {nested(kMaxJsonDepth + 1, "[", "]"), false},
      {nested(kMaxJsonDepth + 1, "{\"a\":", "}"), false},
      {nested(1000000, "[", "]"), false},  // would exhaust the stack
      {nested(1000000, "[", ""), false},   // unbalanced
      {"{\"a\":\"" + nested(1000, "[", "") + "\\\"{\"}", true},  // brackets inside a string do not nest
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseJson(c.text).has_value(), c.accepted) << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace kx
