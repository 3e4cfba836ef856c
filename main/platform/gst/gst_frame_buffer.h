// A FrameBuffer that is a mapped GstBuffer: decoded frames and captured
// frames reach their consumers without a copy, and a captured frame goes back
// into an encoding pipeline as the same GstBuffer.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <memory>

#include "protocol/peer_engine.h"

namespace kx::gst {

class GstFrameBuffer final : public FrameBuffer {
 public:
  // Maps `buffer` for reading as a BGRA/BGRx picture described by `info`.
  // Null when the format is not 32-bit BGR or the buffer cannot be mapped.
  static std::shared_ptr<const GstFrameBuffer> wrap(GstBuffer* buffer, const GstVideoInfo& info);
  // The same from an appsink sample (its caps describe the picture).
  static std::shared_ptr<const GstFrameBuffer> fromSample(GstSample* sample);

  ~GstFrameBuffer() override;
  GstFrameBuffer(const GstFrameBuffer&) = delete;
  GstFrameBuffer& operator=(const GstFrameBuffer&) = delete;

  int width() const override;
  int height() const override;
  int stride() const override;
  const uint8_t* data() const override;

  // The underlying buffer (still owned by this object) and its picture format.
  GstBuffer* buffer() const { return frame_.buffer; }
  const GstVideoInfo& info() const { return frame_.info; }

 private:
  GstFrameBuffer() = default;
  GstVideoFrame frame_{};
};

}  // namespace kx::gst
