// End-to-end encryption of one support session.
//
// Both ends derive the same AES-256 key: ECDH on P-256 between one side's
// private key and the other's public key, then HKDF-SHA256 (RFC 5869) with the
// session's 16-byte salt and the info "KestrelixRemoteSessionV1." + session id.
// An envelope is the AES-GCM combined layout: 12-byte nonce, ciphertext,
// 16-byte tag (n + 28 bytes), no associated data.
//
// The same shared secret also gives a six-digit verification code that both
// people can read to each other: a service relaying substituted public keys
// cannot make the two ends show the same code.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/encoding.h"
#include "protocol/p256_key.h"
#include "runtime/error.h"

namespace kx {

// The cipher's own errors (domain "Session encryption"):
//   code 1 "Invalid session encryption envelope": peer key or salt not base64 or of the wrong length;
//   code 2: a sealed result that cannot be laid out.
// Every other failure is the crypto library's, reported with domain "CryptoKit":
//   kCryptoInvalidPoint, kCryptoKeyAgreement, kCryptoIncorrectParameterSize,
//   kCryptoAuthenticationFailure, kCryptoUnderlying.
inline constexpr std::string_view kSessionEncryptionDomain = "Session encryption";
inline constexpr std::string_view kCryptoDomain = "CryptoKit";
enum CryptoErrorCode : int64_t {
  kCryptoIncorrectParameterSize = 1,
  kCryptoAuthenticationFailure = 3,
  kCryptoInvalidPoint = 4,
  kCryptoKeyAgreement = 5,
  kCryptoUnderlying = 6,
};

class SessionCipher {
 public:
  static constexpr size_t kNonceSize = 12;
  static constexpr size_t kTagSize = 16;
  static constexpr size_t kOverhead = kNonceSize + kTagSize;

  // `peer` and `salt` are standard base64 (65 and 16 bytes decoded).
  static Expected<SessionCipher> create(const P256PrivateKey& privateKey, std::string_view peer,
                                        std::string_view salt, std::string_view session);
  // For tests and benchmarks: a cipher over a known key.
  static SessionCipher fromKey(const std::array<uint8_t, 32>& key) { return SessionCipher(key); }

  Expected<Bytes> encrypt(const uint8_t* data, size_t size) const;
  Expected<Bytes> encrypt(const Bytes& plaintext) const { return encrypt(plaintext.data(), plaintext.size()); }
  Expected<Bytes> encrypt(std::string_view plaintext) const {
    return encrypt(reinterpret_cast<const uint8_t*>(plaintext.data()), plaintext.size());
  }
  Expected<Bytes> decrypt(const uint8_t* data, size_t size) const;
  Expected<Bytes> decrypt(const Bytes& envelope) const { return decrypt(envelope.data(), envelope.size()); }

  const std::array<uint8_t, 32>& key() const { return key_; }
  // Six digits, "012345"; empty for a cipher made fromKey().
  const std::string& verificationCode() const { return verificationCode_; }

 private:
  explicit SessionCipher(const std::array<uint8_t, 32>& key) : key_(key) {}
  std::array<uint8_t, 32> key_;
  std::string verificationCode_;
};

// HKDF-SHA256 (ikm = the raw 32-byte ECDH secret, salt = the session's salt,
// info = "kestrelix-verification-code") to 4 bytes, read big-endian, modulo
// 10^6, as six zero-padded digits. Nothing only when the library fails.
std::optional<std::string> verificationCode(const Bytes& sharedSecret, const Bytes& salt);

// Seals a JSON message into the base64 text that travels through the service.
Expected<std::string> sealToBase64(const SessionCipher& cipher, std::string_view plaintext);
// Opens such a text; nullopt when it is not strict base64 or fails to open.
std::optional<std::string> openFromBase64(const SessionCipher& cipher, std::string_view text);

}  // namespace kx
