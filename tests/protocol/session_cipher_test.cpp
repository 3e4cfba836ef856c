#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "protocol/session_cipher.h"

namespace kx {
namespace {

// RFC 5903 section 8.1 (P-256 ECDH test vector).
constexpr char kPrivateI[] = "yI8B9RDZrD9wopLaojFt5UTpqriv6EBJxiqcV4YtFDM=";
constexpr char kPrivateR[] = "xu+cXXiuASoBEWSss5fOIIhoXY8Gv5vgsoOrRkdr7lM=";
constexpr char kPublicI[] = "BNrQtlOUIhz5sFHh/spXh9CY3+Y3/JC575RdDDdyWBGAUnGgRhzbglLWHxxFb6PlmrH0WzOsz19YOJ4Fd7iZC7M=";
constexpr char kPublicR[] = "BNEt+1KJyNT4Egi3AnA5jDQilpcKC8y3THNvx1VElL9jVvvzyjZswj6BV4VME8WNaqwj8Eatow+DU+dPMwOYcqs=";
constexpr char kSharedX[] = "d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de";

constexpr char kSalt[] = "AAECAwQFBgcICQoLDA0ODw==";
constexpr char kSession[] = "7D444840-9DC0-11D1-B245-5FFDCE74FAD2";

P256PrivateKey keyFrom(const char* base64) { return *P256PrivateKey::fromRaw(*base64Decode(base64)); }

std::string publicBase64(const P256PrivateKey& key) { return base64Encode(key.publicKeyX963()); }

std::string saltText() { return base64Encode(randomBytes(16)); }

bool isEnvelopeError(const Error& e) {
  return e.domain == "Session encryption" && e.code == 1 && e.description == "Invalid session encryption envelope";
}

bool isLibraryError(const Error& e, int64_t code) { return e.domain == "CryptoKit" && e.code == code; }

SessionCipher testCipher() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  return SessionCipher::fromKey(key);
}

TEST(P256Key, RawKeyGivesRfc5903PublicPointAndSharedSecret) {
  const P256PrivateKey i = keyFrom(kPrivateI);
  const P256PrivateKey r = keyFrom(kPrivateR);
  EXPECT_EQ(publicBase64(i), kPublicI);
  EXPECT_EQ(publicBase64(r), kPublicR);
  EXPECT_EQ(base64Encode(i.raw()), kPrivateI);
  auto z = i.sharedSecret(r.publicKeyX963());
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(hexEncode(*z), kSharedX);
}

TEST(P256Key, GeneratedKeyRoundTripsThroughRaw) {
  const P256PrivateKey key = P256PrivateKey::generate();
  const Bytes raw = key.raw();
  ASSERT_EQ(raw.size(), 32u);
  auto again = P256PrivateKey::fromRaw(raw);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->publicKeyX963(), key.publicKeyX963());
  EXPECT_TRUE(isValidP256PublicKey(key.publicKeyX963()));
  EXPECT_NE(P256PrivateKey::generate().raw(), raw);
}

TEST(P256Key, CopiesAgreeWithOriginal) {
  const P256PrivateKey key = P256PrivateKey::generate();
  P256PrivateKey copy = key;
  P256PrivateKey assigned = P256PrivateKey::generate();
  assigned = copy;
  const Bytes peer = P256PrivateKey::generate().publicKeyX963();
  EXPECT_EQ(copy.raw(), key.raw());
  EXPECT_EQ(*assigned.sharedSecret(peer), *key.sharedSecret(peer));
}

TEST(P256Key, FromRawRefusesBadScalars) {
  // The group order n and n + 1 are out of range; n - 1 is the largest valid scalar.
  const Bytes order = *base64Decode("/////wAAAAD//////////7zm+q2nF56E87nKwvxjJVE=");
  Bytes orderMinusOne = order;
  orderMinusOne.back() -= 1;
  Bytes orderPlusOne = order;
  orderPlusOne.back() += 1;
  EXPECT_TRUE(P256PrivateKey::fromRaw(orderMinusOne).ok());
  for (const Bytes& raw : {order, orderPlusOne, Bytes(32, 0), Bytes(32, 0xff), Bytes(31, 1), Bytes(33, 1), Bytes{}}) {
    auto key = P256PrivateKey::fromRaw(raw);
    ASSERT_FALSE(key.ok()) << raw.size();
    EXPECT_EQ(key.error().domain, "CryptoKit");
  }
}

TEST(P256Key, PublicKeyMustBeUncompressedPointOnCurve) {
  Bytes point = *base64Decode(kPublicI);
  EXPECT_TRUE(isValidP256PublicKey(point));
  Bytes offCurve = point;
  offCurve[64] ^= 1;
  EXPECT_FALSE(isValidP256PublicKey(offCurve));
  Bytes hybrid = point;
  hybrid[0] = 0x07;  // hybrid encoding of the same (odd-Y) point
  EXPECT_FALSE(isValidP256PublicKey(hybrid));
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = 0x03;
  EXPECT_FALSE(isValidP256PublicKey(compressed));
  Bytes zeros(65, 0);
  zeros[0] = 0x04;
  EXPECT_FALSE(isValidP256PublicKey(zeros));
}

TEST(SessionCipherDerivation, MatchesIndependentImplementation) {
  // Key and envelope computed with Node's crypto module from the RFC 5903 keys.
  auto cipher = SessionCipher::create(keyFrom(kPrivateI), kPublicR, kSalt, kSession);
  ASSERT_TRUE(cipher.ok());
  EXPECT_EQ(hexEncode(Bytes(cipher->key().begin(), cipher->key().end())),
            "3fc16567dab533b8ac5ad6cf3a4ac7039220a6c644f2b85d0e842a35e197c9f3");
  EXPECT_EQ(openFromBase64(*cipher, "yv66vvrO263eyviIs10Bf2ECp7GuwSGL6wn1/0spFrHKAhuFXZzCw06EYAnWEHLkXGSx"),
            std::optional<std::string>(R"({"type":"ping","seq":1})"));
}

TEST(SessionCipherDerivation, VerificationCodeMatchesIndependentImplementation) {
  // Computed with Python's hmac module: HKDF-SHA256 of the RFC 5903 secret.
  auto i = keyFrom(kPrivateI);
  EXPECT_EQ(verificationCode(*i.sharedSecret(*base64Decode(kPublicR)), *base64Decode(kSalt)), "316852");
  EXPECT_EQ(verificationCode(Bytes(32, 24), Bytes(16, 0)), "099100");  // 1105099100: zero-padded
  auto cipher = SessionCipher::create(keyFrom(kPrivateI), kPublicR, kSalt, kSession);
  EXPECT_EQ(cipher->verificationCode(), "316852");
}

TEST(SessionCipherDerivation, BothSidesDeriveTheSameKey) {
  const P256PrivateKey device = P256PrivateKey::generate();
  const P256PrivateKey session = P256PrivateKey::generate();
  const std::string salt = saltText();
  const std::string id = newUuid();
  auto console = SessionCipher::create(session, publicBase64(device), salt, id);
  auto client = SessionCipher::create(device, publicBase64(session), salt, id);
  ASSERT_TRUE(console.ok());
  ASSERT_TRUE(client.ok());
  EXPECT_EQ(console->key(), client->key());
  EXPECT_EQ(console->verificationCode(), client->verificationCode());
  // A key substituted in the middle gives each side another code.
  auto middle = SessionCipher::create(P256PrivateKey::generate(), publicBase64(device), salt, id);
  EXPECT_NE(middle->verificationCode(), client->verificationCode());
  auto offer = console->encrypt(std::string_view(R"({"type":"offer"})"));
  ASSERT_TRUE(offer.ok());
  EXPECT_EQ(toString(*client->decrypt(*offer)), R"({"type":"offer"})");
  auto answer = client->encrypt(std::string_view("answer"));
  EXPECT_EQ(toString(*console->decrypt(*answer)), "answer");
}

TEST(SessionCipherDerivation, DifferentSessionOrSaltFailsAuthentication) {
  const P256PrivateKey device = P256PrivateKey::generate();
  const P256PrivateKey session = P256PrivateKey::generate();
  const std::string salt = saltText();
  const std::string id = newUuid();
  auto sealer = SessionCipher::create(session, publicBase64(device), salt, id);
  ASSERT_TRUE(sealer.ok());
  const Bytes envelope = *sealer->encrypt(std::string_view("hello"));

  const auto otherId = SessionCipher::create(device, publicBase64(session), salt, newUuid());
  const auto otherSalt = SessionCipher::create(device, publicBase64(session), saltText(), id);
  // Info is label + id with nothing after: a trailing byte changes the key.
  const auto extendedId = SessionCipher::create(device, publicBase64(session), salt, id + " ");
  for (const auto* cipher : {&otherId, &otherSalt, &extendedId}) {
    ASSERT_TRUE(cipher->ok());
    auto opened = (*cipher)->decrypt(envelope);
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(isLibraryError(opened.error(), kCryptoAuthenticationFailure));
  }
}

TEST(SessionCipherDerivation, WrongLengthPeerOrSaltIsEnvelopeError) {
  const P256PrivateKey key = P256PrivateKey::generate();
  const Bytes point = P256PrivateKey::generate().publicKeyX963();
  const std::string goodPeer = base64Encode(point);
  const std::string goodSalt = saltText();
  Bytes longer = point;
  longer.push_back(0);
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = static_cast<uint8_t>(0x02 | (point[64] & 1));
  const std::vector<std::string> badPeers = {
      base64Encode(Bytes(point.begin(), point.end() - 1)), base64Encode(longer), base64Encode(compressed),
      base64Encode(key.raw()), "not base64!", goodPeer + "\n", "",
  };
  for (const auto& peer : badPeers) {
    auto cipher = SessionCipher::create(key, peer, goodSalt, "id");
    ASSERT_FALSE(cipher.ok()) << peer;
    EXPECT_TRUE(isEnvelopeError(cipher.error())) << peer;
  }
  for (const auto& salt : {base64Encode(randomBytes(15)), base64Encode(randomBytes(17)), std::string("AAECAwQFBgcICQoLDA0ODw"),
                           std::string("")}) {
    auto cipher = SessionCipher::create(key, goodPeer, salt, "id");
    ASSERT_FALSE(cipher.ok()) << salt;
    EXPECT_TRUE(isEnvelopeError(cipher.error())) << salt;
  }
}

TEST(SessionCipherDerivation, OffCurvePointIsLibraryError) {
  Bytes point = *base64Decode(kPublicR);
  point[40] ^= 0x10;
  auto cipher = SessionCipher::create(keyFrom(kPrivateI), base64Encode(point), kSalt, kSession);
  ASSERT_FALSE(cipher.ok());
  EXPECT_TRUE(isLibraryError(cipher.error(), kCryptoInvalidPoint));
  EXPECT_NE(cipher.error().domain, "Session encryption");
}

TEST(SessionCipherEnvelope, LayoutIsNoncePlusCiphertextPlusTag) {
  const SessionCipher cipher = testCipher();
  const std::string text = "0123456789";
  auto envelope = cipher.encrypt(text);
  ASSERT_TRUE(envelope.ok());
  ASSERT_EQ(envelope->size(), text.size() + 28);
  // The ciphertext sits between nonce and tag; it must not be the plaintext.
  EXPECT_NE(std::string(envelope->begin() + 12, envelope->begin() + 22), text);
  auto empty = cipher.encrypt(std::string_view());
  ASSERT_TRUE(empty.ok());
  ASSERT_EQ(empty->size(), 28u);
  auto opened = cipher.decrypt(*empty);
  ASSERT_TRUE(opened.ok());
  EXPECT_TRUE(opened->empty());
}

TEST(SessionCipherEnvelope, SealingTwiceUsesFreshNonces) {
  const SessionCipher cipher = testCipher();
  const Bytes a = *cipher.encrypt(std::string_view("same"));
  const Bytes b = *cipher.encrypt(std::string_view("same"));
  EXPECT_EQ(a.size(), b.size());
  EXPECT_NE(Bytes(a.begin(), a.begin() + 12), Bytes(b.begin(), b.begin() + 12));
  EXPECT_NE(a, b);
}

TEST(SessionCipherEnvelope, ShortInputIsIncorrectParameterSize) {
  const SessionCipher cipher = testCipher();
  for (size_t n : {0, 1, 12, 27}) {
    auto opened = cipher.decrypt(Bytes(n, 0));
    ASSERT_FALSE(opened.ok()) << n;
    EXPECT_TRUE(isLibraryError(opened.error(), kCryptoIncorrectParameterSize)) << n;
  }
  auto opened = cipher.decrypt(Bytes(28, 0));
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(isLibraryError(opened.error(), kCryptoAuthenticationFailure));
}

TEST(SessionCipherEnvelope, EveryBitFlipFailsAndCipherStaysUsable) {
  const SessionCipher cipher = testCipher();
  const Bytes envelope = *cipher.encrypt(std::string_view(R"({"seq":7})"));
  for (size_t bit = 0; bit < envelope.size() * 8; ++bit) {
    Bytes flipped = envelope;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    auto opened = cipher.decrypt(flipped);
    ASSERT_FALSE(opened.ok()) << bit;
    EXPECT_TRUE(isLibraryError(opened.error(), kCryptoAuthenticationFailure)) << bit;
  }
  EXPECT_EQ(toString(*cipher.decrypt(envelope)), R"({"seq":7})");
}

TEST(SessionCipherEnvelope, TruncatedOrExtendedEnvelopeFails) {
  const SessionCipher cipher = testCipher();
  Bytes envelope = *cipher.encrypt(std::string_view("payload"));
  EXPECT_FALSE(cipher.decrypt(Bytes(envelope.begin(), envelope.end() - 1)).ok());
  envelope.push_back(0);
  EXPECT_FALSE(cipher.decrypt(envelope).ok());
}

TEST(SessionCipherEnvelope, Base64CarrierRoundTripsAndIsStrict) {
  const SessionCipher cipher = testCipher();
  auto text = sealToBase64(cipher, R"({"type":"candidate"})");
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(openFromBase64(cipher, *text), std::optional<std::string>(R"({"type":"candidate"})"));
  EXPECT_EQ(openFromBase64(cipher, *text + "\n"), std::nullopt);
  EXPECT_EQ(openFromBase64(cipher, text->substr(0, text->size() - 4)), std::nullopt);
  EXPECT_EQ(openFromBase64(cipher, ""), std::nullopt);
  EXPECT_EQ(openFromBase64(SessionCipher::fromKey({}), *text), std::nullopt);
}

TEST(SessionCipherEnvelope, ConcurrentUseFromSeveralThreads) {
  const SessionCipher cipher = testCipher();
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        auto sealed = cipher.encrypt(text);
        auto opened = sealed ? cipher.decrypt(*sealed) : Expected<Bytes>(sealed.error());
        if (!opened || toString(*opened) != text) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kx
