// SIGTERM delivered through the event loop (a signalfd watched by a socket
// notifier), so termination runs the same quit path as the menu.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace kx {

class TerminationSignal : public QObject {
 public:
  // Blocks SIGTERM for the process and calls `onSignal` on the GUI thread for
  // each delivery. Must be created before other threads start.
  explicit TerminationSignal(std::function<void()> onSignal);
  ~TerminationSignal() override;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> onSignal_;
};

}  // namespace kx
