// A private Xvfb for tests that need a display. The server picks a free
// display number itself (-displayfd), so parallel test runs never collide.
// The server is killed when the object goes away (or earlier with kill()),
// and by the kernel if the test process dies first.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kx::testing {

class Xvfb {
 public:
  // `extraArguments` go after the screen definition (e.g. "-extension", "XTEST").
  explicit Xvfb(std::string screen = "1920x1080x24", std::vector<std::string> extraArguments = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // A test that crashes must not leave its server behind.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      // Child: the write end must survive exec; everything else may close.
      fds[1] == 3 ? fcntl(3, F_SETFD, 0) : dup2(fds[1], 3);
      std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp",
                                       "-noreset"};
      args.insert(args.end(), extraArguments.begin(), extraArguments.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execvp("Xvfb", argv.data());
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      return;
    }
    // The server writes its display number once it accepts connections; the
    // pipe closes without one when it cannot start.
    std::string number;
    for (char c = 0; read(fds[0], &c, 1) == 1 && c != '\n';) number.push_back(c);
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~Xvfb() { kill(); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool running() const { return !name_.empty(); }
  // ":N", or empty when the server did not start.
  const std::string& name() const { return name_; }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace kx::testing
