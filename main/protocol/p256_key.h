// P-256 key-agreement keys. The private half travels as its raw 32-byte
// scalar, the public half as the X9.63 uncompressed point (0x04 || X || Y).
#pragma once

#include <memory>

#include "protocol/encoding.h"
#include "runtime/error.h"

namespace kx {

class P256PrivateKey {
 public:
  // A fresh random key.
  static P256PrivateKey generate();
  // From the raw 32-byte scalar; refuses zero, values >= the group order and
  // other lengths with an error of domain "CryptoKit" (the library's own error).
  static Expected<P256PrivateKey> fromRaw(const Bytes& raw);

  P256PrivateKey(const P256PrivateKey&);
  P256PrivateKey& operator=(const P256PrivateKey&);
  P256PrivateKey(P256PrivateKey&&) noexcept;
  P256PrivateKey& operator=(P256PrivateKey&&) noexcept;
  ~P256PrivateKey();

  Bytes raw() const;                  // 32 bytes
  Bytes publicKeyX963() const;        // 65 bytes

  // ECDH: the 32-byte X coordinate of the shared point. `peerX963` must be a
  // valid uncompressed point on the curve.
  Expected<Bytes> sharedSecret(const Bytes& peerX963) const;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  explicit P256PrivateKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// True when `x963` is a 65-byte uncompressed point on P-256.
bool isValidP256PublicKey(const Bytes& x963);

}  // namespace kx
