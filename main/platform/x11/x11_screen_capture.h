// ScreenCapture for an X server: RandR monitors as displays, one capture
// stream (with its own connection and frame thread) per shared display.
#pragma once

#include <memory>
#include <string>

#include "media/capture.h"
#include "platform/x11/x11_connection.h"
#include "runtime/event_loop.h"

namespace kx::x11 {

class ScreenCaptureX11 final : public ScreenCapture {
 public:
  // `displayName` empty means $DISPLAY. Loop thread only.
  ScreenCaptureX11(EventLoop& loop, std::string displayName);
  ~ScreenCaptureX11() override;

  // Empty when the server cannot be reached.
  std::vector<Display> displays() override;
  // Captures the filter's first display; a filter without one gives a stream
  // whose start fails.
  std::unique_ptr<CaptureStream> createStream(const ContentFilter& filter, const CaptureConfiguration& configuration,
                                              std::function<void(Error)> onStop) override;

 private:
  EventLoop& loop_;
  std::string displayName_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace kx::x11
