#include "platform/x11/x11_screen_capture.h"

#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/x11_displays.h"

namespace kx::x11 {

ScreenCaptureX11::ScreenCaptureX11(EventLoop& loop, std::string displayName)
    : loop_(loop), displayName_(std::move(displayName)) {}

ScreenCaptureX11::~ScreenCaptureX11() = default;

std::vector<Display> ScreenCaptureX11::displays() {
  if (connection_ && connection_->lost()) connection_.reset();
  if (!connection_) connection_ = Connection::open(displayName_);
  if (!connection_) return {};
  auto displays = listDisplays(connection_->get());
  if (connection_->lost()) return {};
  return displays;
}

std::unique_ptr<CaptureStream> ScreenCaptureX11::createStream(const ContentFilter& filter,
                                                              const CaptureConfiguration& configuration,
                                                              std::function<void(Error)> onStop) {
  Display target = filter.displays.empty() ? Display{} : filter.displays.front();
  return std::make_unique<CaptureStreamX11>(loop_, displayName_, std::move(target), configuration, std::move(onStop));
}

}  // namespace kx::x11
