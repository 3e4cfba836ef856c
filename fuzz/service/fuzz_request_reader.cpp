// Fuzzes the HTTP/1.1 request framing: the input arrives in pieces whose
// sizes come from the input itself; requests that come out must be
// consistent with the limits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/request_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  kx::service::RequestReader::Limits limits;
  limits.maxHeadBytes = 512;
  limits.maxBodyBytes = 256;
  limits.maxHeaders = 8;
  kx::service::RequestReader reader(limits);
  const size_t piece = (data[0] % 64) + 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  while (!rest.empty()) {
    reader.append(rest.substr(0, piece));
    rest.remove_prefix(std::min(piece, rest.size()));
    for (;;) {
      const auto result = reader.next();
      if (result == kx::service::RequestReader::Result::failed) {
        if (reader.errorStatus() < 400 || reader.errorMessage().empty()) __builtin_trap();
        return 0;
      }
      if (result == kx::service::RequestReader::Result::needMore) break;
      const auto request = reader.take();
      if (request.body.size() > limits.maxBodyBytes) __builtin_trap();
      if (request.target.empty() || request.target[0] != '/') __builtin_trap();
      (void)reader.takeContinueRequest();
    }
  }
  return 0;
}
