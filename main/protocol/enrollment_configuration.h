// The enrollment record: what ties a managed computer to the support service.
// It is both the enrollment file shipped by the support team and the stored
// settings file "enrollment.json".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/url.h"
#include "runtime/error.h"

namespace kx {

struct EnrollmentConfiguration {
  std::string url;
  std::string token;
  std::string sitesAccess;
  std::optional<std::string> installation;
  std::optional<std::string> device;
  std::optional<std::string> key;
  // Standard base64 of the raw 32-byte P-256 private key.
  std::optional<std::string> capturePrivateKey;

  // "url", "token", "sitesAccess" must be strings; optional keys must be
  // strings, null or absent; other keys are ignored. Errors: domain
  // "Enrollment", code 2, with the decoder's description.
  static Expected<EnrollmentConfiguration> decode(std::string_view bytes);
  // Compact JSON; optional keys only when they have a value.
  std::string encode() const;

  // https, exactly `serviceHost`, no user or password, path "" or "/", no
  // query or fragment. Otherwise domain "Enrollment", code 1,
  // "Invalid support service address.".
  Expected<Url> validatedURL(std::string_view serviceHost) const;

  bool operator==(const EnrollmentConfiguration&) const = default;
};

Error invalidServiceAddressError();

}  // namespace kx
