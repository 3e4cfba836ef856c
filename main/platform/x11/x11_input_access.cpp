#include "platform/x11/x11_input_access.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace kx::x11 {

InputAccessX11::InputAccessX11(std::string displayName) : displayName_(std::move(displayName)) {}
InputAccessX11::~InputAccessX11() = default;

InputAccessSnapshot InputAccessX11::read() {
  std::lock_guard lock(mutex_);
  if (connection_ && connection_->lost()) connection_.reset();
  if (!connection_) connection_ = Connection::open(displayName_);
  int event = 0, error = 0, major = 0, minor = 0;
  const bool xtest = connection_ && XTestQueryExtension(connection_->get(), &event, &error, &major, &minor) &&
                     !connection_->lost();
  InputAccessSnapshot snapshot;
  snapshot.authorization = xtest ? InputAccessSnapshot::Authorization::granted : InputAccessSnapshot::Authorization::denied;
  snapshot.accessibilityTrusted = xtest;
  snapshot.eventPreflight = xtest;
  return snapshot;
}

}  // namespace kx::x11
