#include "platform/qt/termination_signal.h"

#include <QSocketNotifier>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kx {

TerminationSignal::TerminationSignal(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  // Blocked signals stay pending for the signalfd instead of killing the process.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    signalfd_siginfo info;
    bool got = false;
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) got = true;
    if (got && onSignal_) onSignal_();
  });
}

TerminationSignal::~TerminationSignal() {
  notifier_.reset();
  if (fd_ >= 0) close(fd_);
}

}  // namespace kx
