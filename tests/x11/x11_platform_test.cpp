// The X11 platform against a private Xvfb: displays, capture, XTest input
// observed by a window of the test, the input permission, and a drawn picture
// travelling through capture, two real peers and the decoder.
#include <gtest/gtest.h>

#include <atomic>
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
using testing::XTestClient;
using testing::Xvfb;

constexpr unsigned long kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040E0, kWhite = 0xF0F0F0;

class FrameCollector final : public CaptureOutput {
 public:
  void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus status) override {
    if (forward) forward(frame, timeNs);
    std::lock_guard lock(mutex_);
    last_ = std::move(frame);
    times_.push_back(timeNs);
    statuses_.push_back(status);
  }
  std::shared_ptr<const FrameBuffer> last() {
    std::lock_guard lock(mutex_);
    return last_;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return times_.size();
  }
  std::vector<int64_t> times() {
    std::lock_guard lock(mutex_);
    return times_;
  }
  std::vector<FrameStatus> statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  std::function<void(std::shared_ptr<const FrameBuffer>, int64_t)> forward;

 private:
  std::mutex mutex_;
  std::shared_ptr<const FrameBuffer> last_;
  std::vector<int64_t> times_;
  std::vector<FrameStatus> statuses_;
};

Bgra bgra(unsigned long rgb) { return Bgra{uint8_t(rgb & 0xff), uint8_t((rgb >> 8) & 0xff), uint8_t(rgb >> 16)}; }

class X11Platform : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new Xvfb(); }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    client = std::make_unique<XTestClient>(xvfb_->name(), 1920, 1080);
    ASSERT_TRUE(client->ok());
    capture = makeX11ScreenCapture(loop, xvfb_->name());
    injector = makeX11InputInjector(xvfb_->name());
  }

  // Quadrants of known colours over the whole screen.
  void drawQuadrants() {
    client->fill(0, 0, 960, 540, kRed);
    client->fill(960, 0, 960, 540, kGreen);
    client->fill(0, 540, 960, 540, kBlue);
    client->fill(960, 540, 960, 540, kWhite);
  }

  Display primary() {
    for (const auto& d : capture->displays()) {
      if (d.primary) return d;
    }
    return {};
  }

  Status run(const std::function<void(std::function<void(Status)>)>& start) {
    std::optional<Status> result;
    start([&](Status s) { result = std::move(s); });
    loop.runUntil([&] { return result.has_value(); }, 10);
    return result ? std::move(*result) : Status(makeError("test", 1, "no completion"));
  }

  // Returns once everything injected before has reached the window: the
  // server handles XTest requests in order, so a pointer move to a fresh spot
  // arrives after them.
  void settle() {
    const Point spot{double(11 + (settles_++ % 2)), 11};
    ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, spot, MouseButton::kLeft, 1));
    ASSERT_TRUE(client->waitFor(
        [&](const XEvent& e) {
          return e.type == MotionNotify && e.xmotion.x_root == int(spot.x) && e.xmotion.y_root == int(spot.y);
        },
        5000));
  }

  CaptureConfiguration scaled() {
    CaptureConfiguration c;
    c.width = 1440;
    c.height = 810;
    return c;
  }

  static Xvfb* xvfb_;
  RunLoop loop;
  std::unique_ptr<XTestClient> client;
  std::unique_ptr<ScreenCapture> capture;
  std::unique_ptr<InputInjector> injector;
  int settles_ = 0;
};

Xvfb* X11Platform::xvfb_ = nullptr;

// ---- displays ----

TEST_F(X11Platform, TheScreenIsOnePrimaryDisplay) {
  auto displays = capture->displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_FALSE(displays[0].id.empty());
  EXPECT_TRUE(displays[0].primary);
  EXPECT_EQ(displays[0].bounds, (Rect{0, 0, 1920, 1080}));
}

// ---- capture ----

TEST_F(X11Platform, CaptureDeliversTheDisplayScaledInItsColours) {
  drawQuadrants();
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{primary()}}, scaled(), [](Error) {});
  ASSERT_TRUE(stream->addOutput(&output).ok());
  ASSERT_TRUE(run([&](auto done) { stream->start(done); }).ok());
  ASSERT_TRUE(loop.runUntil([&] { return output.count() >= 3; }, 5));

  auto frame = output.last();
  ASSERT_EQ(frame->width(), 1440);
  ASSERT_EQ(frame->height(), 810);
  EXPECT_GE(frame->stride(), 1440 * 4);
  // Quadrant centres, away from where the pointer is drawn.
  EXPECT_TRUE(testing::near(testing::pixelAt(*frame, 360, 200), bgra(kRed), 2)) << testing::pixelAt(*frame, 360, 200);
  EXPECT_TRUE(testing::near(testing::pixelAt(*frame, 1080, 200), bgra(kGreen), 2));
  EXPECT_TRUE(testing::near(testing::pixelAt(*frame, 360, 600), bgra(kBlue), 2));
  EXPECT_TRUE(testing::near(testing::pixelAt(*frame, 1080, 600), bgra(kWhite), 2));
  EXPECT_EQ(testing::pixelAt(*frame, 360, 200).a, 255) << "BGRA pictures are opaque";
  for (FrameStatus s : output.statuses()) EXPECT_EQ(s, FrameStatus::kComplete);

  ASSERT_TRUE(run([&](auto done) { stream->stop(done); }).ok());
}

TEST_F(X11Platform, CaptureKeepsToThirtyFramesASecondWithRisingTimes) {
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{primary()}}, scaled(), [](Error) {});
  ASSERT_TRUE(stream->addOutput(&output).ok());
  ASSERT_TRUE(run([&](auto done) { stream->start(done); }).ok());
  loop.runUntil([] { return false; }, 1.5);
  ASSERT_TRUE(run([&](auto done) { stream->stop(done); }).ok());

  auto times = output.times();
  ASSERT_GE(times.size(), 20u) << "far fewer frames than asked for";
  const double seconds = double(times.back() - times.front()) / 1e9;
  EXPECT_LE(double(times.size() - 1) / seconds, 31.0);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);
}

TEST_F(X11Platform, NoFrameReachesTheOutputAfterStopReturns) {
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{primary()}}, scaled(), [](Error) {});
  ASSERT_TRUE(stream->addOutput(&output).ok());
  ASSERT_TRUE(run([&](auto done) { stream->start(done); }).ok());
  ASSERT_TRUE(loop.runUntil([&] { return output.count() >= 2; }, 5));
  bool stopped = false;
  stream->stop([&](Status) { stopped = true; });
  const size_t atStop = output.count();
  ASSERT_TRUE(loop.runUntil([&] { return stopped; }, 5));
  // A second stream's frames come from the same screen and clock: once it has
  // delivered two, a late frame of the first would have arrived too.
  FrameCollector later;
  auto next = capture->createStream(ContentFilter{{primary()}}, scaled(), [](Error) {});
  ASSERT_TRUE(next->addOutput(&later).ok());
  ASSERT_TRUE(run([&](auto done) { next->start(done); }).ok());
  ASSERT_TRUE(loop.runUntil([&] { return later.count() >= 2; }, 5));
  EXPECT_EQ(output.count(), atStop);
  ASSERT_TRUE(run([&](auto done) { next->stop(done); }).ok());
}

TEST_F(X11Platform, ThePointerIsDrawnOnlyWhenAsked) {
  client->fill(0, 0, 1920, 1080, kBlue);
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{400, 400}, MouseButton::kLeft, 1));
  auto differsAroundPointer = [&](bool showsCursor) {
    FrameCollector output;
    CaptureConfiguration c;
    c.width = 1920;
    c.height = 1080;
    c.showsCursor = showsCursor;
    auto stream = capture->createStream(ContentFilter{{primary()}}, c, [](Error) {});
    EXPECT_TRUE(stream->addOutput(&output).ok());
    EXPECT_TRUE(run([&](auto done) { stream->start(done); }).ok());
    EXPECT_TRUE(loop.runUntil([&] { return output.count() >= 2; }, 5));
    auto frame = output.last();
    EXPECT_TRUE(run([&](auto done) { stream->stop(done); }).ok());
    int differing = 0;
    for (int y = 380; y < 420; ++y) {
      for (int x = 380; x < 420; ++x) differing += !testing::near(testing::pixelAt(*frame, x, y), bgra(kBlue), 2);
    }
    return differing;
  };
  EXPECT_GT(differsAroundPointer(true), 0);
  EXPECT_EQ(differsAroundPointer(false), 0);
}

TEST_F(X11Platform, AnUnknownDisplayDoesNotStart) {
  Display missing = primary();
  missing.id = "NOT-THERE";
  auto stream = capture->createStream(ContentFilter{{missing}}, scaled(), [](Error) {});
  FrameCollector output;
  ASSERT_TRUE(stream->addOutput(&output).ok());
  EXPECT_FALSE(run([&](auto done) { stream->start(done); }).ok());
  auto none = capture->createStream(ContentFilter{}, scaled(), [](Error) {});
  EXPECT_FALSE(run([&](auto done) { none->start(done); }).ok());
}

TEST_F(X11Platform, CaptureStopsWhenItsMonitorGoesAway) {
  // A second monitor over the right half of the screen, then removed.
  ::Display* x = client->display();
  XRRMonitorInfo* monitor = XRRAllocateMonitor(x, 0);
  monitor->name = XInternAtom(x, "KX-TEST", False);
  monitor->x = 960;
  monitor->y = 0;
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
  CaptureConfiguration c;
  c.width = 720;
  c.height = 810;
  FrameCollector output;
  auto stream = capture->createStream(ContentFilter{{added}}, c, [&](Error e) { stopped = e; });
  ASSERT_TRUE(stream->addOutput(&output).ok());
  ASSERT_TRUE(run([&](auto done) { stream->start(done); }).ok());
  ASSERT_TRUE(loop.runUntil([&] { return output.count() >= 2; }, 5));

  XRRDeleteMonitor(x, DefaultRootWindow(x), XInternAtom(x, "KX-TEST", False));
  XSync(x, False);
  EXPECT_TRUE(loop.runUntil([&] { return stopped.has_value(); }, 5)) << "the stream kept running";
}

// ---- input ----

TEST_F(X11Platform, AClickLandsAtItsPoint) {
  ASSERT_TRUE(injector->postMouse(MouseEventType::kLeftMouseDown, Point{300, 200}, MouseButton::kLeft, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kLeftMouseUp, Point{300, 200}, MouseButton::kLeft, 1));
  client->waitFor([](const XEvent& e) { return e.type == ButtonRelease; }, 2000);
  auto presses = client->ofType(ButtonPress);
  auto releases = client->ofType(ButtonRelease);
  ASSERT_EQ(presses.size(), 1u);
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(presses[0].xbutton.button, 1u);
  EXPECT_EQ(presses[0].xbutton.x_root, 300);
  EXPECT_EQ(presses[0].xbutton.y_root, 200);
  EXPECT_EQ(releases[0].xbutton.x_root, 300);
}

TEST_F(X11Platform, ARightDragMovesWithTheButtonHeld) {
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseDown, Point{100, 100}, MouseButton::kRight, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseDragged, Point{500, 400}, MouseButton::kRight, 1));
  ASSERT_TRUE(injector->postMouse(MouseEventType::kRightMouseUp, Point{500, 400}, MouseButton::kRight, 1));
  client->waitFor([](const XEvent& e) { return e.type == ButtonRelease; }, 2000);
  auto presses = client->ofType(ButtonPress);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].xbutton.button, 3u);
  EXPECT_EQ(presses[0].xbutton.x_root, 100);
  bool draggedThere = false;
  for (const auto& m : client->ofType(MotionNotify)) {
    if (m.xmotion.x_root == 500 && m.xmotion.y_root == 400) draggedThere = (m.xmotion.state & Button3Mask) != 0;
  }
  EXPECT_TRUE(draggedThere) << "no motion with the right button held at the drag point";
  auto releases = client->ofType(ButtonRelease);
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(releases[0].xbutton.button, 3u);
  EXPECT_EQ(releases[0].xbutton.x_root, 500);
  EXPECT_EQ(releases[0].xbutton.y_root, 400);
}

TEST_F(X11Platform, AKeyWithShiftTypesTheCapital) {
  KeyEvent key;
  key.virtualKeyCode = 0x00;  // the A position
  key.flags = kFlagShift;
  ASSERT_TRUE(injector->postKey(key));
  key.down = false;
  ASSERT_TRUE(injector->postKey(key));
  client->waitFor([](const XEvent& e) { return e.type == KeyRelease && XLookupKeysym(const_cast<XKeyEvent*>(&e.xkey), 0) == XK_a; }, 2000);
  std::string typed;
  for (const auto& e : client->ofType(KeyPress)) typed += XTestClient::lookup(e).second;
  EXPECT_EQ(typed, "A");
  // Shift was let go again: a plain key now types lower case.
  key.flags = 0;
  key.down = true;
  ASSERT_TRUE(injector->postKey(key));
  key.down = false;
  ASSERT_TRUE(injector->postKey(key));
  settle();
  typed.clear();
  for (const auto& e : client->ofType(KeyPress)) typed += XTestClient::lookup(e).second;
  EXPECT_EQ(typed, "Aa");
}

TEST_F(X11Platform, CommandAndControlReachTheKeyAsModifiers) {
  KeyEvent key;
  key.virtualKeyCode = 0x08;  // C
  key.flags = kFlagCommand | kFlagControl;
  ASSERT_TRUE(injector->postKey(key));
  auto press = client->waitFor(
      [](const XEvent& e) { return e.type == KeyPress && XLookupKeysym(const_cast<XKeyEvent*>(&e.xkey), 0) == XK_c; },
      2000);
  ASSERT_TRUE(press);
  EXPECT_TRUE(press->xkey.state & ControlMask);
  EXPECT_TRUE(press->xkey.state & Mod4Mask) << "command should hold Super";
  EXPECT_FALSE(press->xkey.state & ShiftMask);
}

TEST_F(X11Platform, TextOutsideTheKeyboardMapIsTyped) {
  for (std::u16string text : {std::u16string(u"é"), std::u16string(u"ж"), std::u16string(u"Hi!")}) {
    KeyEvent key;
    key.text = text;
    ASSERT_TRUE(injector->postKey(key));
    key.down = false;
    ASSERT_TRUE(injector->postKey(key));
  }
  settle();
  std::vector<KeySym> typed;
  for (const auto& e : client->ofType(KeyPress)) {
    const KeySym k = XTestClient::lookup(e).first;
    if (k != XK_Shift_L) typed.push_back(k);
  }
  const std::vector<KeySym> expected = {XK_eacute, 0x1000436, XK_H, XK_i, XK_exclam};
  EXPECT_EQ(typed, expected);
}

TEST_F(X11Platform, PixelScrollBecomesWheelClicks) {
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{800, 500}, MouseButton::kLeft, 1));
  ASSERT_TRUE(injector->postScroll(85, 0));   // two clicks up, 5 px carried
  ASSERT_TRUE(injector->postScroll(35, 0));   // with the carry: one more
  ASSERT_TRUE(injector->postScroll(-40, 0));  // turning round drops the carry: one down
  ASSERT_TRUE(injector->postScroll(0, -45));  // one to the right
  ASSERT_TRUE(injector->postScroll(0, 10));   // too little for a click
  settle();
  std::vector<unsigned> buttons;
  for (const auto& e : client->ofType(ButtonPress)) buttons.push_back(e.xbutton.button);
  EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 4, 5, 7}));
}

// ---- permission ----

TEST_F(X11Platform, InputAccessIsGrantedWithXTest) {
  auto access = makeX11InputAccess(xvfb_->name());
  const auto snapshot = access->read();
  EXPECT_EQ(snapshot.authorizationText(), "granted");
  EXPECT_TRUE(snapshot.canPostEvents());
  EXPECT_TRUE(snapshot.accessibilityTrusted);
  EXPECT_TRUE(snapshot.eventPreflight);
}

TEST(X11WithoutXTest, InputAccessIsDeniedAndNothingIsPosted) {
  Xvfb plain("1024x768x24", {"-extension", "XTEST"});
  ASSERT_TRUE(plain.running());
  const auto snapshot = makeX11InputAccess(plain.name())->read();
  EXPECT_EQ(snapshot.authorizationText(), "denied");
  EXPECT_FALSE(snapshot.eventPreflight);
  auto injector = makeX11InputInjector(plain.name());
  EXPECT_FALSE(injector->postMouse(MouseEventType::kMouseMoved, Point{10, 10}, MouseButton::kLeft, 1));
}

TEST(X11WithoutServer, InputAccessIsDenied) {
  EXPECT_EQ(makeX11InputAccess(":4095")->read().authorizationText(), "denied");
}

// ---- losing the server ----

TEST(X11ServerLoss, CaptureReportsTheLostConnectionAndTheProcessLivesOn) {
  Xvfb server;
  ASSERT_TRUE(server.running());
  RunLoop loop;
  auto capture = makeX11ScreenCapture(loop, server.name());
  auto displays = capture->displays();
  ASSERT_FALSE(displays.empty());
  std::optional<Error> stopped;
  FrameCollector output;
  CaptureConfiguration c;
  c.width = 1440;
  c.height = 810;
  auto stream = capture->createStream(ContentFilter{{displays[0]}}, c, [&](Error e) { stopped = e; });
  ASSERT_TRUE(stream->addOutput(&output).ok());
  std::optional<Status> started;
  stream->start([&](Status s) { started = s; });
  ASSERT_TRUE(loop.runUntil([&] { return started && output.count() >= 2; }, 5));

  server.kill();
  EXPECT_TRUE(loop.runUntil([&] { return stopped.has_value(); }, 5));
  EXPECT_TRUE(capture->displays().empty());
}

// ---- the whole road ----

TEST_F(X11Platform, ADrawnPictureArrivesThroughCaptureAndTwoPeers) {
  drawQuadrants();
  auto engine = makeGstPeerEngine();
  ASSERT_TRUE(engine);
  testing::LoopbackPeers peers(*engine, loop);
  ASSERT_TRUE(peers.created());
  ASSERT_FALSE(peers.negotiate(true, 1440, 810));
  ASSERT_TRUE(peers.waitConnected());

  FrameCollector output;
  auto source = peers.client.source;
  output.forward = [source](std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) {
    source->push(std::move(frame), timeNs);
  };
  auto stream = capture->createStream(ContentFilter{{primary()}}, scaled(), [](Error) {});
  ASSERT_TRUE(stream->addOutput(&output).ok());
  ASSERT_TRUE(run([&](auto done) { stream->start(done); }).ok());

  auto arrived = [&] {
    auto frame = peers.technician.lastFrame();
    return frame && frame->width() == 1440 && frame->height() == 810 &&
           testing::near(testing::pixelAt(*frame, 360, 200), bgra(kRed)) &&
           testing::near(testing::pixelAt(*frame, 1080, 200), bgra(kGreen)) &&
           testing::near(testing::pixelAt(*frame, 360, 600), bgra(kBlue)) &&
           testing::near(testing::pixelAt(*frame, 1080, 600), bgra(kWhite));
  };
  EXPECT_TRUE(peers.waitUntil(arrived, 10)) << "decoded picture never matched the screen";
  EXPECT_TRUE(run([&](auto done) { stream->stop(done); }).ok());
}

}  // namespace
}  // namespace kx
