#include "platform/x11/x11_platform.h"

#include "platform/x11/x11_input_access.h"
#include "platform/x11/x11_input_injector.h"
#include "platform/x11/x11_screen_capture.h"

namespace kx {

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(EventLoop& loop, std::string displayName) {
  return std::make_unique<x11::ScreenCaptureX11>(loop, std::move(displayName));
}

std::unique_ptr<InputInjector> makeX11InputInjector(std::string displayName) {
  return std::make_unique<x11::InputInjectorX11>(std::move(displayName));
}

std::unique_ptr<InputAccess> makeX11InputAccess(std::string displayName) {
  return std::make_unique<x11::InputAccessX11>(std::move(displayName));
}

}  // namespace kx
