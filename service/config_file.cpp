#include "service/config_file.h"

#include <array>
#include <fstream>
#include <sstream>

namespace kx::service {
namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;

constexpr std::array<std::string_view, 11> kNames = {
    "listen",          "cert",    "key",           "data",           "database", "url", "consent-seconds",
    "pending-seconds", "workers", "installer-url", "trusted-proxies"};

std::string_view trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

Error lineError(size_t line, const std::string& what) {
  return makeError("Config", 1, "line " + std::to_string(line) + ": " + what);
}

}  // namespace

bool isConfigName(std::string_view name) {
  for (std::string_view known : kNames) {
    if (name == known) return true;
  }
  return false;
}

Expected<ConfigValues> parseConfig(std::string_view text) {
  if (text.size() > kMaxConfigBytes) return makeError("Config", 1, "the file is larger than 64 KiB");
  ConfigValues values;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return lineError(number, "expected name = value");
    const std::string name(trim(line.substr(0, equals)));
    const std::string value(trim(line.substr(equals + 1)));
    if (!isConfigName(name)) return lineError(number, "unknown name \"" + name + "\"");
    if (value.empty()) return lineError(number, name + " has no value");
    if (!values.emplace(name, value).second) return lineError(number, name + " is set twice");
  }
  return values;
}

Expected<ConfigValues> readConfigFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return makeError("Config", 1, "cannot read " + path);
  std::string text(kMaxConfigBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  auto values = parseConfig(text);
  if (!values) return makeError("Config", 1, path + ": " + values.error().description);
  return values;
}

}  // namespace kx::service
