// Crash-safe file replacement.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace kx {

// Writes `data` to a temporary file in the same folder, flushes it to disk and
// renames it over `path`, so readers see either the old or the new content,
// never a truncated file. With `mode`, the file gets those permission bits
// before the rename. Errors carry domain "File" and the errno as code.
Status writeFileAtomically(const std::string& path, std::string_view data,
                           std::optional<unsigned> mode = std::nullopt);

// Reads a whole file. Errors carry domain "File" and the errno as code.
Expected<std::string> readFile(const std::string& path);

}  // namespace kx
