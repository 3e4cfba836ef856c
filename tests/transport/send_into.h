// Runs one request as a task and leaves its answer in `out`. (A lambda
// coroutine would refer to its closure after the closure is gone.)
#pragma once

#include <optional>

#include "protocol/http.h"
#include "runtime/task.h"

namespace kx {

inline Task<void> sendInto(HttpTransport& transport, HttpRequest request,
                           std::optional<Expected<HttpResponse>>& out) {
  out = co_await sendRequest(transport, std::move(request));
}

}  // namespace kx
