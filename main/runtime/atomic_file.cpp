#include "runtime/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kx {
namespace {

Error fileError(int err, const std::string& what) {
  return makeError("File", err, what + ": " + std::strerror(err));
}

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Status writeFileAtomically(const std::string& path, std::string_view data, std::optional<unsigned> mode) {
  std::string tmpl = path + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) return fileError(errno, "Cannot create " + tmpl);
  const std::string tmp(name.data());
  auto fail = [&](const std::string& what) {
    const int err = errno;
    close(fd);
    unlink(tmp.c_str());
    return fileError(err, what);
  };
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("Cannot write " + path);
    }
    done += static_cast<size_t>(n);
  }
  // mkstemp creates 0600; give ordinary files the usual umask-based mode.
  if (mode) {
    if (fchmod(fd, *mode) != 0) return fail("Cannot set permissions of " + path);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) return fail("Cannot set permissions of " + path);
  }
  if (fsync(fd) != 0) return fail("Cannot flush " + path);
  if (close(fd) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    return fileError(err, "Cannot close " + path);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    return fileError(err, "Cannot replace " + path);
  }
  // Persist the rename itself.
  const int dir = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return {};
}

Expected<std::string> readFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fileError(errno, "Cannot open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      close(fd);
      return fileError(err, "Cannot read " + path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

}  // namespace kx
