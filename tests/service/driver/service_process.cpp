#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace kx::service::driver {

namespace {

std::vector<char*> argvOf(const std::string& binary, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

double seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// Output goes to memory files, read once the command has ended: no pipe can fill up.
CommandResult runCommand(const std::string& binary, const std::vector<std::string>& args, const std::string& input) {
  CommandResult result;
  int in[2];
  const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
  if (out < 0 || err < 0 || pipe2(in, O_CLOEXEC) != 0) return result;
  auto argv = argvOf(binary, args);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  // Small inputs fit the pipe.
  [[maybe_unused]] ssize_t w = write(in[1], input.data(), input.size());
  close(in[1]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  for (auto [fd, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text->append(buf, static_cast<size_t>(n));
    close(fd);
  }
  return result;
}

Expected<std::unique_ptr<ServiceProcess>> ServiceProcess::start(const std::string& binary, const std::string& dataDir,
                                                                const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"serve", "--data", dataDir, "--listen", "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return makeError("ServiceProcess", errno, std::strerror(errno));
  auto argv = argvOf(binary, args);
  std::unique_ptr<ServiceProcess> process(new ServiceProcess());
  process->pid_ = fork();
  if (process->pid_ == 0) {
    // A test that dies must not leave a service behind holding its output pipes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out[1], 1);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  process->out_ = out[0];
  if (process->pid_ < 0) return makeError("ServiceProcess", errno, std::strerror(errno));

  const std::string marker = "listening on https://127.0.0.1:";
  const double deadline = seconds() + 30;
  while (seconds() < deadline) {
    process->readAvailable(200);
    const size_t at = process->output_.find(marker);
    if (at != std::string::npos) {
      const size_t end = process->output_.find('\n', at);
      if (end != std::string::npos) {
        process->port_ = static_cast<uint16_t>(std::stoi(process->output_.substr(at + marker.size())));
        return process;
      }
    }
    int status = 0;
    if (waitpid(process->pid_, &status, WNOHANG) == process->pid_) {
      process->pid_ = -1;
      return makeError("ServiceProcess", 1, "kx-service exited early: " + process->output_);
    }
  }
  return makeError("ServiceProcess", 1, "kx-service did not report its port: " + process->output_);
}

bool ServiceProcess::readAvailable(int timeoutMs) {
  pollfd p{out_, POLLIN, 0};
  if (out_ < 0 || poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[4096];
  const ssize_t n = read(out_, buf, sizeof buf);
  if (n > 0) output_.append(buf, static_cast<size_t>(n));
  return n > 0;
}

int ServiceProcess::terminate(double timeoutSeconds) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const double deadline = seconds() + timeoutSeconds;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (seconds() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    readAvailable(50);
  }
  while (readAvailable(0)) continue;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ServiceProcess::~ServiceProcess() {
  terminate(5);
  if (out_ >= 0) close(out_);
}

std::string siblingBinary(const char* name) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path() / name).string();
}

}  // namespace kx::service::driver
