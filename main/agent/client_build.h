// The version of this client build, reported in the status file, the
// connection details and the setup-window bookkeeping.
#pragma once

#include <string_view>

namespace kx::ClientBuild {

inline constexpr std::string_view version = "0.5.0";

}  // namespace kx::ClientBuild
