// The X11 platform against a private Xvfb: capture, XTest input observed by a
// window of the test, the input permission, losing the server, and a drawn
// picture travelling through capture, two real peers and the decoder.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <mutex>

#include "platform/gst/gst_peer_engine.h"
#include "platform/x11/x11_platform.h"
#include "runtime/basic_loop.h"
#include "support/loopback_peers.h"
#include "support/test_frames.h"
#include "support/xvfb.h"

// Last: Xlib's macros would rename this system's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#undef Status

namespace kx {
namespace {

using testing::Bgra;
using testing::near;
using testing::pixelAt;
using testing::Xvfb;

constexpr unsigned long kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040E0, kWhite = 0xF0F0F0;

// A small X client of the tests: one window over the whole screen that shows
// known colours and records the input events that reach it.
class XTestClient {
 public:
  XTestClient(const std::string& display, int width, int height) {
    display_ = XOpenDisplay(display.c_str());
    if (!display_) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager: place it exactly
    attributes.background_pixel = BlackPixel(display_, DefaultScreen(display_));
    attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | KeyPressMask | KeyReleaseMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, unsigned(width), unsigned(height), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XMapRaised(display_, window_);
    waitFor([](const XEvent& e) { return e.type == MapNotify; }, 5000);
    // Keys go to the window whatever the pointer does.
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~XTestClient() {
    if (!display_) return;
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  ::Display* display() const { return display_; }

  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);  // TrueColor 24-bit: the pixel is 0xRRGGBB
    XFillRectangle(display_, window_, gc_, x, y, unsigned(w), unsigned(h));
    XSync(display_, False);
  }

  // Events until `until` holds or `ms` pass; MappingNotify is handled on the way.
  std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& until, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent e;
        XNextEvent(display_, &e);
        if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
        events.push_back(e);
        if (until(e)) return e;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{ConnectionNumber(display_), POLLIN, 0};
      poll(&p, 1, int(left.count()));
    }
  }
  // The keysym a key event produces with the event's own modifiers.
  static KeySym lookup(XEvent e) {
    KeySym keysym = 0;
    XLookupString(&e.xkey, nullptr, 0, &keysym, nullptr);
    return keysym;
  }

  std::vector<XEvent> events;

 private:
  ::Display* display_ = nullptr;
  ::Window window_ = 0;
  GC gc_{};
};

Bgra bgra(unsigned long rgb) { return Bgra{uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t(rgb >> 16)}; }

// What a stream delivered, read under its lock (frames come on the capture thread).
class FrameCollector final : public CaptureOutput {
 public:
  void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) override {
    if (forward) forward(frame, timeNs);
    std::lock_guard lock(mutex_);
    last_ = std::move(frame);
    times_.push_back(timeNs);
    complete_ = complete_ && status == FrameStatus::kComplete;
  }
  template <typename F>
  auto read(F&& f) {
    std::lock_guard lock(mutex_);
    return f(last_, times_, complete_);
  }
  size_t count() {
    return read([](auto&, auto& times, bool) { return times.size(); });
  }
  std::function<void(std::shared_ptr<const FrameBuffer>, int64_t)> forward;

 private:
  std::mutex mutex_;
  std::shared_ptr<const FrameBuffer> last_;
  std::vector<int64_t> times_;
  bool complete_ = true;
};

class X11Platform : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new Xvfb(); }
  static void TearDownTestSuite() { delete xvfb_; }
  void SetUp() override {
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    client = std::make_unique<XTestClient>(xvfb_->name(), 1920, 1080);
    ASSERT_TRUE(client->ok());
    capture = makeX11ScreenCapture(loop, xvfb_->name());
    injector = makeX11InputInjector(xvfb_->name());
  }

  void drawQuadrants() {
    client->fill(0, 0, 960, 540, kRed);
    client->fill(960, 0, 960, 540, kGreen);
    client->fill(0, 540, 960, 540, kBlue);
    client->fill(960, 540, 960, 540, kWhite);
  }
  // The quadrants' centres in a 1440×810 picture, away from the pointer.
  static bool showsQuadrants(const FrameBuffer& f, int tolerance) {
    return near(pixelAt(f, 360, 200), bgra(kRed), tolerance) && near(pixelAt(f, 1080, 200), bgra(kGreen), tolerance) &&
           near(pixelAt(f, 360, 600), bgra(kBlue), tolerance) && near(pixelAt(f, 1080, 600), bgra(kWhite), tolerance);
  }
  Display primary() {
    const auto displays = capture->displays();
    EXPECT_TRUE(displays.size() == 1 && displays[0].primary && displays[0].bounds == (Rect{0, 0, 1920, 1080}));
    return displays.empty() ? Display{} : displays[0];
  }

  Status run(const std::function<void(std::function<void(Status)>)>& start) {
    std::optional<Status> result;
    start([&](Status s) { result = std::move(s); });
    loop.runUntil([&] { return result.has_value(); }, 10);
    return result ? std::move(*result) : Status(makeError("test", 1, "no completion"));
  }
  // A started stream of `display` into `output` that has delivered two frames.
  std::unique_ptr<CaptureStream> start(FrameCollector& output, const Display& display, int width = 1440,
                                       int height = 810, bool cursor = true, std::function<void(Error)> onStop = {}) {
    CaptureConfiguration c;
    c.width = width;
    c.height = height;
    c.showsCursor = cursor;
    auto stream = capture->createStream(ContentFilter{{display}}, c, onStop ? onStop : [](Error) {});
    EXPECT_TRUE(stream->addOutput(&output).ok());
    EXPECT_TRUE(run([&](auto done) { stream->start(done); }).ok());
    EXPECT_TRUE(loop.runUntil([&] { return output.count() >= 2; }, 5));
    return stream;
  }
  void stop(CaptureStream& stream) { EXPECT_TRUE(run([&](auto done) { stream.stop(done); }).ok()); }

  static Xvfb* xvfb_;
  RunLoop loop;
  std::unique_ptr<XTestClient> client;
  std::unique_ptr<ScreenCapture> capture;
  std::unique_ptr<InputInjector> injector;
};

Xvfb* X11Platform::xvfb_ = nullptr;

TEST_F(X11Platform, CaptureDeliversTheDisplayScaledOpaqueAtThirtyFramesASecondAndNothingAfterStop) {
  drawQuadrants();
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{400, 400}, MouseButton::kLeft, 1));
  FrameCollector output;
  auto stream = start(output, primary());
  loop.runUntil([] { return false; }, 1.5);
  stop(*stream);
  output.read([](auto& frame, auto& times, bool complete) {
    ASSERT_TRUE(frame->width() == 1440 && frame->height() == 810 && frame->stride() >= 1440 * 4);
    EXPECT_TRUE(showsQuadrants(*frame, 2)) << pixelAt(*frame, 360, 200);
    EXPECT_EQ(pixelAt(*frame, 360, 200).a, 255) << "BGRA pictures are opaque";
    EXPECT_TRUE(complete);
    ASSERT_GE(times.size(), 20u) << "far fewer frames than asked for";
    EXPECT_LE(double(times.size() - 1) / (double(times.back() - times.front()) / 1e9), 31.0);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
  });
  // A second stream's frames come from the same screen and clock: once it has
  // delivered two, a late frame of the first would have arrived too.
  const size_t atStop = output.count();
  FrameCollector later;
  stop(*start(later, primary(), 1440, 810, /*cursor=*/false));
  EXPECT_EQ(output.count(), atStop);
  // The pointer, at (300, 300) in the picture, is drawn only when asked.
  auto pointerPixels = [](FrameCollector& c) {
    int differing = 0;
    c.read([&](auto& frame, auto&, bool) {
      for (int y = 290; y < 320; ++y) {
        for (int x = 290; x < 320; ++x) differing += !near(pixelAt(*frame, x, y), bgra(kRed), 2);
      }
    });
    return differing;
  };
  EXPECT_GT(pointerPixels(output), 0);
  EXPECT_EQ(pointerPixels(later), 0);
}

TEST_F(X11Platform, CaptureOfAMissingOrVanishingDisplayStops) {
  Display missing = primary();
  missing.id = "NOT-THERE";
  EXPECT_FALSE(run([&](auto done) { capture->createStream(ContentFilter{{missing}}, {}, [](Error) {})->start(done); }).ok());
  EXPECT_FALSE(run([&](auto done) { capture->createStream(ContentFilter{}, {}, [](Error) {})->start(done); }).ok());
  // A second monitor over the right half of the screen, then removed.
  ::Display* x = client->display();
  XRRMonitorInfo* monitor = XRRAllocateMonitor(x, 0);
  monitor->name = XInternAtom(x, "KX-TEST", False);
  monitor->x = monitor->width = 960;
  monitor->height = 1080;
  monitor->mwidth = 250;
  monitor->mheight = 280;
  XRRSetMonitor(x, DefaultRootWindow(x), monitor);
  XSync(x, False);
  XRRFreeMonitors(monitor);
  Display added;
  for (const auto& d : capture->displays()) added = d.id == "KX-TEST" ? d : added;
  ASSERT_EQ(added.bounds, (Rect{960, 0, 960, 1080})) << "the added monitor is not listed";
  std::optional<Error> stopped;
  FrameCollector output;
  auto stream = start(output, added, 720, 810, true, [&](Error e) { stopped = e; });
  XRRDeleteMonitor(x, DefaultRootWindow(x), XInternAtom(x, "KX-TEST", False));
  XSync(x, False);
  EXPECT_TRUE(loop.runUntil([&] { return stopped.has_value(); }, 5)) << "the stream kept running";
}

TEST_F(X11Platform, PointerKeysAndScrollLandAsSent) {
  using E = MouseEventType;
  const std::tuple<E, Point, MouseButton> mouse[] = {
      {E::kLeftMouseDown, {300, 200}, MouseButton::kLeft},        {E::kLeftMouseUp, {300, 200}, MouseButton::kLeft},
      {E::kRightMouseDown, {100, 100}, MouseButton::kRight},      {E::kRightMouseDragged, {500, 400}, MouseButton::kRight},
      {E::kRightMouseUp, {500, 400}, MouseButton::kRight},        {E::kMouseMoved, {800, 500}, MouseButton::kLeft},
  };
  for (const auto& [type, point, button] : mouse) ASSERT_TRUE(injector->postMouse(type, point, button, 1));
  for (const auto& [dy, dx] : {std::pair{85, 0}, {35, 0}, {-40, 0}, {0, -45}, {0, 10}}) {
    ASSERT_TRUE(injector->postScroll(dy, dx));
  }
  const std::tuple<int, uint64_t, std::u16string> keys[] = {
      {0x00, kFlagShift, u""}, {0x00, 0, u""},  // A with Shift, then Shift let go again
      {0x08, kFlagCommand | kFlagControl, u""}, {0, 0, u"é"}, {0, 0, u"ж"}, {0, 0, u"Hi!"},
  };
  for (const auto& [code, flags, text] : keys) {
    KeyEvent key{.virtualKeyCode = code, .down = true, .flags = flags, .text = text};
    ASSERT_TRUE(injector->postKey(key));
    key.down = false;
    ASSERT_TRUE(injector->postKey(key));
  }
  // The server handles XTest requests in order: a move to a fresh spot arrives after all of them.
  ASSERT_TRUE(injector->postMouse(E::kMouseMoved, Point{11, 11}, MouseButton::kLeft, 1));
  ASSERT_TRUE(client->waitFor([](const XEvent& e) { return e.type == MotionNotify && e.xmotion.x_root == 11; }, 5000));

  std::vector<std::tuple<int, unsigned, int, int>> buttons;  // type, button, x, y
  std::vector<KeySym> typed;
  std::vector<unsigned> states;  // of the first three keys
  bool dragged = false;
  for (const XEvent& e : client->events) {
    if (e.type == ButtonPress || e.type == ButtonRelease) {
      buttons.emplace_back(e.type, e.xbutton.button, e.xbutton.x_root, e.xbutton.y_root);
    } else if (e.type == MotionNotify) {
      dragged |= e.xmotion.x_root == 500 && e.xmotion.y_root == 400 && (e.xmotion.state & Button3Mask);
    } else if (e.type == KeyPress && !IsModifierKey(XTestClient::lookup(e))) {
      typed.push_back(XTestClient::lookup(e));
      if (states.size() < 3) states.push_back(e.xkey.state & (ShiftMask | ControlMask | Mod4Mask));
    }
  }
  using B = std::tuple<int, unsigned, int, int>;
  std::vector<B> expected = {{ButtonPress, 1, 300, 200}, {ButtonRelease, 1, 300, 200},
                             {ButtonPress, 3, 100, 100}, {ButtonRelease, 3, 500, 400}};
  for (unsigned wheel : {4, 4, 4, 5, 7}) {
    expected.insert(expected.end(), {B{ButtonPress, wheel, 800, 500}, B{ButtonRelease, wheel, 800, 500}});
  }
  EXPECT_EQ(buttons, expected);
  EXPECT_TRUE(dragged) << "no motion with the right button held at the drag point";
  EXPECT_EQ(typed, (std::vector<KeySym>{XK_A, XK_a, XK_c, XK_eacute, 0x1000436, XK_H, XK_i, XK_exclam}));
  EXPECT_EQ(states, (std::vector<unsigned>{ShiftMask, 0, ControlMask | Mod4Mask}));
}

// A server of its own, killed at the end.
TEST(X11Server, InputIsGrantedOnlyWithXTestAndCaptureReportsTheLostConnectionAndTheProcessLivesOn) {
  Xvfb server("1024x768x24"), without("1024x768x24", {"-extension", "XTEST"});
  ASSERT_TRUE(server.running() && without.running());
  for (const auto& [display, granted] : {std::pair{server.name(), true}, {without.name(), false}, {":4095", false}}) {
    const auto snapshot = makeX11InputAccess(display)->read();
    EXPECT_EQ(snapshot.authorizationText(), granted ? "granted" : "denied") << display;
    EXPECT_EQ(snapshot.canPostEvents(), granted) << display;
    EXPECT_EQ(snapshot.eventPreflight, granted) << display;
  }
  EXPECT_FALSE(makeX11InputInjector(without.name())->postMouse(MouseEventType::kMouseMoved, {10, 10}, MouseButton::kLeft, 1));
  RunLoop loop;
  auto capture = makeX11ScreenCapture(loop, server.name());
  ASSERT_FALSE(capture->displays().empty());
  std::optional<Error> stopped;
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{capture->displays()[0]}}, {}, [&](Error e) { stopped = e; });
  ASSERT_TRUE(stream->addOutput(&output).ok());
  stream->start([](Status) {});
  ASSERT_TRUE(loop.runUntil([&] { return output.count() >= 2; }, 5));
  server.kill();
  EXPECT_TRUE(loop.runUntil([&] { return stopped.has_value(); }, 5));
  EXPECT_TRUE(capture->displays().empty());
}

TEST_F(X11Platform, ADrawnPictureArrivesThroughCaptureAndTwoPeers) {
  drawQuadrants();
  auto engine = makeGstPeerEngine();
  ASSERT_TRUE(engine);
  testing::LoopbackPeers peers(*engine, loop);
  ASSERT_TRUE(peers.created());
  ASSERT_FALSE(peers.negotiate(true, 1440, 810));
  ASSERT_TRUE(peers.waitConnected());
  FrameCollector output;
  output.forward = [source = peers.client.source](auto frame, int64_t timeNs) { source->push(std::move(frame), timeNs); };
  auto stream = start(output, primary());
  EXPECT_TRUE(peers.waitUntil(
      [&] {
        auto frame = peers.technician.lastFrame();
        return frame && frame->width() == 1440 && frame->height() == 810 && showsQuadrants(*frame, 20);
      },
      10))
      << "decoded picture never matched the screen";
  stop(*stream);
}

}  // namespace
}  // namespace kx
