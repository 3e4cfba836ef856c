// Enrollment files are untrusted: decoding, merging and re-encoding must
// never crash, and what is stored must read back as itself.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/encoding.h"
#include "protocol/enrollment_merge.h"

namespace {

const kx::EnrollmentConstants kConstants{"https://support.example.test", "support.example.test", "legacy.example"};

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto decoded = kx::EnrollmentConfiguration::decode(text);
  if (decoded) {
    auto again = kx::EnrollmentConfiguration::decode(decoded->encode());
    check(again.ok() && *again == *decoded);
    (void)decoded->validatedURL(kConstants.serviceHost);
  }

  auto merged = kx::mergeEnrollment(std::nullopt, text, kConstants);
  if (merged) {
    const kx::EnrollmentConfiguration& record = merged->record;
    check(record.validatedURL(kConstants.serviceHost).ok());
    check(record.installation.has_value() && record.capturePrivateKey.has_value());
    check(kx::base64Decode(*record.capturePrivateKey) == merged->privateKey.raw());
    auto stored = kx::EnrollmentConfiguration::decode(record.encode());
    check(stored.ok() && *stored == record);
    // Merging the stored record with itself changes nothing.
    auto remerged = kx::mergeEnrollment(record, record.encode(), kConstants);
    check(remerged.ok() && remerged->record == record);
  }

  (void)kx::parseUrl(text);
  (void)kx::normalizeSetupCode(text);
  return 0;
}
