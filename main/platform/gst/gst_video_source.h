// VideoSource that feeds an appsrc at the head of the connection's H.264
// send branch. push() is safe from any thread; after close() returns no frame
// reaches the pipeline.
#pragma once

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <memory>
#include <mutex>
#include <utility>

#include "media/bitrate_controller.h"
#include "platform/gst/gst_support.h"
#include "protocol/peer_engine.h"

namespace kx::gst {

class GstVideoSource final : public VideoSource, public std::enable_shared_from_this<GstVideoSource> {
 public:
  // `encoder` is the x264enc the frames reach.
  GstVideoSource(ElementRef appsrc, ElementRef encoder);
  ~GstVideoSource() override { close(); }

  void configure(int width, int height, int framesPerSecond) override;
  // Frames are stamped by the appsrc when they arrive (`timeNs` comes from the
  // capture's clock, not the pipeline's). A frame from the X11 capture is
  // pushed as its own GstBuffer; any other is wrapped without a copy and kept
  // alive until the encoder lets go of it.
  void push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) override;
  void setEnabled(bool enabled) override;
  // Sets the encoder's bitrate and drops frames that come sooner than the
  // frame rate allows (the encoder is told nothing: fewer frames, same size).
  void setRate(int bitrate, int framesPerSecond) override;

  void close();
  // Asks the encoder for a key frame (any thread): at once, or at the end of
  // the key frame interval when one was made within it. Receivers' requests
  // (PLI, FIR) take this path too.
  void requestKeyFrame();
  // A key frame now, outside the pacing: the picture's first once the
  // connection is secure. The receiver's own first request, which follows
  // within moments, must not wait out the interval behind it, since what this
  // one carries may arrive before the receiver's decoder is linked.
  void startPicture();
  // The configured picture size; zeros until configure() or the first frame.
  std::pair<int, int> size();

 private:
  // Caller holds mutex_.
  void applyCaps(int width, int height, int framesPerSecond);
  void makeKeyFrame(GstClockTime now);
  void sendKeyFrameEvent();
  void makeDueKeyFrame();

  std::mutex mutex_;
  ElementRef appsrc_;
  ElementRef encoder_;
  bool closed_ = false;
  int64_t minIntervalNs_ = 0;  // between frames handed on; 0 while every frame goes
  int64_t lastPushNs_ = -1;
  bool enabled_ = true;
  KeyFrameLimiter keyFrames_;
  GstClockID dueKeyFrame_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  int framesPerSecond_ = 30;
};

}  // namespace kx::gst
