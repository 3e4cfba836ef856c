#include "protocol/session_cipher.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "protocol/crypto_support.h"

namespace kx {

using crypto::Deleter;
using crypto::fatal;
using crypto::libraryError;

namespace {

using CipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using KdfPtr = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;

constexpr char kInfoLabel[] = "KestrelixRemoteSessionV1.";
constexpr char kVerificationInfo[] = "kestrelix-verification-code";
constexpr size_t kPeerKeySize = 65;
constexpr size_t kSaltSize = 16;

Error invalidEnvelopeError() {
  return makeError(std::string(kSessionEncryptionDomain), 1, "Invalid session encryption envelope");
}

Error sealingError() { return makeError(std::string(kSessionEncryptionDomain), 2); }

// Fetched once: an implicit fetch on every envelope costs a method-store
// lookup. The fetched objects are immutable and shared by all threads.
const EVP_CIPHER* aes256Gcm() {
  static const CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
  if (!cipher) fatal("AES-256-GCM is not available");
  return cipher.get();
}

// Each thread keeps one context per direction. The first use binds the
// cipher; later inits pass only key and nonce, which skips allocating a new
// provider context for every envelope. Every init replaces the key schedule,
// so nothing of one envelope carries into the next.
EVP_CIPHER_CTX* threadContext(bool encrypt, const uint8_t* key, const uint8_t* nonce) {
  thread_local CipherCtxPtr sealing;
  thread_local CipherCtxPtr opening;
  CipherCtxPtr& ctx = encrypt ? sealing : opening;
  const EVP_CIPHER* cipher = nullptr;
  if (!ctx) {
    ctx.reset(EVP_CIPHER_CTX_new());
    if (!ctx) return nullptr;
    cipher = aes256Gcm();
  }
  // GCM's default IV length is the 96 bits used here.
  const int ok = encrypt ? EVP_EncryptInit_ex2(ctx.get(), cipher, key, nonce, nullptr)
                         : EVP_DecryptInit_ex2(ctx.get(), cipher, key, nonce, nullptr);
  if (ok != 1) {
    ctx.reset();  // start from a fresh context next time
    return nullptr;
  }
  return ctx.get();
}

EVP_KDF* hkdf() {
  static const KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fatal("HKDF is not available");
  return kdf.get();
}

// RFC 5869 extract-and-expand over SHA-256 into `size` bytes at `out`.
bool derive(const Bytes& secret, const Bytes& salt, std::string_view info, uint8_t* out, size_t size) {
  KdfCtxPtr ctx(EVP_KDF_CTX_new(hkdf()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(secret.data()), secret.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size()),
      OSSL_PARAM_construct_end(),
  };
  return EVP_KDF_derive(ctx.get(), out, size, params) == 1;
}

}  // namespace

Expected<SessionCipher> SessionCipher::create(const P256PrivateKey& privateKey, std::string_view peer,
                                              std::string_view salt, std::string_view session) {
  const auto peerKey = base64Decode(peer);
  if (!peerKey || peerKey->size() != kPeerKeySize) return invalidEnvelopeError();
  const auto saltBytes = base64Decode(salt);
  if (!saltBytes || saltBytes->size() != kSaltSize) return invalidEnvelopeError();

  auto secret = privateKey.sharedSecret(*peerKey);
  if (!secret) return std::move(secret).error();

  std::string info = kInfoLabel;
  info.append(session);
  std::array<uint8_t, 32> key{};
  const bool derived = derive(*secret, *saltBytes, info, key.data(), key.size());
  auto code = kx::verificationCode(*secret, *saltBytes);
  OPENSSL_cleanse(secret->data(), secret->size());
  if (!derived || !code) return libraryError(kCryptoUnderlying);
  SessionCipher cipher(key);
  cipher.verificationCode_ = std::move(*code);
  OPENSSL_cleanse(key.data(), key.size());
  return cipher;
}

std::optional<std::string> verificationCode(const Bytes& sharedSecret, const Bytes& salt) {
  uint8_t bytes[4];
  if (!derive(sharedSecret, salt, kVerificationInfo, bytes, sizeof bytes)) return std::nullopt;
  const uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(value % 1000000));
  return std::string(text);
}

Expected<Bytes> SessionCipher::encrypt(const uint8_t* data, size_t size) const {
  if (size > static_cast<size_t>(INT_MAX) - kOverhead) return sealingError();
  Bytes out(kNonceSize + size + kTagSize);
  uint8_t* nonce = out.data();
  uint8_t* body = nonce + kNonceSize;
  uint8_t* tag = body + size;
  if (RAND_bytes(nonce, static_cast<int>(kNonceSize)) != 1) return libraryError(kCryptoUnderlying);

  EVP_CIPHER_CTX* ctx = threadContext(true, key_.data(), nonce);
  int len = 0;
  int finalLen = 0;
  if (!ctx || EVP_EncryptUpdate(ctx, body, &len, data ? data : body, static_cast<int>(size)) != 1 ||
      EVP_EncryptFinal_ex(ctx, body + len, &finalLen) != 1) {
    return libraryError(kCryptoUnderlying);
  }
  if (static_cast<size_t>(len) + static_cast<size_t>(finalLen) != size) return sealingError();
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) != 1) {
    return libraryError(kCryptoUnderlying);
  }
  return out;
}

Expected<Bytes> SessionCipher::decrypt(const uint8_t* data, size_t size) const {
  if (size < kOverhead) return libraryError(kCryptoIncorrectParameterSize);
  if (size > static_cast<size_t>(INT_MAX)) return libraryError(kCryptoIncorrectParameterSize);
  const uint8_t* nonce = data;
  const uint8_t* body = data + kNonceSize;
  const size_t bodySize = size - kOverhead;
  const uint8_t* tag = body + bodySize;

  Bytes out(bodySize);
  // A null output would make the library read the input as associated data.
  uint8_t empty = 0;
  uint8_t* dst = bodySize ? out.data() : &empty;
  EVP_CIPHER_CTX* ctx = threadContext(false, key_.data(), nonce);
  int len = 0;
  int finalLen = 0;
  if (!ctx || EVP_DecryptUpdate(ctx, dst, &len, body, static_cast<int>(bodySize)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), const_cast<uint8_t*>(tag)) != 1) {
    return libraryError(kCryptoUnderlying);
  }
  if (EVP_DecryptFinal_ex(ctx, dst + len, &finalLen) != 1) {
    // Never hand out (or keep) the unauthenticated plaintext.
    OPENSSL_cleanse(out.data(), out.size());
    return libraryError(kCryptoAuthenticationFailure);
  }
  return out;
}

Expected<std::string> sealToBase64(const SessionCipher& cipher, std::string_view plaintext) {
  auto envelope = cipher.encrypt(plaintext);
  if (!envelope) return std::move(envelope).error();
  return base64Encode(*envelope);
}

std::optional<std::string> openFromBase64(const SessionCipher& cipher, std::string_view text) {
  const auto envelope = base64Decode(text);
  if (!envelope) return std::nullopt;
  auto plaintext = cipher.decrypt(*envelope);
  if (!plaintext) return std::nullopt;
  return toString(*plaintext);
}

}  // namespace kx
