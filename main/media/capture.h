// Display capture as the agent sees it: the displays of the machine, a picker
// through which the person at the computer chooses one whole display, and a
// capture stream that delivers complete BGRA frames on its own frame thread.
// Implemented on X11 + GStreamer in main/platform, and by fakes in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/peer_engine.h"
#include "runtime/error.h"

namespace kx {

// Global desktop coordinates: origin at the top-left of the primary screen, y down.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

struct Display {
  std::string id;    // stable for the life of the X server (RandR monitor name)
  std::string name;  // shown in the picker
  Rect bounds;
  bool primary = false;
};

// What the picker produced: the displays the person included (normally one).
struct ContentFilter {
  std::vector<Display> displays;
};

struct CaptureConfiguration {
  int width = 1440;
  int height = 900;
  int minimumFrameIntervalDen = 30;  // frame interval 1/30 s: at most 30 frames per second
  int queueDepth = 3;
  bool showsCursor = true;
};

// Status of one delivered sample; only kComplete frames carry a new picture.
enum class FrameStatus { kComplete, kIdle, kBlank, kSuspended, kStarted, kStopped };

// Receives frames. Called on the stream's frame thread, never concurrently.
class CaptureOutput {
 public:
  virtual ~CaptureOutput() = default;
  // `frame` may be null (no pixel buffer); `timeNs` is the presentation time.
  virtual void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) = 0;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Attaches the output before start. Fails with the platform's error.
  virtual Status addOutput(CaptureOutput* output) = 0;
  // `done` runs on the loop thread.
  virtual void start(std::function<void(Status)> done) = 0;
  virtual void stop(std::function<void(Status)> done) = 0;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  virtual std::vector<Display> displays() = 0;
  // `onStop` is called (on the loop thread) when the stream stops by itself,
  // for example because its display went away; never after stop() was called.
  virtual std::unique_ptr<CaptureStream> createStream(const ContentFilter& filter,
                                                      const CaptureConfiguration& configuration,
                                                      std::function<void(Error)> onStop) = 0;
};

// The display picker. One presentation at a time; results arrive on the loop thread.
class DisplayPicker {
 public:
  struct Observer {
    std::function<void(ContentFilter)> didUpdate;
    std::function<void()> didCancel;
    std::function<void(Error)> startDidFail;
  };
  virtual ~DisplayPicker() = default;
  virtual void setObserver(Observer observer) = 0;
  virtual void setActive(bool active) = 0;
  // Shows the picker for one whole display.
  virtual void present() = 0;
};

}  // namespace kx
