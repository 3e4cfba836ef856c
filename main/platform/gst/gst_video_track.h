// VideoTrack over the appsink at the end of a decode branch. Renderers are
// called on the branch's streaming thread; once removeRenderer() returns, that
// renderer gets no further frame.
#pragma once

#include <gst/app/gstappsink.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/gst/gst_support.h"
#include "protocol/peer_engine.h"

namespace kx::gst {

class GstVideoTrack final : public VideoTrack {
 public:
  // Installs the appsink's callbacks; the sink must deliver BGRA samples.
  explicit GstVideoTrack(ElementRef appsink);
  ~GstVideoTrack() override;

  void addRenderer(VideoRenderer* renderer) override;
  void removeRenderer(VideoRenderer* renderer) override;

 private:
  struct Core {
    std::recursive_mutex mutex;
    std::vector<VideoRenderer*> renderers;
  };
  static GstFlowReturn onNewSample(GstAppSink* sink, gpointer data);

  ElementRef appsink_;
  std::shared_ptr<Core> core_;
};

}  // namespace kx::gst
