// Fuzzes a request as the front receives it: bytes on the wire through the
// PROXY header parser (as from a trusted proxy) and the HTTP parser with the front's limits, then the service's answer to whatever
// parsed, on a fresh database. Checks that no input crosses a limit or gets
// an answer that is not a JSON error or a page.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/json.h"
#include "runtime/basic_loop.h"
#include "service/https_front.h"
#include "service/proxy_header.h"
#include "service/service.h"
#include "service/sqlite_storage.h"

namespace {

namespace http = boost::beast::http;
using namespace kx;
using namespace kx::service;

SqliteStorage& storage() {
  static SqliteStorage* opened = SqliteStorage::open(":memory:").value().release();
  return *opened;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FrontOptions limits;
  std::string_view wire(reinterpret_cast<const char*>(data), size);
  const ProxyHeader proxy = parseProxyHeader(wire);
  if (proxy.outcome == ProxyHeader::Outcome::complete) {
    if (proxy.length == 0 || proxy.length > wire.size() || proxy.length > kMaxProxyHeaderBytes) __builtin_trap();
    // A prefix of a complete header is never complete too.
    if (parseProxyHeader(wire.substr(0, proxy.length - 1)).outcome == ProxyHeader::Outcome::complete) __builtin_trap();
    wire.remove_prefix(proxy.length);
  } else if (proxy.outcome == ProxyHeader::Outcome::needMore && wire.size() >= kMaxProxyHeaderBytes) {
    __builtin_trap();
  }
  while (!wire.empty() && (wire.front() == '\r' || wire.front() == '\n')) wire.remove_prefix(1);

  http::request_parser<http::string_body> parser;
  parser.header_limit(static_cast<uint32_t>(limits.maxHeadBytes));
  parser.body_limit(limits.maxBodyBytes);
  parser.eager(true);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(wire.data(), wire.size()), ec);
  if (!parser.is_done()) return 0;
  const auto& message = parser.get();
  if (message.body().size() > limits.maxBodyBytes) __builtin_trap();

  Request request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.authorization = std::string(message[http::field::authorization]);
  request.contentType = std::string(message[http::field::content_type]);
  request.body = message.body();
  request.remoteAddress = "198.51.100.7";

  VirtualLoop clock;
  ServiceOptions options;
  options.passwordHashing.n = 16;
  Service service(storage(), clock, options);
  const Response response = service.handle(request);
  if (response.status < 200 || response.status > 599) __builtin_trap();
  if (response.contentType == "application/json" && !parseJsonObject(response.body)) __builtin_trap();
  return 0;
}
