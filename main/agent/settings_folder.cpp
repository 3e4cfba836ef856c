#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/agent_platform.h"

namespace kx {
namespace {

Error folderError(int err, const std::string& path) {
  return makeError("File", err, "Cannot create " + path + ": " + std::strerror(err));
}

}  // namespace

Status createPrivateFolder(const std::string& path) {
  if (path.empty()) return folderError(ENOENT, path);
  // Missing parents are made private too, as XDG asks of the data folder.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return folderError(errno, parent);
  }
  if (mkdir(path.c_str(), 0700) != 0) {
    if (errno != EEXIST) return folderError(errno, path);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return folderError(errno, path);
    if (!S_ISDIR(info.st_mode)) return folderError(ENOTDIR, path);
    if ((info.st_mode & 0777) != 0700 && chmod(path.c_str(), 0700) != 0) return folderError(errno, path);
  }
  return {};
}

std::string defaultSettingsFolder() {
  std::string base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
    base = data;
  } else if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
    base = std::string(home) + "/.local/share";
  } else {
    base = "/tmp";
  }
  return base + "/Kestrelix Remote Test";
}

}  // namespace kx
