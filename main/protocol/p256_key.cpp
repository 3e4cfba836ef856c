#include "protocol/p256_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

#include "protocol/crypto_support.h"
#include "protocol/session_cipher.h"

namespace kx {

namespace crypto {

Error libraryError(int64_t code) {
  const char* text = "The cryptography library failed.";
  switch (code) {
    case kCryptoIncorrectParameterSize: text = "A cryptographic parameter has an incorrect size."; break;
    case kCryptoAuthenticationFailure: text = "The message failed authentication."; break;
    case kCryptoInvalidPoint: text = "The public key is not a point on P-256."; break;
    case kCryptoKeyAgreement: text = "The key agreement failed."; break;
    default: break;
  }
  return makeError(std::string(kCryptoDomain), code, text);
}

}  // namespace crypto

using crypto::Deleter;
using crypto::fatal;
using crypto::libraryError;

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

constexpr size_t kScalarSize = 32;
constexpr size_t kPointSize = 65;
constexpr char kGroupName[] = "prime256v1";

// Imports key material given as OSSL_PARAMs; null when the library refuses it
// (for a public point: one that is not on the curve).
PkeyPtr importKey(int selection, const BIGNUM* priv, const uint8_t* pub, size_t pubSize) {
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0)) return nullptr;
  if (priv && !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv)) return nullptr;
  if (pub && !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, pubSize)) return nullptr;
  ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
  EVP_PKEY* out = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &out, selection, params.get()) != 1) return nullptr;
  return PkeyPtr(out);
}

// Only the 65-byte uncompressed form (0x04 || X || Y) counts; the library
// would also take compressed and hybrid encodings.
PkeyPtr importPublicKey(const Bytes& x963) {
  if (x963.size() != kPointSize || x963[0] != 0x04) return nullptr;
  PkeyPtr key = importKey(EVP_PKEY_PUBLIC_KEY, nullptr, x963.data(), x963.size());
  if (!key) return nullptr;
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
  return key;
}

}  // namespace

// The key is immutable once built, so copies share the EVP_PKEY.
struct P256PrivateKey::Impl {
  PkeyPtr key;
  Bytes publicX963;

  std::unique_ptr<Impl> clone() const {
    EVP_PKEY_up_ref(key.get());
    return std::make_unique<Impl>(Impl{PkeyPtr(key.get()), publicX963});
  }
};

P256PrivateKey::P256PrivateKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
P256PrivateKey::P256PrivateKey(const P256PrivateKey& other) : impl_(other.impl_->clone()) {}
P256PrivateKey& P256PrivateKey::operator=(const P256PrivateKey& other) {
  if (this != &other) impl_ = other.impl_->clone();
  return *this;
}
P256PrivateKey::P256PrivateKey(P256PrivateKey&&) noexcept = default;
P256PrivateKey& P256PrivateKey::operator=(P256PrivateKey&&) noexcept = default;
P256PrivateKey::~P256PrivateKey() = default;

P256PrivateKey P256PrivateKey::generate() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) fatal("P-256 key generation failed");
  Bytes pub(kPointSize);
  size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &len) != 1 ||
      len != kPointSize) {
    fatal("P-256 key generation gave no uncompressed public key");
  }
  return P256PrivateKey(std::make_unique<Impl>(Impl{std::move(key), std::move(pub)}));
}

Expected<P256PrivateKey> P256PrivateKey::fromRaw(const Bytes& raw) {
  if (raw.size() != kScalarSize) return libraryError(kCryptoIncorrectParameterSize);
  EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  BignumPtr d(BN_bin2bn(raw.data(), static_cast<int>(raw.size()), nullptr));
  BnCtxPtr bnCtx(BN_CTX_new());
  if (!group || !d || !bnCtx) return libraryError(kCryptoUnderlying);
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) {
    return libraryError(kCryptoUnderlying);
  }
  // OpenSSL 3.0 does not derive the public point on import, so compute d·G.
  EcPointPtr point(EC_POINT_new(group.get()));
  Bytes pub(kPointSize);
  if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnCtx.get()) != 1 ||
      EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(), pub.size(),
                         bnCtx.get()) != kPointSize) {
    return libraryError(kCryptoUnderlying);
  }
  PkeyPtr key = importKey(EVP_PKEY_KEYPAIR, d.get(), pub.data(), pub.size());
  if (!key) return libraryError(kCryptoUnderlying);
  return P256PrivateKey(std::make_unique<Impl>(Impl{std::move(key), std::move(pub)}));
}

Bytes P256PrivateKey::raw() const {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(impl_->key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &value) != 1) {
    fatal("P-256 private scalar unavailable");
  }
  BignumPtr d(value);
  Bytes out(kScalarSize);
  if (BN_bn2binpad(d.get(), out.data(), static_cast<int>(out.size())) != static_cast<int>(kScalarSize)) {
    fatal("P-256 private scalar too long");
  }
  return out;
}

Bytes P256PrivateKey::publicKeyX963() const { return impl_->publicX963; }

Expected<Bytes> P256PrivateKey::sharedSecret(const Bytes& peerX963) const {
  PkeyPtr peer = importPublicKey(peerX963);
  if (!peer) return libraryError(kCryptoInvalidPoint);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), /*validate_peer=*/0) != 1) {
    return libraryError(kCryptoKeyAgreement);
  }
  Bytes secret(kScalarSize);
  size_t len = secret.size();
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1 || len != kScalarSize) {
    OPENSSL_cleanse(secret.data(), secret.size());
    return libraryError(kCryptoKeyAgreement);
  }
  return secret;
}

bool isValidP256PublicKey(const Bytes& x963) { return importPublicKey(x963) != nullptr; }

}  // namespace kx
