#include "service_process.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/scratch.h"

namespace kx::service::driver {

namespace {

// Output goes to memory files, read when needed: no pipe can fill up.
int memoryFile(const std::string& content = "") {
  const int fd = memfd_create("kx-driver", MFD_CLOEXEC);
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return -1;
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string contentOf(int fd) {
  std::string text(static_cast<size_t>(std::max<off_t>(lseek(fd, 0, SEEK_END), 0)), '\0');
  text.resize(static_cast<size_t>(std::max<ssize_t>(pread(fd, text.data(), text.size(), 0), 0)));
  return text;
}

pid_t spawn(const std::string& binary, std::vector<std::string> args, std::initializer_list<int> stdio) {
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies leaves no service behind
    int target = 0;
    for (int fd : stdio) dup2(fd, target++);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

CommandResult runCommand(const std::string& binary, const std::vector<std::string>& args, const std::string& input) {
  const int in = memoryFile(input), out = memoryFile(), err = memoryFile();
  int status = 0;
  const pid_t pid = spawn(binary, args, {in, out, err});
  CommandResult result{pid > 0 && waitpid(pid, &status, 0) == pid ? exitCodeOf(status) : -1, contentOf(out),
                       contentOf(err)};
  for (int fd : {in, out, err}) close(fd);
  return result;
}

Expected<std::unique_ptr<ServiceProcess>> ServiceProcess::start(const std::string& binary, const std::string& dataDir,
                                                                const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"serve", "--data", dataDir, "--listen", "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::unique_ptr<ServiceProcess> process(new ServiceProcess());
  process->out_ = memoryFile();
  process->pid_ = spawn(binary, args, {STDIN_FILENO, process->out_});
  const std::string marker = "listening on https://127.0.0.1:";
  int status = 0;
  bool exited = false;
  kx::testing::waitUntil(
      [&] {
        exited = waitpid(process->pid_, &status, WNOHANG) == process->pid_;
        const std::string out = process->output();
        return exited || out.find('\n', out.find(marker)) != std::string::npos;
      },
      std::chrono::seconds(30));
  const std::string out = process->output();
  if (exited) process->pid_ = -1;
  if (exited || out.find(marker) == std::string::npos) {
    return makeError("ServiceProcess", 1, "kx-service did not report its port: " + out);
  }
  process->port_ = static_cast<uint16_t>(std::stoi(out.substr(out.find(marker) + marker.size())));
  return process;
}

std::string ServiceProcess::output() const { return contentOf(out_); }

int ServiceProcess::terminate(double timeoutSeconds) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  if (!kx::testing::waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                              std::chrono::milliseconds(static_cast<int>(timeoutSeconds * 1000)))) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return exitCodeOf(status);
}

ServiceProcess::~ServiceProcess() {
  terminate(5);
  close(out_);
}

std::string siblingBinary(const char* name) {
  std::error_code ignored;
  return (std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / name).string();
}

}  // namespace kx::service::driver
