#include "platform/gst/gst_video_source.h"

#include "platform/gst/gst_frame_buffer.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace kx::gst {
namespace {

GstBuffer* wrapFrame(std::shared_ptr<const FrameBuffer> frame) {
  if (auto* native = dynamic_cast<const GstFrameBuffer*>(frame.get())) {
    return gst_buffer_ref(native->buffer());
  }
  const size_t size = size_t(frame->stride()) * size_t(frame->height());
  auto* keep = new std::shared_ptr<const FrameBuffer>(frame);
  GstBuffer* buffer = gst_buffer_new_wrapped_full(
      GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(frame->data()), size, 0, size, keep,
      [](gpointer p) { delete static_cast<std::shared_ptr<const FrameBuffer>*>(p); });
  // The meta tells the converter the real row length, which may be padded.
  gsize offset[GST_VIDEO_MAX_PLANES] = {0};
  gint stride[GST_VIDEO_MAX_PLANES] = {frame->stride()};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA, guint(frame->width()),
                                 guint(frame->height()), 1, offset, stride);
  return buffer;
}

}  // namespace

GstVideoSource::GstVideoSource(ElementRef appsrc, ElementRef encoder)
    : appsrc_(std::move(appsrc)), encoder_(std::move(encoder)) {}

void GstVideoSource::configure(int width, int height, int framesPerSecond) {
  std::lock_guard lock(mutex_);
  applyCaps(width, height, framesPerSecond > 0 ? framesPerSecond : 30);
}

void GstVideoSource::applyCaps(int width, int height, int framesPerSecond) {
  if (width <= 0 || height <= 0) return;
  if (width == width_ && height == height_ && framesPerSecond == framesPerSecond_) return;
  width_ = width;
  height_ = height;
  framesPerSecond_ = framesPerSecond;
  CapsPtr caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT, width,
                                   "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, framesPerSecond, 1,
                                   nullptr));
  gst_app_src_set_caps(GST_APP_SRC(appsrc_.get()), caps.get());
}

void GstVideoSource::push(std::shared_ptr<const FrameBuffer> frame, int64_t) {
  if (!frame || frame->width() <= 0 || frame->height() <= 0 || frame->stride() < frame->width() * 4 ||
      !frame->data()) {
    return;
  }
  std::lock_guard lock(mutex_);
  if (closed_ || !enabled_) return;
  // A frame a little early still counts as on time: capture clocks jitter.
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch()).count();
  if (minIntervalNs_ > 0 && lastPushNs_ >= 0 && now - lastPushNs_ < minIntervalNs_ * 9 / 10) return;
  lastPushNs_ = now;
  // A frame of another size re-announces the caps rather than being misread.
  applyCaps(frame->width(), frame->height(), framesPerSecond_);
  gst_app_src_push_buffer(GST_APP_SRC(appsrc_.get()), wrapFrame(std::move(frame)));
}

void GstVideoSource::setRate(int bitrate, int framesPerSecond) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  const guint kbps = guint(std::max(1, bitrate / 1000));
  guint current = 0;
  g_object_get(encoder_.get(), "bitrate", &current, nullptr);
  if (current != kbps) g_object_set(encoder_.get(), "bitrate", kbps, nullptr);
  minIntervalNs_ = framesPerSecond >= framesPerSecond_ || framesPerSecond <= 0 ? 0 : 1'000'000'000LL / framesPerSecond;
}

void GstVideoSource::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}

std::pair<int, int> GstVideoSource::size() {
  std::lock_guard lock(mutex_);
  return {width_, height_};
}

void GstVideoSource::requestKeyFrame() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  GstClock* clock = gst_system_clock_obtain();
  const GstClockTime now = gst_clock_get_time(clock);
  const std::optional<double> at = keyFrames_.request(double(now) / GST_SECOND);
  if (at && *at * GST_SECOND <= double(now)) {
    makeKeyFrame(now);
  } else if (at) {
    dueKeyFrame_ = gst_clock_new_single_shot_id(clock, GstClockTime(*at * GST_SECOND));
    gst_clock_id_wait_async(
        dueKeyFrame_,
        [](GstClock*, GstClockTime, GstClockID, gpointer data) -> gboolean {
          if (auto self = static_cast<std::weak_ptr<GstVideoSource>*>(data)->lock()) self->makeDueKeyFrame();
          return TRUE;
        },
        new std::weak_ptr<GstVideoSource>(weak_from_this()),
        [](gpointer data) { delete static_cast<std::weak_ptr<GstVideoSource>*>(data); });
  }
  gst_object_unref(clock);
}

void GstVideoSource::startPicture() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  sendKeyFrameEvent();
}

void GstVideoSource::makeDueKeyFrame() {
  std::lock_guard lock(mutex_);
  if (closed_ || !dueKeyFrame_) return;
  gst_clock_id_unref(std::exchange(dueKeyFrame_, nullptr));
  GstClock* clock = gst_system_clock_obtain();
  makeKeyFrame(gst_clock_get_time(clock));
  gst_object_unref(clock);
}

void GstVideoSource::makeKeyFrame(GstClockTime now) {
  keyFrames_.made(double(now) / GST_SECOND);
  sendKeyFrameEvent();
}

void GstVideoSource::sendKeyFrameEvent() {
  // Into the encoder from its output side, as a receiver's request arrives.
  if (GstPad* pad = gst_element_get_static_pad(encoder_.get(), "src")) {
    gst_pad_send_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(pad);
  }
}

void GstVideoSource::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  if (dueKeyFrame_) {
    gst_clock_id_unschedule(dueKeyFrame_);
    gst_clock_id_unref(std::exchange(dueKeyFrame_, nullptr));
  }
}

}  // namespace kx::gst
