#include "service/open_storage.h"

#include "service/postgres_storage.h"
#include "service/sqlite_storage.h"

namespace kx::service {

bool isPostgresUri(std::string_view database) {
  return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

Expected<std::unique_ptr<Storage>> openStorage(const std::string& database) {
  if (isPostgresUri(database)) {
    auto storage = PostgresStorage::open(database);
    if (!storage) return std::move(storage).error();
    return std::unique_ptr<Storage>(std::move(*storage));
  }
  auto storage = SqliteStorage::open(database);
  if (!storage) return std::move(storage).error();
  return std::unique_ptr<Storage>(std::move(*storage));
}

}  // namespace kx::service
