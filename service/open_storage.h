// Chooses the storage backend from the --database setting: a PostgreSQL
// connection URI shared by replicas, or else the path of a SQLite file.
#pragma once

#include <memory>
#include <string>

#include "service/storage.h"

namespace kx::service {

bool isPostgresUri(std::string_view database);

Expected<std::unique_ptr<Storage>> openStorage(const std::string& database);

}  // namespace kx::service
