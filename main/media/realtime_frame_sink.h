// The capture output that feeds the client peer: complete frames that carry
// pixels go to RealtimePeer::push(); idle, blank, suspended, started and
// stopped samples, and samples without a picture, are dropped.
#pragma once

#include <cstdint>
#include <memory>

#include "media/capture.h"
#include "media/realtime_peer.h"

namespace kx {

class RealtimeFrameSink final : public CaptureOutput {
 public:
  // Holds `peer` for its whole life.
  explicit RealtimeFrameSink(std::shared_ptr<RealtimePeer> peer);

  // Frame thread.
  void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) override;

 private:
  const std::shared_ptr<RealtimePeer> peer_;
};

}  // namespace kx
