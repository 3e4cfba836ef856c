// A capture stream of one RandR monitor: a frame thread grabs the monitor's
// rectangle at most `minimumFrameIntervalDen` times a second, scales it to the
// configured size in BGRA into pooled GstBuffers, and hands each picture to
// the output as a complete frame with its CLOCK_MONOTONIC time in ns.
//
// The stream stops by itself, reporting through onStop on the loop thread,
// when its monitor disappears or changes place or size (input coordinates
// would no longer match the picture), or when the X connection is lost.
// After stop() or the destructor returns, the output gets no further frame.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "media/capture.h"
#include "runtime/event_loop.h"

namespace kx::x11 {

class CaptureStreamX11 final : public CaptureStream {
 public:
  CaptureStreamX11(EventLoop& loop, std::string displayName, Display target, CaptureConfiguration configuration,
                   std::function<void(Error)> onStop);
  ~CaptureStreamX11() override;

  Status addOutput(CaptureOutput* output) override;
  void start(std::function<void(Status)> done) override;
  void stop(std::function<void(Status)> done) override;

 private:
  // Shared between the loop thread and the frame thread.
  struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;
    bool finished = false;  // the frame thread has let go of the display
    std::function<void(Status)> stopDone;

    std::mutex outputMutex;  // held while a frame is delivered
    CaptureOutput* output = nullptr;

    // Loop thread only.
    bool stopCalled = false;
    bool destroyed = false;
  };

  static void run(std::shared_ptr<Shared> shared, EventLoop& loop, std::string displayName, Display target,
                  CaptureConfiguration configuration, std::function<void(Status)> started,
                  std::function<void(Error)> onStop);

  EventLoop& loop_;
  std::string displayName_;
  Display target_;
  CaptureConfiguration configuration_;
  std::function<void(Error)> onStop_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread thread_;
  bool started_ = false;
};

}  // namespace kx::x11
