// InputAccess on X11: posting input is allowed exactly when the server offers
// XTest; there is nothing to ask for. Any thread (reads are serialised).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "media/input_access.h"
#include "platform/x11/x11_connection.h"

namespace kx::x11 {

class InputAccessX11 final : public InputAccess {
 public:
  explicit InputAccessX11(std::string displayName);
  ~InputAccessX11() override;

  // granted with XTest, denied without it or without a server; the two
  // diagnostic Booleans carry the same answer.
  InputAccessSnapshot read() override;
  // The X server has no permission prompt.
  void request() override {}

 private:
  std::mutex mutex_;
  std::string displayName_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace kx::x11
