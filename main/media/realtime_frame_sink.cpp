#include "media/realtime_frame_sink.h"

#include <utility>

namespace kx {

RealtimeFrameSink::RealtimeFrameSink(std::shared_ptr<RealtimePeer> peer) : peer_(std::move(peer)) {}

void RealtimeFrameSink::onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) {
  if (status != FrameStatus::kComplete || !frame || !peer_) return;
  peer_->push(std::move(frame), timeNs);
}

}  // namespace kx
