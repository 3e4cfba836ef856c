// Runs the real kx-service binary for end-to-end tests and the load
// benchmark: a server on a free loopback port, and the admin commands.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace kx::service::driver {

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs `binary args...` with `input` on its standard input and waits for it.
CommandResult runCommand(const std::string& binary, const std::vector<std::string>& args,
                         const std::string& input = "");

class ServiceProcess {
 public:
  // `serve --data dataDir --listen 127.0.0.1:0 extra...`; waits up to 30 s
  // for the line that names the port.
  static Expected<std::unique_ptr<ServiceProcess>> start(const std::string& binary, const std::string& dataDir,
                                                         const std::vector<std::string>& extra = {});
  ~ServiceProcess();

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string output() const;  // standard output so far

  // SIGTERM, then waits; the exit code, or -1 when it had to be killed or died by a signal.
  int terminate(double timeoutSeconds = 10);

 private:
  ServiceProcess() = default;

  pid_t pid_ = -1;
  int out_ = -1;
  uint16_t port_ = 0;
};

// The kx-service binary next to the running test or benchmark executable.
std::string siblingBinary(const char* name);

}  // namespace kx::service::driver
