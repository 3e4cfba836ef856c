#include "agent/relaunch.h"

namespace kx {

ChildProcess relaunchCommand(int32_t processId, const std::string& application) {
  return ChildProcess{
      "/bin/sh", {"-c", std::string(kRelaunchScript), "kestrelix-relaunch", std::to_string(processId), application}};
}

}  // namespace kx
