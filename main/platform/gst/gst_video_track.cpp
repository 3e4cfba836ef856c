#include "platform/gst/gst_video_track.h"

#include <algorithm>

#include "platform/gst/gst_frame_buffer.h"
#include "platform/gst/observer_slot.h"

namespace kx::gst {

GstVideoTrack::GstVideoTrack(ElementRef appsink) : appsink_(std::move(appsink)), core_(std::make_shared<Core>()) {
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = &GstVideoTrack::onNewSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(appsink_.get()), &callbacks, new std::weak_ptr<Core>(core_),
                             [](gpointer p) { delete static_cast<std::weak_ptr<Core>*>(p); });
}

GstVideoTrack::~GstVideoTrack() {
  std::lock_guard lock(core_->mutex);
  core_->renderers.clear();
}

GstFlowReturn GstVideoTrack::onNewSample(GstAppSink* sink, gpointer data) {
  SamplePtr sample(gst_app_sink_pull_sample(sink));
  if (!sample) return GST_FLOW_OK;
  auto core = lockWeak<Core>(data);
  if (!core) return GST_FLOW_OK;
  std::lock_guard lock(core->mutex);
  if (core->renderers.empty()) return GST_FLOW_OK;
  std::shared_ptr<const FrameBuffer> frame = GstFrameBuffer::fromSample(sample.get());
  if (!frame) return GST_FLOW_OK;
  // Copy the list: a renderer may remove itself from inside onFrame.
  const auto renderers = core->renderers;
  for (VideoRenderer* renderer : renderers) {
    if (std::find(core->renderers.begin(), core->renderers.end(), renderer) != core->renderers.end()) {
      renderer->onFrame(frame);
    }
  }
  return GST_FLOW_OK;
}

void GstVideoTrack::addRenderer(VideoRenderer* renderer) {
  if (!renderer) return;
  std::lock_guard lock(core_->mutex);
  if (std::find(core_->renderers.begin(), core_->renderers.end(), renderer) == core_->renderers.end()) {
    core_->renderers.push_back(renderer);
  }
}

void GstVideoTrack::removeRenderer(VideoRenderer* renderer) {
  std::lock_guard lock(core_->mutex);
  std::erase(core_->renderers, renderer);
}

}  // namespace kx::gst
