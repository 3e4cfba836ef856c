// Envelopes and their base64 carrier arrive from the service and the data
// channel: opening garbage must fail cleanly, never crash or return text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/session_cipher.h"

namespace {

const kx::SessionCipher& fixedCipher() {
  static const kx::SessionCipher cipher = kx::SessionCipher::fromKey({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  return cipher;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kx::SessionCipher& cipher = fixedCipher();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Strict base64 has exactly one text per byte string.
  if (auto bytes = kx::base64Decode(text)) check(kx::base64Encode(*bytes) == text);
  const std::string encoded = kx::base64Encode(data, size);
  auto decoded = kx::base64Decode(encoded);
  check(decoded && *decoded == kx::Bytes(data, data + size));

  // Forged envelopes never open (a forgery would need the key).
  auto opened = cipher.decrypt(data, size);
  check(!opened.ok());
  check(opened.error().domain == "CryptoKit");
  check(!kx::openFromBase64(cipher, text).has_value());

  // Whatever is sealed opens to itself.
  auto sealed = kx::sealToBase64(cipher, text);
  check(sealed.ok());
  check(kx::openFromBase64(cipher, *sealed) == std::optional<std::string>(text));
  return 0;
}
