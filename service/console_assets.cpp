#include "service/console_assets.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "protocol/encoding.h"

namespace kx::service {

namespace {

constexpr std::string_view kPrefix = "/console";
constexpr std::string_view kVersionMark = "%VERSION%";
constexpr size_t kMaxFiles = 64;
constexpr size_t kMaxFileBytes = 1 << 20;

std::string_view contentTypeOf(std::string_view name) {
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  return {};
}

// Plain file names only: no folders, no dot files, so no path can leave the set.
bool isAssetName(std::string_view name) {
  if (name.empty() || name.front() == '.' || contentTypeOf(name).empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

Response answer(int status, std::string_view type, std::string body, std::string_view cache) {
  Response r;
  r.status = status;
  r.contentType = std::string(type);
  r.headers = {{"Content-Security-Policy", kConsoleSecurityPolicy},
               {"Cache-Control", std::string(cache)},
               {"X-Frame-Options", "DENY"},
               {"Referrer-Policy", "no-referrer"},
               {"Cross-Origin-Opener-Policy", "same-origin"}};
  r.body = std::move(body);
  return r;
}

Response notFound() { return answer(404, "text/plain; charset=utf-8", "Not found.\n", "no-store"); }

}  // namespace

Expected<ConsoleAssets> ConsoleAssets::fromFiles(std::map<std::string, std::string> files) {
  auto index = files.find("index.html");
  if (index == files.end()) return makeError("Console assets", 1, "The console has no index.html.");
  std::string page = std::move(index->second);
  files.erase(index);

  // The version covers the page and every asset, in name order.
  std::string all = page;
  for (const auto& [name, content] : files) {
    if (!isAssetName(name)) return makeError("Console assets", 1, "Unexpected console file " + name + ".");
    all += '\0' + name + '\0' + content;
  }
  ConsoleAssets assets;
  assets.version_ = hexEncode(sha256(all)).substr(0, 16);
  for (size_t at = page.find(kVersionMark); at != std::string::npos; at = page.find(kVersionMark, at)) {
    page.replace(at, kVersionMark.size(), assets.version_);
    at += assets.version_.size();
  }
  assets.page_ = std::move(page);
  assets.files_ = std::move(files);
  return assets;
}

Expected<ConsoleAssets> ConsoleAssets::load(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || !isAssetName(name)) continue;
    if (files.size() >= kMaxFiles || entry.file_size() > kMaxFileBytes) {
      return makeError("Console assets", 1, "The console folder " + folder + " holds too much.");
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in.good() && !in.eof()) return makeError("Console assets", 1, "Cannot read " + entry.path().string() + ".");
    files.emplace(name, std::move(content).str());
  }
  if (ec) return makeError("Console assets", 1, "Cannot read the console folder " + folder + ": " + ec.message());
  return fromFiles(std::move(files));
}

std::optional<Response> ConsoleAssets::serve(const Request& request) const {
  std::string_view path = request.target;
  path = path.substr(0, path.find('?'));
  if (!path.starts_with(kPrefix)) return std::nullopt;
  std::string_view rest = path.substr(kPrefix.size());
  if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "/consoles" is not ours

  if (request.method != "GET") {
    Response r = answer(405, "text/plain; charset=utf-8", "Method not allowed.\n", "no-store");
    r.headers.emplace_back("Allow", "GET");
    return r;
  }
  if (rest.empty() || rest == "/") return answer(200, contentTypeOf(".html"), page_, "no-cache");

  // "/<version>/<file>"
  rest.remove_prefix(1);
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos || rest.substr(0, slash) != version_) return notFound();
  auto file = files_.find(std::string(rest.substr(slash + 1)));
  if (file == files_.end()) return notFound();
  return answer(200, contentTypeOf(file->first), file->second, "public, max-age=31536000, immutable");
}

std::string consoleAssetsFolder() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "console";
  const auto beside = self.parent_path() / "console";
  // An installed copy (/usr/sbin) keeps them with its other data files.
  const auto installed = self.parent_path().parent_path() / "share/kx-service/console";
  if (!std::filesystem::is_directory(beside, ec) && std::filesystem::is_directory(installed, ec)) {
    return installed.string();
  }
  return beside.string();
}

}  // namespace kx::service
