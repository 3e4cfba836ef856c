// Shared by the crypto sources of this folder only: the owner template for
// OpenSSL objects and the library's error values. No OpenSSL header here, so
// OpenSSL stays inside the .cpp files that use it.
#pragma once

#include <cstdint>

#include "runtime/error.h"

namespace kx::crypto {

// std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> and the like.
template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const { Free(p); }
};

// A failure of the crypto library: domain "CryptoKit" and one of the codes
// of session_cipher.h.
Error libraryError(int64_t code);

// For failures no caller can handle (the random generator or a built-in
// algorithm missing): reports `what` on stderr and aborts.
[[noreturn]] void fatal(const char* what);

}  // namespace kx::crypto
