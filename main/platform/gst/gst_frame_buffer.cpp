#include "platform/gst/gst_frame_buffer.h"

namespace kx::gst {

std::shared_ptr<const GstFrameBuffer> GstFrameBuffer::wrap(GstBuffer* buffer, const GstVideoInfo& info) {
  const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
  if (!buffer || (format != GST_VIDEO_FORMAT_BGRA && format != GST_VIDEO_FORMAT_BGRx)) return nullptr;
  std::shared_ptr<GstFrameBuffer> frame(new GstFrameBuffer());
  // The map holds its own reference to the buffer until the frame is unmapped.
  if (!gst_video_frame_map(&frame->frame_, &info, buffer, GST_MAP_READ)) return nullptr;
  return frame;
}

std::shared_ptr<const GstFrameBuffer> GstFrameBuffer::fromSample(GstSample* sample) {
  GstCaps* caps = gst_sample_get_caps(sample);
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps)) return nullptr;
  return wrap(gst_sample_get_buffer(sample), info);
}

GstFrameBuffer::~GstFrameBuffer() {
  if (frame_.buffer) gst_video_frame_unmap(&frame_);
}

int GstFrameBuffer::width() const { return GST_VIDEO_FRAME_WIDTH(&frame_); }
int GstFrameBuffer::height() const { return GST_VIDEO_FRAME_HEIGHT(&frame_); }
int GstFrameBuffer::stride() const { return GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, 0); }
const uint8_t* GstFrameBuffer::data() const {
  return static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame_, 0));
}

}  // namespace kx::gst
