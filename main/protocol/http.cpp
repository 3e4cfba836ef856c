#include "protocol/http.h"

#include <algorithm>

namespace kx {

namespace {

constexpr double kAgentTimeoutSeconds = 12;
constexpr double kConsoleTimeoutSeconds = 8;
// The code Foundation gives JSON parse failures; callers show only the text.
constexpr int64_t kJsonParseErrorCode = 3840;

// A 200 body must be JSON; the parser's own message is what the user sees.
Expected<Json> parseSuccessBody(std::string_view body) {
  if (jsonNestsDeeperThan(body, kMaxJsonDepth)) {
    return makeError("JSON", kJsonParseErrorCode, "parse error: nested deeper than " + std::to_string(kMaxJsonDepth));
  }
  try {
    return Json::parse(body);
  } catch (const Json::exception& e) {
    std::string_view text = e.what();
    // Drop nlohmann's "[json.exception.parse_error.101] " tag.
    if (!text.empty() && text.front() == '[') {
      if (const auto end = text.find("] "); end != std::string_view::npos) text.remove_prefix(end + 2);
    }
    return makeError("JSON", kJsonParseErrorCode, std::string(text));
  }
}

// The service's "error" text of a refusal, when its body is an object holding one.
std::optional<std::string> serviceErrorText(std::string_view body) {
  const auto object = parseJsonObject(body);
  if (!object) return std::nullopt;
  // {"error": text}, or an error object {"error": {..., "description": text}}
  // or {"description": text} beside a machine-readable "error".
  if (const std::string* text = jsonString(*object, "error")) {
    if (const std::string* description = jsonString(*object, "description")) return *description;
    return *text;
  }
  if (const Json* error = jsonObject(*object, "error")) {
    if (const std::string* description = jsonString(*error, "description")) return *description;
  }
  if (const std::string* text = jsonString(*object, "description")) return *text;
  return std::nullopt;
}

HttpRequest bearerRequest(std::string url, const std::string& credential, double timeoutSeconds) {
  HttpRequest request;
  request.url = std::move(url);
  request.timeoutSeconds = timeoutSeconds;
  // Sent even when the credential is still empty ("Bearer ").
  request.headers.emplace_back("Authorization", "Bearer " + credential);
  return request;
}

}  // namespace

Task<Expected<HttpResponse>> sendRequest(HttpTransport& transport, HttpRequest request) {
  // Named, not written inside the co_await: g++ 12 destroys a lambda
  // temporary with non-trivial captures twice when it is part of the
  // co_await operand. It runs while this frame (and `request`) is alive.
  auto start = [&transport, &request](std::function<void(Expected<HttpResponse>)> done) {
    transport.send(std::move(request), std::move(done));
  };
  co_return co_await awaitCallback<Expected<HttpResponse>>(std::move(start));
}

Error pinnedConnectionRefusal() {
  return makeError("PinnedConnection", 1, "Refused a request outside the support service.");
}

Expected<PinnedConnection> PinnedConnection::create(const EnrollmentConfiguration& configuration,
                                                    std::string_view serviceHost) {
  auto url = configuration.validatedURL(serviceHost);
  if (!url) return std::move(url).error();
  return PinnedConnection(url->host);
}

Status PinnedConnection::check(std::string_view url) const {
  const auto parsed = parseUrl(url);
  // Credentials in the address would be sent to the service as a login; the
  // app never builds such addresses, so they are refused with the rest.
  if (!parsed || parsed->scheme != "https" || parsed->host != host_ || parsed->user ||
      parsed->password) {
    return pinnedConnectionRefusal();
  }
  return {};
}

HttpRequest makeAgentRequest(const std::string& base, const std::string& path, const Json& body,
                             const std::string& secret) {
  HttpRequest request = bearerRequest(base + "/api/" + path, secret, kAgentTimeoutSeconds);
  request.method = "POST";
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = dumpJson(body);
  return request;
}

Expected<Json> interpretAgentResponse(Expected<HttpResponse> response) {
  if (!response) return std::move(response).error();
  if (response->status == 200) {
    auto value = parseSuccessBody(response->body);
    if (!value) return value;
    return value->is_object() ? std::move(*value) : Json::object();
  }
  const std::string detail = serviceErrorText(response->body).value_or("Request rejected");
  return makeError("KestrelixService", response->status,
                   "Server " + std::to_string(response->status) + ": " + detail);
}

HttpRequest makeConsoleRequest(const std::string& apiBase, const std::string& path,
                               const std::optional<Json>& body, const std::string& token) {
  HttpRequest request = bearerRequest(apiBase + "/api/admin/" + path, token, kConsoleTimeoutSeconds);
  if (body) {
    request.method = "POST";
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = dumpJson(*body);
  } else {
    request.method = "GET";
  }
  return request;
}

Expected<Json> interpretConsoleResponse(Expected<HttpResponse> response) {
  if (!response) return std::move(response).error();
  if (response->status == 200) {
    auto value = parseSuccessBody(response->body);
    if (!value) return value;
    if (value->is_array() &&
        std::all_of(value->begin(), value->end(), [](const Json& item) { return item.is_object(); })) {
      return Json{{"devices", std::move(*value)}};
    }
    return value->is_object() ? std::move(*value) : Json::object();
  }
  return makeError("Kestrelix", response->status,
                   serviceErrorText(response->body).value_or("Unable to connect to the support service"));
}

}  // namespace kx
