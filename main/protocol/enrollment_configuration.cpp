#include "protocol/enrollment_configuration.h"

#include "protocol/json.h"

namespace kx {
namespace {

constexpr char kDomain[] = "Enrollment";

Error decodeError(std::string description) { return makeError(kDomain, 2, std::move(description)); }

std::string quoted(std::string_view key) { return "“" + std::string(key) + "”"; }

// Required text field.
Expected<std::string> requiredString(const Json& object, std::string_view key) {
  if (!object.contains(key)) return decodeError("The data couldn’t be read because " + quoted(key) + " is missing.");
  const std::string* value = jsonString(object, key);
  if (!value) return decodeError("The data couldn’t be read because " + quoted(key) + " is not text.");
  return *value;
}

// Optional text field: absent and null are "no value", anything but text fails.
Expected<std::optional<std::string>> optionalString(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return decodeError("The data couldn’t be read because " + quoted(key) + " is not text.");
  return std::optional<std::string>(it->get<std::string>());
}

}  // namespace

Error invalidServiceAddressError() { return makeError(kDomain, 1, "Invalid support service address."); }

Expected<EnrollmentConfiguration> EnrollmentConfiguration::decode(std::string_view bytes) {
  const auto object = parseJsonObject(bytes);
  if (!object) return decodeError("The data couldn’t be read because it isn’t in the correct format.");

  EnrollmentConfiguration record;
  struct Required {
    const char* key;
    std::string EnrollmentConfiguration::*field;
  };
  for (const Required& r : {Required{"url", &EnrollmentConfiguration::url},
                            Required{"token", &EnrollmentConfiguration::token},
                            Required{"sitesAccess", &EnrollmentConfiguration::sitesAccess}}) {
    auto value = requiredString(*object, r.key);
    if (!value) return std::move(value).error();
    record.*r.field = std::move(*value);
  }
  struct Optional {
    const char* key;
    std::optional<std::string> EnrollmentConfiguration::*field;
  };
  for (const Optional& o : {Optional{"installation", &EnrollmentConfiguration::installation},
                            Optional{"device", &EnrollmentConfiguration::device},
                            Optional{"key", &EnrollmentConfiguration::key},
                            Optional{"capturePrivateKey", &EnrollmentConfiguration::capturePrivateKey}}) {
    auto value = optionalString(*object, o.key);
    if (!value) return std::move(value).error();
    record.*o.field = std::move(*value);
  }
  return record;
}

std::string EnrollmentConfiguration::encode() const {
  Json object = Json::object();
  object["url"] = url;
  object["token"] = token;
  object["sitesAccess"] = sitesAccess;
  if (installation) object["installation"] = *installation;
  if (device) object["device"] = *device;
  if (key) object["key"] = *key;
  if (capturePrivateKey) object["capturePrivateKey"] = *capturePrivateKey;
  return dumpJson(object);
}

Expected<Url> EnrollmentConfiguration::validatedURL(std::string_view serviceHost) const {
  auto parsed = parseUrl(url);
  if (!parsed) return invalidServiceAddressError();
  std::string host(serviceHost);
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const bool valid = parsed->scheme == "https" && !parsed->host.empty() && parsed->host == host &&
                     !parsed->user && !parsed->password && (parsed->path.empty() || parsed->path == "/") &&
                     !parsed->query && !parsed->fragment;
  if (!valid) return invalidServiceAddressError();
  return std::move(*parsed);
}

}  // namespace kx
