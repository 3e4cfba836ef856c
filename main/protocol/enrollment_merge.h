// The pure part of enrolling: merging a new enrollment with the stored one,
// normalising typed setup codes, and writing the settings file. The agent
// owns the state around it (connection, credentials, session).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/build_config.h"
#include "protocol/enrollment_configuration.h"
#include "protocol/p256_key.h"
#include "protocol/url.h"
#include "runtime/error.h"

namespace kx {

// Deployment constants the merge depends on; tests pass their own.
struct EnrollmentConstants {
  std::string serviceAddress = build::kServiceAddress;
  std::string serviceHost = build::kServiceHost;
  // Enrollments naming a host with this suffix are moved to the service address.
  std::string retiredHostSuffix = build::kRetiredHostSuffix;
};

struct MergedEnrollment {
  EnrollmentConfiguration record;  // what gets stored
  Url url;                         // the validated service address
  P256PrivateKey privateKey;       // the device key named by record.capturePrivateKey
};

// Decodes `data` and merges it with `stored`:
//  - a host ending with the retired suffix becomes the service address, with
//    empty token and sitesAccess and no device or key;
//  - the address must pass validatedURL();
//  - installation: the stored one wins, then the new one, then a new UUID;
//  - for the same address (exact text), the stored device and key replace
//    the new ones, absent values included;
//  - device key: the stored one wins, then the new one, then a fresh key.
// Errors: the decoder's ("Enrollment" 2), the address ("Enrollment" 1),
// a key that is not base64 ("Invalid private key" 1), or the key
// constructor's for malformed key bytes.
Expected<MergedEnrollment> mergeEnrollment(const std::optional<EnrollmentConfiguration>& stored,
                                           std::string_view data,
                                           const EnrollmentConstants& constants = {});

// Upper-cases a typed setup code and drops whitespace and "-". The result must
// be exactly 20 hexadecimal digits (0-9, A-F); nullopt otherwise.
std::optional<std::string> normalizeSetupCode(std::string_view typed);

// The record a setup code enrolls with: the service address, the code as the
// token, empty sitesAccess, nothing else (the merge supplies the rest).
EnrollmentConfiguration setupCodeRecord(const std::string& code, const EnrollmentConstants& constants = {});

// Writes the record's JSON to `path` atomically with permissions 0600.
Status saveEnrollment(const std::string& path, const EnrollmentConfiguration& record);

}  // namespace kx
