#include "platform/x11/x11_capture_stream.h"

#include <gst/video/gstvideopool.h>
#include <gst/video/video.h>

#include <chrono>
#include <ctime>
#include <optional>

#include "platform/gst/gst_frame_buffer.h"
#include "platform/gst/gst_support.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_screen_grabber.h"

// X headers last: Xlib's Status macro would rename kx::Status.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#undef Status

namespace kx::x11 {
namespace {

constexpr auto kMonitorRecheck = std::chrono::seconds(1);

Error captureError(std::string description) { return makeError("Screen capture", 1, std::move(description)); }

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Scales and converts grabbed BGRx pictures into pooled BGRA buffers.
class Scaler {
 public:
  ~Scaler() {
    if (converter_) gst_video_converter_free(converter_);
    if (pool_) {
      gst_buffer_pool_set_active(pool_, FALSE);
      gst_object_unref(pool_);
    }
  }

  bool init(int inWidth, int inHeight, int inStride, int outWidth, int outHeight) {
    gst_video_info_set_format(&in_, GST_VIDEO_FORMAT_BGRx, guint(inWidth), guint(inHeight));
    in_.stride[0] = inStride;
    in_.size = gsize(inStride) * gsize(inHeight);
    gst_video_info_set_format(&out_, GST_VIDEO_FORMAT_BGRA, guint(outWidth), guint(outHeight));
    // Bilinear is plenty for a screen shrunk by less than half, and cheap.
    converter_ = gst_video_converter_new(
        &in_, &out_,
        gst_structure_new("options", GST_VIDEO_CONVERTER_OPT_RESAMPLER_METHOD, GST_TYPE_VIDEO_RESAMPLER_METHOD,
                          GST_VIDEO_RESAMPLER_METHOD_LINEAR, GST_VIDEO_CONVERTER_OPT_THREADS, G_TYPE_UINT, 2u,
                          GST_VIDEO_CONVERTER_OPT_DITHER_METHOD, GST_TYPE_VIDEO_DITHER_METHOD,
                          GST_VIDEO_DITHER_NONE, nullptr));
    if (!converter_) return false;
    // Frames live on in the encoder after delivery; the pool grows to what is
    // in flight and then recycles, so no frame costs an allocation.
    pool_ = gst_video_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool_);
    gst::CapsPtr caps(gst_video_info_to_caps(&out_));
    gst_buffer_pool_config_set_params(config, caps.get(), guint(out_.size), 2, 0);
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    return gst_buffer_pool_set_config(pool_, config) && gst_buffer_pool_set_active(pool_, TRUE);
  }

  std::shared_ptr<const FrameBuffer> convert(const uint8_t* pixels) {
    GstBuffer* source = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(pixels), in_.size,
                                                    0, in_.size, nullptr, nullptr);
    GstBuffer* target = nullptr;
    std::shared_ptr<const FrameBuffer> frame;
    GstVideoFrame in{}, out{};
    if (gst_buffer_pool_acquire_buffer(pool_, &target, nullptr) == GST_FLOW_OK) {
      if (gst_video_frame_map(&in, &in_, source, GST_MAP_READ)) {
        if (gst_video_frame_map(&out, &out_, target, GST_MAP_WRITE)) {
          gst_video_converter_frame(converter_, &in, &out);
          makeOpaque(out);
          gst_video_frame_unmap(&out);
          frame = gst::GstFrameBuffer::wrap(target, out_);
        }
        gst_video_frame_unmap(&in);
      }
      gst_buffer_unref(target);
    }
    gst_buffer_unref(source);
    return frame;
  }

 private:
  // The screen's spare byte is not alpha, and the converter's RGB fast path
  // copies it through: the picture is opaque.
  static void makeOpaque(GstVideoFrame& frame) {
    auto* row = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const int width = GST_VIDEO_FRAME_WIDTH(&frame);
    for (int y = 0; y < GST_VIDEO_FRAME_HEIGHT(&frame); ++y, row += stride) {
      auto* pixel = reinterpret_cast<uint32_t*>(row);
      for (int x = 0; x < width; ++x) pixel[x] |= 0xff000000u;
    }
  }

  GstVideoInfo in_{};
  GstVideoInfo out_{};
  GstVideoConverter* converter_ = nullptr;
  GstBufferPool* pool_ = nullptr;
};

std::optional<Display> findDisplay(::Display* x, const std::string& id) {
  for (auto& d : listDisplays(x)) {
    if (d.id == id) return std::move(d);
  }
  return std::nullopt;
}

}  // namespace

CaptureStreamX11::CaptureStreamX11(EventLoop& loop, std::string displayName, Display target,
                                   CaptureConfiguration configuration, std::function<void(Error)> onStop)
    : loop_(loop),
      displayName_(std::move(displayName)),
      target_(std::move(target)),
      configuration_(configuration),
      onStop_(std::move(onStop)) {}

CaptureStreamX11::~CaptureStreamX11() {
  shared_->destroyed = true;
  {
    std::lock_guard lock(shared_->outputMutex);
    shared_->output = nullptr;
  }
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopRequested = true;
  }
  shared_->wake.notify_all();
  if (thread_.joinable()) thread_.join();
}

Status CaptureStreamX11::addOutput(CaptureOutput* output) {
  if (!output) return captureError("No output");
  if (started_) return captureError("The stream has already started");
  std::lock_guard lock(shared_->outputMutex);
  if (shared_->output) return captureError("The stream already has an output");
  shared_->output = output;
  return Status();
}

void CaptureStreamX11::start(std::function<void(Status)> done) {
  if (started_ || shared_->stopCalled) {
    loop_.post([done = std::move(done)] { done(captureError("The stream cannot be started again")); });
    return;
  }
  started_ = true;
  thread_ = std::thread(&CaptureStreamX11::run, shared_, std::ref(loop_), displayName_, target_, configuration_,
                        std::move(done), onStop_);
}

void CaptureStreamX11::stop(std::function<void(Status)> done) {
  shared_->stopCalled = true;
  {
    std::lock_guard lock(shared_->outputMutex);
    shared_->output = nullptr;
  }
  bool finished;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopRequested = true;
    finished = shared_->finished || !started_;
    if (!finished) {
      // A second stop() while the first is pending completes with it.
      shared_->stopDone = [first = std::move(shared_->stopDone), done = std::move(done)](Status status) {
        if (first) first(status);
        if (done) done(status);
      };
    }
  }
  shared_->wake.notify_all();
  if (finished) loop_.post([done = std::move(done)] { if (done) done(Status()); });
}

void CaptureStreamX11::run(std::shared_ptr<Shared> shared, EventLoop& loop, std::string displayName, Display target,
                           CaptureConfiguration configuration, std::function<void(Status)> started,
                           std::function<void(Error)> onStop) {
  auto stopWith = [&](Error error) {
    loop.post([shared, onStop, error = std::move(error)] {
      if (!shared->stopCalled && !shared->destroyed && onStop) onStop(error);
    });
  };
  [&] {
    auto fail = [&](Error error) { loop.post([started, error = std::move(error)] { started(error); }); };
    if (!gst::ensureInitialized()) return fail(captureError("GStreamer is not available"));
    auto connection = Connection::open(displayName);
    if (!connection) return fail(captureError("The display server cannot be reached"));
    ::Display* x = connection->get();
    const auto current = findDisplay(x, target.id);
    if (!current) return fail(captureError("The display is no longer available"));
    if (!(current->bounds == target.bounds)) return fail(captureError("The display has changed"));
    auto grabber = ScreenGrabber::create(*connection, target.bounds);
    if (!grabber) return fail(grabber.error());
    ScreenGrabber& grab = **grabber;

    const int outWidth = configuration.width > 0 ? configuration.width : grab.width();
    const int outHeight = configuration.height > 0 ? configuration.height : grab.height();
    Scaler scaler;
    if (!scaler.init(grab.width(), grab.height(), grab.stride(), outWidth, outHeight)) {
      return fail(captureError("The picture cannot be scaled"));
    }

    int rrEvent = 0, rrError = 0;
    if (XRRQueryExtension(x, &rrEvent, &rrError)) {
      XRRSelectInput(x, DefaultRootWindow(x), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    loop.post([started] { started(Status()); });

    // Events say when the monitors change; a slow re-check covers servers
    // that do not send them for every change.
    auto monitorMoved = [&] {
      bool changed = false;
      while (!connection->lost() && XPending(x) > 0) {
        XEvent event;
        XNextEvent(x, &event);
        if (rrEvent && event.type >= rrEvent && event.type <= rrEvent + RRNotify) {
          XRRUpdateConfiguration(&event);
          changed = true;
        }
      }
      return changed;
    };
    const auto interval = std::chrono::nanoseconds(1'000'000'000LL / std::max(1, configuration.minimumFrameIntervalDen));
    auto next = std::chrono::steady_clock::now();
    auto nextCheck = next + kMonitorRecheck;
    for (;;) {
      {
        std::unique_lock lock(shared->mutex);
        shared->wake.wait_until(lock, next, [&] { return shared->stopRequested; });
        if (shared->stopRequested) return;
      }
      const auto now = std::chrono::steady_clock::now();
      next += interval;
      if (next < now) next = now + interval;  // fell behind: skip, do not burst

      if (monitorMoved() || now >= nextCheck) {
        nextCheck = now + kMonitorRecheck;
        if (!connection->lost()) {
          const auto d = findDisplay(x, target.id);
          if (!d) return stopWith(captureError("The shared display was disconnected"));
          if (!(d->bounds == target.bounds)) return stopWith(captureError("The shared display changed its size or place"));
        }
      }
      if (!grab.grab(configuration.showsCursor)) {
        return stopWith(captureError(connection->lost() ? "The connection to the display server was lost"
                                                        : "The screen could not be read"));
      }
      const int64_t timeNs = monotonicNs();
      auto frame = scaler.convert(grab.data());
      if (!frame) continue;
      std::lock_guard lock(shared->outputMutex);
      if (shared->output) shared->output->onFrame(std::move(frame), timeNs, FrameStatus::kComplete);
    }
  }();

  std::function<void(Status)> done;
  {
    std::lock_guard lock(shared->mutex);
    shared->finished = true;
    done = std::move(shared->stopDone);
  }
  if (done) loop.post([done] { done(Status()); });
}

}  // namespace kx::x11
