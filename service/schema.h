// The service's database schema for both storage backends, in one list of
// migrations: entry N moves a database from schema version N to N + 1. The
// two texts of an entry describe the same tables in each dialect, so the
// backends never drift apart. Entries are never edited once released, only
// appended.
#pragma once

#include <span>

namespace kx::service {

struct Migration {
  const char* sqlite;
  const char* postgres;
};

std::span<const Migration> schemaMigrations();

// The schema version this program writes (the number of migrations).
int currentSchemaVersion();

}  // namespace kx::service
