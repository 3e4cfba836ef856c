// A PostgreSQL server of its own in a temporary folder for the scale
// benchmark: a fresh cluster (initdb), a server listening only on a
// Unix socket in that folder, and everything stopped and removed by the
// destructor. PostgreSQL refuses to run as root, so when the caller is root
// the cluster belongs to the "postgres" account of Debian's package, or to a
// "kx-postgres" system account created for it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/error.h"

namespace kx::service::driver {

class ThrowawayPostgres {
 public:
  // `settings` are extra server settings ("max_connections=300"). Durability
  // is off: the cluster lives as long as this object.
  static Expected<std::unique_ptr<ThrowawayPostgres>> start(const std::vector<std::string>& settings = {});
  ~ThrowawayPostgres();
  ThrowawayPostgres(const ThrowawayPostgres&) = delete;
  ThrowawayPostgres& operator=(const ThrowawayPostgres&) = delete;

  // Creates an empty database (lower-case letters, digits and '_') and
  // returns its connection URI.
  Expected<std::string> createDatabase(const std::string& name);
  std::string uri(const std::string& database) const;
  // Runs one statement on `database` with a connection of its own; the
  // first value of its result ("" when none).
  Expected<std::string> scalar(const std::string& database, const std::string& sql);
  const std::string& folder() const { return folder_; }

 private:
  ThrowawayPostgres() = default;

  std::string folder_;
  pid_t server_ = -1;
  std::thread logDrain_;  // keeps the server's log pipe from filling up
};

}  // namespace kx::service::driver
