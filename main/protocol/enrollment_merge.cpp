#include "protocol/enrollment_merge.h"

#include "protocol/encoding.h"
#include "runtime/atomic_file.h"

namespace kx {
namespace {

constexpr unsigned kSettingsFileMode = 0600;
constexpr size_t kSetupCodeLength = 20;

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool hasRetiredHost(const EnrollmentConfiguration& record, const EnrollmentConstants& constants) {
  if (constants.retiredHostSuffix.empty()) return false;
  const auto url = parseUrl(record.url);
  return url && !url->host.empty() && endsWith(url->host, lowerAscii(constants.retiredHostSuffix));
}

// Length in bytes of the Unicode white-space character starting at `text[i]`
// (ASCII and the common non-ASCII spaces a pasted code may carry), else 0.
size_t whitespaceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return i + k < text.size() ? static_cast<uint8_t>(text[i + k]) : 0; };
  const uint8_t b0 = byte(0);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0d)) return 1;
  if (b0 == 0xc2 && (byte(1) == 0x85 || byte(1) == 0xa0)) return 2;  // NEL, no-break space
  if (b0 == 0xe1 && byte(1) == 0x9a && byte(2) == 0x80) return 3;     // ogham space mark
  if (b0 == 0xe2 && byte(1) == 0x80) {
    const uint8_t b2 = byte(2);
    if ((b2 >= 0x80 && b2 <= 0x8a) || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf) return 3;  // U+2000-200A, 2028, 2029, 202F
  }
  if (b0 == 0xe2 && byte(1) == 0x81 && byte(2) == 0x9f) return 3;  // medium mathematical space
  if (b0 == 0xe3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;  // ideographic space
  return 0;
}

}  // namespace

Expected<MergedEnrollment> mergeEnrollment(const std::optional<EnrollmentConfiguration>& stored,
                                           std::string_view data, const EnrollmentConstants& constants) {
  auto decoded = EnrollmentConfiguration::decode(data);
  if (!decoded) return std::move(decoded).error();
  EnrollmentConfiguration record = std::move(*decoded);

  if (hasRetiredHost(record, constants)) {
    record.url = constants.serviceAddress;
    record.token.clear();
    record.sitesAccess.clear();
    record.device.reset();
    record.key.reset();
  }

  auto url = record.validatedURL(constants.serviceHost);
  if (!url) return std::move(url).error();

  if (stored && stored->installation) {
    record.installation = stored->installation;
  } else if (!record.installation) {
    record.installation = newUuid();
  }

  if (stored && stored->url == record.url) {
    record.device = stored->device;
    record.key = stored->key;
  }

  if (stored && stored->capturePrivateKey) {
    record.capturePrivateKey = stored->capturePrivateKey;
  } else if (!record.capturePrivateKey) {
    record.capturePrivateKey = base64Encode(P256PrivateKey::generate().raw());
  }
  const auto raw = base64Decode(*record.capturePrivateKey);
  if (!raw) return makeError("Invalid private key", 1, "The device private key is not valid base64.");
  auto privateKey = P256PrivateKey::fromRaw(*raw);
  if (!privateKey) return std::move(privateKey).error();

  return MergedEnrollment{std::move(record), std::move(*url), std::move(*privateKey)};
}

std::optional<std::string> normalizeSetupCode(std::string_view typed) {
  std::string code;
  for (size_t i = 0; i < typed.size();) {
    if (const size_t n = whitespaceLength(typed, i)) {
      i += n;
      continue;
    }
    char c = typed[i++];
    if (c == '-') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!hex || code.size() == kSetupCodeLength) return std::nullopt;
    code.push_back(c);
  }
  if (code.size() != kSetupCodeLength) return std::nullopt;
  return code;
}

EnrollmentConfiguration setupCodeRecord(const std::string& code, const EnrollmentConstants& constants) {
  EnrollmentConfiguration record;
  record.url = constants.serviceAddress;
  record.token = code;
  record.sitesAccess = "";
  return record;
}

Status saveEnrollment(const std::string& path, const EnrollmentConfiguration& record) {
  return writeFileAtomically(path, record.encode(), kSettingsFileMode);
}

}  // namespace kx
