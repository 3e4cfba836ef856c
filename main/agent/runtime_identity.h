// The running build's identity, captured once at launch and reported in the
// status file and the connection details, so a support person can tell
// whether the installed copy matches the code that runs.
#pragma once

#include <string>
#include <string_view>

#include "agent/agent_platform.h"
#include "protocol/json.h"

namespace kx::RuntimeIdentity {

// Keys: "runningBuildVersion", "processID", "bundleIdentifier",
// "bundlePath", "executablePath", "processLaunchTime", "architecture",
// "onDiskVersion", "codeLookupStatus"; the signature keys
// ("runningCodeValidationStatus", "signingIdentifier", "onDiskCodeHash")
// only where code signing exists, which it does not here.
Json capture(const ProcessInfo& process, std::string_view buildVersion);

// One "key: value" line per entry, sorted by key, joined with "\n"; texts
// plain, numbers in their usual decimal form.
std::string lines(const Json& identity);

}  // namespace kx::RuntimeIdentity
