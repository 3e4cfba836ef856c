// The detached helper that starts a new copy of the agent once this one has
// exited, so that a newly granted input permission takes effect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/agent_platform.h"

namespace kx {

// Waits up to 20 × 0.5 s for process $1 to exit, then replaces itself with
// $2; gives up with status 1 when the old process stays.
inline constexpr std::string_view kRelaunchScript =
    "for n in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do if ! kill -0 \"$1\" 2>/dev/null; then "
    "exec \"$2\"; fi; sleep 0.5; done; exit 1";

// /bin/sh -c <script> kestrelix-relaunch <pid> <application>
ChildProcess relaunchCommand(int32_t processId, const std::string& application);

}  // namespace kx
