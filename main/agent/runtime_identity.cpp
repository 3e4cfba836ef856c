#include "agent/runtime_identity.h"

namespace kx::RuntimeIdentity {

Json capture(const ProcessInfo& process, std::string_view buildVersion) {
  Json identity = Json::object();
  identity["runningBuildVersion"] = std::string(buildVersion);
  identity["processID"] = process.processId;
  identity["bundleIdentifier"] = process.bundleIdentifier.value_or("unknown");
  identity["bundlePath"] = process.bundlePath;
  identity["executablePath"] = process.executablePath.value_or("unknown");
  if (process.launchTime) {
    identity["processLaunchTime"] = *process.launchTime;
  } else {
    identity["processLaunchTime"] = 0;
  }
  identity["architecture"] = process.architecture;
  identity["onDiskVersion"] = process.onDiskVersion.value_or("unknown");
  // The lookup of our own code object is the last step that can run: with a
  // non-zero status nothing about the signature is known.
  identity["codeLookupStatus"] = process.codeLookupStatus;
  return identity;
}

std::string lines(const Json& identity) {
  std::string out;
  if (!identity.is_object()) return out;
  // nlohmann's object keeps its keys sorted, as the lines must be.
  for (const auto& [key, value] : identity.items()) {
    if (!out.empty()) out += "\n";
    out += key;
    out += ": ";
    out += value.is_string() ? value.get<std::string>() : dumpJson(value);
  }
  return out;
}

}  // namespace kx::RuntimeIdentity
