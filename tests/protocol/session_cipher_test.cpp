#include <gtest/gtest.h>

#include <vector>

#include "protocol/session_cipher.h"

namespace kx {
namespace {

// RFC 5903 section 8.1 (P-256 ECDH test vector).
constexpr char kPrivateI[] = "yI8B9RDZrD9wopLaojFt5UTpqriv6EBJxiqcV4YtFDM=";
constexpr char kPrivateR[] = "xu+cXXiuASoBEWSss5fOIIhoXY8Gv5vgsoOrRkdr7lM=";
constexpr char kPublicI[] = "BNrQtlOUIhz5sFHh/spXh9CY3+Y3/JC575RdDDdyWBGAUnGgRhzbglLWHxxFb6PlmrH0WzOsz19YOJ4Fd7iZC7M=";
constexpr char kPublicR[] = "BNEt+1KJyNT4Egi3AnA5jDQilpcKC8y3THNvx1VElL9jVvvzyjZswj6BV4VME8WNaqwj8Eatow+DU+dPMwOYcqs=";
constexpr char kSalt[] = "AAECAwQFBgcICQoLDA0ODw==";
constexpr char kSession[] = "7D444840-9DC0-11D1-B245-5FFDCE74FAD2";

P256PrivateKey keyFrom(const char* base64) { return *P256PrivateKey::fromRaw(*base64Decode(base64)); }
std::string publicBase64(const P256PrivateKey& key) { return base64Encode(key.publicKeyX963()); }
bool isLibraryError(const Error& e, int64_t code) { return e.domain == "CryptoKit" && e.code == code; }

SessionCipher testCipher() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  return SessionCipher::fromKey(key);
}

TEST(P256Key, Rfc5903VectorsAndRoundTrips) {
  const P256PrivateKey i = keyFrom(kPrivateI);
  EXPECT_EQ(publicBase64(i), kPublicI);
  EXPECT_EQ(publicBase64(keyFrom(kPrivateR)), kPublicR);
  EXPECT_EQ(base64Encode(i.raw()), kPrivateI);
  EXPECT_EQ(hexEncode(*i.sharedSecret(*base64Decode(kPublicR))),
            "d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de");
  EXPECT_NE(P256PrivateKey::generate().raw(), P256PrivateKey::generate().raw());
}

TEST(P256Key, OutOfRangeScalarsAndPointsOffTheCurveAreRefused) {
  // The group order n and n + 1 are out of range; n - 1 is the largest valid scalar.
  const Bytes order = *base64Decode("/////wAAAAD//////////7zm+q2nF56E87nKwvxjJVE=");
  Bytes below = order, above = order;
  below.back() -= 1;
  above.back() += 1;
  EXPECT_TRUE(P256PrivateKey::fromRaw(below).ok());
  for (const Bytes& raw : {order, above, Bytes(32, 0), Bytes(32, 0xff), Bytes(31, 1), Bytes(33, 1), Bytes{}}) {
    auto key = P256PrivateKey::fromRaw(raw);
    ASSERT_FALSE(key.ok()) << raw.size();
    EXPECT_EQ(key.error().domain, "CryptoKit");
  }
  const Bytes point = *base64Decode(kPublicI);
  EXPECT_TRUE(isValidP256PublicKey(point));
  Bytes offCurve = point, hybrid = point, compressed(point.begin(), point.begin() + 33), zeros(65, 0);
  offCurve[64] ^= 1;
  hybrid[0] = 0x07;  // hybrid encoding of the same (odd-Y) point
  compressed[0] = 0x03;
  zeros[0] = 0x04;
  for (const Bytes& bad : {offCurve, hybrid, compressed, zeros}) EXPECT_FALSE(isValidP256PublicKey(bad));
}

TEST(SessionCipherDerivation, MatchesIndependentImplementations) {
  // Key and envelope computed with Node's crypto module, the code with Python's hmac, from the RFC 5903 keys.
  // Salt, id and label all enter the key: a change to any of them fails here.
  auto cipher = SessionCipher::create(keyFrom(kPrivateI), kPublicR, kSalt, kSession);
  ASSERT_TRUE(cipher.ok());
  EXPECT_EQ(hexEncode(Bytes(cipher->key().begin(), cipher->key().end())),
            "3fc16567dab533b8ac5ad6cf3a4ac7039220a6c644f2b85d0e842a35e197c9f3");
  EXPECT_EQ(openFromBase64(*cipher, "yv66vvrO263eyviIs10Bf2ECp7GuwSGL6wn1/0spFrHKAhuFXZzCw06EYAnWEHLkXGSx"),
            std::optional<std::string>(R"({"type":"ping","seq":1})"));
  EXPECT_EQ(cipher->verificationCode(), "316852");
  EXPECT_EQ(verificationCode(Bytes(32, 24), Bytes(16, 0)), "099100");  // 1105099100: zero-padded
}

TEST(SessionCipherDerivation, MalformedPeerKeyOrSaltIsAnEnvelopeError) {
  const P256PrivateKey key = P256PrivateKey::generate();
  const Bytes point = P256PrivateKey::generate().publicKeyX963();
  const std::string peer = base64Encode(point), salt = base64Encode(randomBytes(16));
  Bytes longer = point;
  longer.push_back(0);
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = static_cast<uint8_t>(0x02 | (point[64] & 1));
  const std::pair<std::string, std::string> cases[] = {
      {base64Encode(longer), salt}, {base64Encode(compressed), salt}, {peer + "\n", salt},
      {peer, base64Encode(randomBytes(15))}, {peer, base64Encode(randomBytes(17))}, {peer, "AAECAwQFBgcICQoLDA0ODw"},
  };
  for (const auto& [badPeer, badSalt] : cases) {
    auto cipher = SessionCipher::create(key, badPeer, badSalt, "id");
    ASSERT_FALSE(cipher.ok()) << badPeer << " " << badSalt;
    EXPECT_EQ(cipher.error(), makeError("Session encryption", 1, "Invalid session encryption envelope"));
  }
  Bytes offCurve = *base64Decode(kPublicR);
  offCurve[40] ^= 0x10;
  auto cipher = SessionCipher::create(keyFrom(kPrivateI), base64Encode(offCurve), kSalt, kSession);
  EXPECT_TRUE(isLibraryError(cipher.error(), kCryptoInvalidPoint));
}

TEST(SessionCipherEnvelope, FreshNonceCiphertextAndTagWhereEveryBitFlipTruncationAndExtensionFails) {
  const SessionCipher cipher = testCipher();
  const Bytes envelope = *cipher.encrypt(std::string_view(R"({"seq":7})"));
  const Bytes again = *cipher.encrypt(std::string_view(R"({"seq":7})"));
  ASSERT_EQ(envelope.size(), 9u + 28);
  EXPECT_NE(std::string(envelope.begin() + 12, envelope.begin() + 21), R"({"seq":7})");
  EXPECT_NE(Bytes(envelope.begin(), envelope.begin() + 12), Bytes(again.begin(), again.begin() + 12));
  EXPECT_TRUE(cipher.decrypt(*cipher.encrypt(std::string_view()))->empty());
  for (size_t bit = 0; bit < envelope.size() * 8; ++bit) {
    Bytes flipped = envelope;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    auto opened = cipher.decrypt(flipped);
    ASSERT_FALSE(opened.ok()) << bit;
    EXPECT_TRUE(isLibraryError(opened.error(), kCryptoAuthenticationFailure)) << bit;
  }
  Bytes extended = envelope;
  extended.push_back(0);
  for (const Bytes& bad : {Bytes(envelope.begin(), envelope.end() - 1), extended, Bytes(28, 0)}) {
    EXPECT_TRUE(isLibraryError(cipher.decrypt(bad).error(), kCryptoAuthenticationFailure)) << bad.size();
  }
  for (size_t n : {0, 1, 12, 27}) {
    EXPECT_TRUE(isLibraryError(cipher.decrypt(Bytes(n, 0)).error(), kCryptoIncorrectParameterSize)) << n;
  }
  EXPECT_EQ(toString(*cipher.decrypt(envelope)), R"({"seq":7})");  // still usable
}

TEST(SessionCipherEnvelope, Base64CarrierIsStrict) {
  const SessionCipher cipher = testCipher();
  const std::string text = *sealToBase64(cipher, R"({"type":"candidate"})");
  EXPECT_EQ(openFromBase64(cipher, text), std::optional<std::string>(R"({"type":"candidate"})"));
  for (const std::string& bad : {text + "\n", text.substr(0, text.size() - 4), std::string()}) {
    EXPECT_EQ(openFromBase64(cipher, bad), std::nullopt) << bad;
  }
  EXPECT_EQ(openFromBase64(SessionCipher::fromKey({}), text), std::nullopt);
}

}  // namespace
}  // namespace kx
