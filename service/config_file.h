// The service's configuration file: one "name = value" per line, '#' starts a
// comment line. Each name is a long option of kx-service without its dashes,
// so the file and the command line say the same things the same way.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace kx::service {

using ConfigValues = std::map<std::string, std::string>;

// Names the file may set; anything else is a mistake worth stopping for.
bool isConfigName(std::string_view name);

Expected<ConfigValues> parseConfig(std::string_view text);
Expected<ConfigValues> readConfigFile(const std::string& path);

}  // namespace kx::service
