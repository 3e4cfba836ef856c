#include <gtest/gtest.h>

#include <set>

#include "protocol/encoding.h"
#include "protocol/json.h"

namespace kx {
namespace {

TEST(Base64, EncodesRfc4648Vectors) {
  EXPECT_EQ(base64Encode(std::string_view("")), "");
  EXPECT_EQ(base64Encode(std::string_view("f")), "Zg==");
  EXPECT_EQ(base64Encode(std::string_view("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(std::string_view("foo")), "Zm9v");
  EXPECT_EQ(base64Encode(std::string_view("foob")), "Zm9vYg==");
  EXPECT_EQ(base64Encode(std::string_view("fooba")), "Zm9vYmE=");
  EXPECT_EQ(base64Encode(std::string_view("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
}

TEST(Base64, DecodeRoundTripsEveryLength) {
  for (size_t n = 0; n <= 70; ++n) {
    const Bytes bytes = randomBytes(n);
    const auto decoded = base64Decode(base64Encode(bytes));
    ASSERT_TRUE(decoded.has_value()) << n;
    EXPECT_EQ(*decoded, bytes) << n;
  }
}

TEST(Base64, DecodeRefusesWhitespaceAndForeignCharacters) {
  for (const char* text : {"Zm9v\n", " Zm9v", "Zm 9v", "Zm9v\r\n", "Zm9v\t", "-_-_", "Zm9v!A==", "Zm9\xc3\xa9"}) {
    EXPECT_FALSE(base64Decode(text).has_value()) << text;
  }
}

TEST(Base64, DecodeRefusesBadPadding) {
  for (const char* text : {"Zg", "Zg=", "Zg===", "Z===", "====", "Zm8", "Zm9vYg", "Zg==Zg==", "Z=g=", "=Zm9"}) {
    EXPECT_FALSE(base64Decode(text).has_value()) << text;
  }
}

TEST(Base64, DecodeRefusesNonZeroPaddingBits) {
  // "Zh==" and "Zm9=" carry the same bytes as "Zg==" and "Zm8=" plus stray bits.
  EXPECT_FALSE(base64Decode("Zh==").has_value());
  EXPECT_FALSE(base64Decode("Zm9=").has_value());
  EXPECT_EQ(toString(*base64Decode("Zg==")), "f");
  EXPECT_EQ(toString(*base64Decode("Zm8=")), "fo");
}

TEST(Base64Url, MapsAlphabetAndDropsPadding) {
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff, 0xbf}), "-_-_");
  EXPECT_EQ(base64UrlEncode(Bytes{0xfb}), "-w");
  const std::string text = base64UrlEncode(randomBytes(32));
  EXPECT_EQ(text.size(), 43u);
  EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
}

TEST(Base64Url, Rfc7636ChallengeOfVerifier) {
  // RFC 7636 appendix B.
  EXPECT_EQ(base64UrlEncode(sha256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(hexEncode(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexEncode(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(RandomBytes, GivesRequestedLengthAndFreshValues) {
  EXPECT_TRUE(randomBytes(0).empty());
  EXPECT_EQ(randomBytes(16).size(), 16u);
  EXPECT_NE(randomBytes(16), randomBytes(16));
}

TEST(Uuid, NewUuidIsCanonicalVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = newUuid();
    ASSERT_TRUE(isCanonicalUuid(id)) << id;
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(Uuid, CanonicalFormIsUpperCaseHyphenated) {
  EXPECT_TRUE(isCanonicalUuid("7D444840-9DC0-11D1-B245-5FFDCE74FAD2"));
  EXPECT_FALSE(isCanonicalUuid("7d444840-9dc0-11d1-b245-5ffdce74fad2"));
  EXPECT_FALSE(isCanonicalUuid("7D4448409DC011D1B2455FFDCE74FAD2"));
  EXPECT_FALSE(isCanonicalUuid("7D444840-9DC0-11D1-B245-5FFDCE74FAD"));
  EXPECT_FALSE(isCanonicalUuid("7D444840-9DC0-11D1-B245-5FFDCE74FAD2A"));
  EXPECT_FALSE(isCanonicalUuid("7D444840-9DC011-D1-B245-5FFDCE74FAD2"));
  EXPECT_FALSE(isCanonicalUuid("7D444840-9DC0-11D1-B245-5FFDCE74FAG2"));
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
