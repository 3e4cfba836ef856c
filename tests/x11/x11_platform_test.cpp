// The X11 platform against a private Xvfb: capture, XTest input observed by a
// window of the test, the input permission, losing the server, and a drawn
// picture travelling through capture, two real peers and the decoder.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/gst/gst_peer_engine.h"
#include "platform/x11/x11_platform.h"
#include "runtime/basic_loop.h"
#include "support/loopback_peers.h"
#include "support/test_frames.h"
#include "support/xvfb.h"
#include "x_test_client.h"

namespace kx {
namespace {

using testing::Bgra;
using testing::near;
using testing::pixelAt;
using testing::XTestClient;
using testing::Xvfb;

constexpr unsigned long kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040E0, kWhite = 0xF0F0F0;

Bgra bgra(unsigned long rgb) { return Bgra{uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t(rgb >> 16)}; }

class FrameCollector final : public CaptureOutput {
 public:
  void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) override {
    if (forward) forward(frame, timeNs);
    std::lock_guard lock(mutex_);
    last_ = std::move(frame);
    times_.push_back(timeNs);
    complete_ = complete_ && status == FrameStatus::kComplete;
  }
  std::shared_ptr<const FrameBuffer> last() {
    std::lock_guard lock(mutex_);
    return last_;
  }
  std::vector<int64_t> times() {
    std::lock_guard lock(mutex_);
    return times_;
  }
  size_t count() { return times().size(); }
  bool allComplete() {
    std::lock_guard lock(mutex_);
    return complete_;
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
    EXPECT_EQ(displays.size(), 1u);
    EXPECT_TRUE(!displays.empty() && displays[0].primary && displays[0].bounds == (Rect{0, 0, 1920, 1080}));
    return displays.empty() ? Display{} : displays[0];
  }

  Status run(const std::function<void(std::function<void(Status)>)>& start) {
    std::optional<Status> result;
    start([&](Status s) { result = std::move(s); });
    loop.runUntil([&] { return result.has_value(); }, 10);
    return result ? std::move(*result) : Status(makeError("test", 1, "no completion"));
  }

  // A started stream of `display` into `output`, scaled to width × height.
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

  // Returns once everything injected before has reached the window: the server
  // handles XTest requests in order, so a move to a fresh spot arrives after them.
  void settle() {
    const Point spot{double(11 + (settles_++ % 2)), 11};
    ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, spot, MouseButton::kLeft, 1));
    ASSERT_TRUE(client->waitFor(
        [&](const XEvent& e) { return e.type == MotionNotify && e.xmotion.x_root == int(spot.x) && e.xmotion.y_root == 11; },
        5000));
  }

  static Xvfb* xvfb_;
  RunLoop loop;
  std::unique_ptr<XTestClient> client;
  std::unique_ptr<ScreenCapture> capture;
  std::unique_ptr<InputInjector> injector;
  int settles_ = 0;
};

Xvfb* X11Platform::xvfb_ = nullptr;

TEST_F(X11Platform, CaptureDeliversTheDisplayScaledOpaqueAtThirtyFramesASecond) {
  drawQuadrants();
  FrameCollector output;
  auto stream = start(output, primary());
  loop.runUntil([] { return false; }, 1.5);
  stop(*stream);
  auto frame = output.last();
  ASSERT_EQ(frame->width(), 1440);
  ASSERT_EQ(frame->height(), 810);
  EXPECT_GE(frame->stride(), 1440 * 4);
  EXPECT_TRUE(showsQuadrants(*frame, 2)) << pixelAt(*frame, 360, 200);
  EXPECT_EQ(pixelAt(*frame, 360, 200).a, 255) << "BGRA pictures are opaque";
  EXPECT_TRUE(output.allComplete());
  const auto times = output.times();
  ASSERT_GE(times.size(), 20u) << "far fewer frames than asked for";
  EXPECT_LE(double(times.size() - 1) / (double(times.back() - times.front()) / 1e9), 31.0);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);
}

TEST_F(X11Platform, NoFrameReachesTheOutputAfterStopReturns) {
  FrameCollector output;
  auto stream = start(output, primary());
  stop(*stream);
  const size_t atStop = output.count();
  // A second stream's frames come from the same screen and clock: once it has
  // delivered two, a late frame of the first would have arrived too.
  FrameCollector later;
  auto next = start(later, primary());
  EXPECT_EQ(output.count(), atStop);
  stop(*next);
}

TEST_F(X11Platform, ThePointerIsDrawnOnlyWhenAsked) {
  client->fill(0, 0, 1920, 1080, kBlue);
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{400, 400}, MouseButton::kLeft, 1));
  for (const bool cursor : {true, false}) {
    FrameCollector output;
    auto stream = start(output, primary(), 1920, 1080, cursor);
    stop(*stream);
    int differing = 0;
    for (int y = 380; y < 420; ++y) {
      for (int x = 380; x < 420; ++x) differing += !near(pixelAt(*output.last(), x, y), bgra(kBlue), 2);
    }
    EXPECT_EQ(differing > 0, cursor);
  }
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
  monitor->x = 960;
  monitor->width = 960;
  monitor->height = 1080;
  monitor->mwidth = 250;
  monitor->mheight = 280;
  XRRSetMonitor(x, DefaultRootWindow(x), monitor);
  XSync(x, False);
  XRRFreeMonitors(monitor);
  Display added;
  for (const auto& d : capture->displays()) {
    if (d.id == "KX-TEST") added = d;
  }
  ASSERT_EQ(added.bounds, (Rect{960, 0, 960, 1080})) << "the added monitor is not listed";
  std::optional<Error> stopped;
  FrameCollector output;
  auto stream = start(output, added, 720, 810, true, [&](Error e) { stopped = e; });
  XRRDeleteMonitor(x, DefaultRootWindow(x), XInternAtom(x, "KX-TEST", False));
  XSync(x, False);
  EXPECT_TRUE(loop.runUntil([&] { return stopped.has_value(); }, 5)) << "the stream kept running";
}

TEST_F(X11Platform, ClicksAndDragsLandAtTheirPointWithTheirButton) {
  ASSERT_TRUE(injector->postMouse(MouseEventType::kLeftMouseDown, Point{300, 200}, MouseButton::kLeft, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kLeftMouseUp, Point{300, 200}, MouseButton::kLeft, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseDown, Point{100, 100}, MouseButton::kRight, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseDragged, Point{500, 400}, MouseButton::kRight, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseUp, Point{500, 400}, MouseButton::kRight, 1));
  settle();
  std::vector<std::tuple<int, unsigned, int, int>> buttons;  // type, button, x, y
  for (const XEvent& e : client->events) {
    if (e.type == ButtonPress || e.type == ButtonRelease)
      buttons.emplace_back(e.type, e.xbutton.button, e.xbutton.x_root, e.xbutton.y_root);
  }
  EXPECT_EQ(buttons, (std::vector<std::tuple<int, unsigned, int, int>>{{ButtonPress, 1, 300, 200},
                                                                       {ButtonRelease, 1, 300, 200},
                                                                       {ButtonPress, 3, 100, 100},
                                                                       {ButtonRelease, 3, 500, 400}}));
  bool dragged = false;
  for (const auto& m : client->ofType(MotionNotify)) {
    dragged |= m.xmotion.x_root == 500 && m.xmotion.y_root == 400 && (m.xmotion.state & Button3Mask);
  }
  EXPECT_TRUE(dragged) << "no motion with the right button held at the drag point";
}

TEST_F(X11Platform, KeysCarryTheirModifiersAndTextOutsideTheMapIsTyped) {
  auto press = [&](int code, uint64_t flags, std::u16string text = {}) {
    KeyEvent key;
    key.virtualKeyCode = code;
    key.flags = flags;
    key.text = std::move(text);
    ASSERT_TRUE(injector->postKey(key));
    key.down = false;
    ASSERT_TRUE(injector->postKey(key));
  };
  press(0x00, kFlagShift);                   // A with Shift: a capital
  press(0x00, 0);                            // Shift let go again
  press(0x08, kFlagCommand | kFlagControl);  // C with Super and Control
  for (const char16_t* text : {u"é", u"ж", u"Hi!"}) press(0, 0, text);
  settle();
  std::vector<KeySym> typed;
  std::vector<unsigned> states;  // of the first three keys
  for (const auto& e : client->ofType(KeyPress)) {
    const KeySym k = XTestClient::lookup(e).first;
    if (IsModifierKey(k)) continue;
    typed.push_back(k);
    if (states.size() < 3) states.push_back(e.xkey.state & (ShiftMask | ControlMask | Mod4Mask));
  }
  EXPECT_EQ(typed, (std::vector<KeySym>{XK_A, XK_a, XK_c, XK_eacute, 0x1000436, XK_H, XK_i, XK_exclam}));
  EXPECT_EQ(states, (std::vector<unsigned>{ShiftMask, 0, ControlMask | Mod4Mask}));
}

TEST_F(X11Platform, PixelScrollBecomesWheelClicks) {
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{800, 500}, MouseButton::kLeft, 1));
  for (const auto& [dy, dx] : {std::pair{85, 0}, {35, 0}, {-40, 0}, {0, -45}, {0, 10}}) {
    ASSERT_TRUE(injector->postScroll(dy, dx));
  }
  settle();
  std::vector<unsigned> buttons;
  for (const auto& e : client->ofType(ButtonPress)) buttons.push_back(e.xbutton.button);
  EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 4, 5, 7}));
}

TEST(X11InputAccess, GrantedOnlyWithXTest) {
  Xvfb withXTest("1024x768x24"), without("1024x768x24", {"-extension", "XTEST"});
  ASSERT_TRUE(withXTest.running() && without.running());
  const struct {
    std::string display;
    const char* authorization;
  } cases[] = {{withXTest.name(), "granted"}, {without.name(), "denied"}, {":4095", "denied"}};
  for (const auto& c : cases) {
    const auto snapshot = makeX11InputAccess(c.display)->read();
    EXPECT_EQ(snapshot.authorizationText(), c.authorization) << c.display;
    EXPECT_EQ(snapshot.canPostEvents(), c.authorization == std::string("granted")) << c.display;
    EXPECT_EQ(snapshot.eventPreflight, c.authorization == std::string("granted")) << c.display;
  }
  EXPECT_FALSE(makeX11InputInjector(without.name())->postMouse(MouseEventType::kMouseMoved, Point{10, 10},
                                                               MouseButton::kLeft, 1));
}

TEST(X11ServerLoss, CaptureReportsTheLostConnectionAndTheProcessLivesOn) {
  Xvfb server;
  ASSERT_TRUE(server.running());
  RunLoop loop;
  auto capture = makeX11ScreenCapture(loop, server.name());
  ASSERT_FALSE(capture->displays().empty());
  std::optional<Error> stopped;
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{capture->displays()[0]}}, {}, [&](Error e) { stopped = e; });
  ASSERT_TRUE(stream->addOutput(&output).ok());
  std::optional<Status> started;
  stream->start([&](Status s) { started = s; });
  ASSERT_TRUE(loop.runUntil([&] { return started && output.count() >= 2; }, 5));
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
  output.forward = [source = peers.client.source](std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) {
    source->push(std::move(frame), timeNs);
  };
  auto stream = start(output, primary());
  auto arrived = [&] {
    auto frame = peers.technician.lastFrame();
    return frame && frame->width() == 1440 && frame->height() == 810 && showsQuadrants(*frame, 20);
  };
  EXPECT_TRUE(peers.waitUntil(arrived, 10)) << "decoded picture never matched the screen";
  stop(*stream);
}

}  // namespace
}  // namespace kx
