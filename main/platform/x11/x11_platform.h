// The X11 implementations of the platform interfaces, chosen in one place.
// `displayName` empty means $DISPLAY.
#pragma once

#include <memory>
#include <string>

#include "media/capture.h"
#include "media/input_access.h"
#include "media/input_injector.h"
#include "runtime/event_loop.h"

namespace kx {

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(EventLoop& loop, std::string displayName = {});
std::unique_ptr<InputInjector> makeX11InputInjector(std::string displayName = {});
std::unique_ptr<InputAccess> makeX11InputAccess(std::string displayName = {});

}  // namespace kx
