// The X11 platform against a private Xvfb: capture, XTest input observed by a
// window of the test, and the input permission once the server is gone. (The
// captured picture through real peers is the lossy-link test's.)
#include <gtest/gtest.h>

#include <mutex>

#include "platform/x11/x11_platform.h"
#include "runtime/basic_loop.h"
#include "support/test_frames.h"
#include "support/xvfb.h"

// Last: Xlib's macros would rename this system's names.
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include "x11/x_test_client.h"

namespace kx {
namespace {

using testing::bgra;
using testing::near;
using testing::pixelAt;
using testing::Xvfb;
using testing::XTestClient;

constexpr unsigned long kRed = 0xE02010, kGreen = 0x20C040, kBlue = 0x2040E0, kWhite = 0xF0F0F0;

// What a stream delivered, read under its lock (frames come on the capture thread).
class FrameCollector final : public CaptureOutput {
 public:
  void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus) override {
    std::lock_guard lock(mutex);
    last = std::move(frame);
    times.push_back(timeNs);
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return times.size();
  }

  std::mutex mutex;
  std::shared_ptr<const FrameBuffer> last;
  std::vector<int64_t> times;
};

class X11Platform : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new Xvfb(); }
  static void TearDownTestSuite() { delete xvfb_; }
  void SetUp() override {
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    client = std::make_unique<XTestClient>(xvfb_->name());
    ASSERT_TRUE(client->x);
    capture = makeX11ScreenCapture(loop, xvfb_->name());
    injector = makeX11InputInjector(xvfb_->name());
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
    return result.value_or(makeError("test", 1, "no completion"));
  }
  // A started stream of `display` into `output` that has delivered two frames.
  std::unique_ptr<CaptureStream> start(FrameCollector& output, const Display& display, int width, int height,
                                       bool cursor, std::function<void(Error)> onStop = [](Error) {}) {
    auto stream = capture->createStream(ContentFilter{{display}}, {.width = width, .height = height, .showsCursor = cursor},
                                        onStop);
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

TEST_F(X11Platform, CaptureDeliversTheDisplayScaledAndOpaqueAtThirtyFramesASecond) {
  client->fill(0, 0, 960, 540, kRed);
  client->fill(960, 0, 960, 540, kGreen);
  client->fill(0, 540, 960, 540, kBlue);
  client->fill(960, 540, 960, 540, kWhite);
  ASSERT_TRUE(injector->postMouse(MouseEventType::kMouseMoved, Point{400, 400}, MouseButton::kLeft, 1));
  FrameCollector output;
  auto stream = start(output, primary(), 1440, 810, /*cursor=*/true);
  loop.runUntil([] { return false; }, 1.5);
  stop(*stream);
  {
    std::lock_guard lock(output.mutex);
    const FrameBuffer& f = *output.last;
    ASSERT_TRUE(f.width() == 1440 && f.height() == 810 && f.stride() >= 1440 * 4);
    // The quadrants' centres, away from the pointer.
    EXPECT_TRUE(near(pixelAt(f, 360, 200), bgra(kRed), 2) && near(pixelAt(f, 1080, 200), bgra(kGreen), 2) &&
                near(pixelAt(f, 360, 600), bgra(kBlue), 2) && near(pixelAt(f, 1080, 600), bgra(kWhite), 2));
    EXPECT_EQ(pixelAt(f, 360, 200).a, 255) << "BGRA pictures are opaque";
    const auto& times = output.times;
    ASSERT_GE(times.size(), 20u) << "far fewer frames than asked for";
    EXPECT_LE(double(times.size() - 1) / (double(times.back() - times.front()) / 1e9), 31.0);
  }
  FrameCollector later;
  stop(*start(later, primary(), 1440, 810, /*cursor=*/false));
  // The pointer, at (300, 300) in the picture, is drawn only when asked.
  auto pointerPixels = [](FrameCollector& c) {
    int differing = 0;
    for (int y = 290; y < 320; ++y) {
      for (int x = 290; x < 320; ++x) differing += !near(pixelAt(*c.last, x, y), bgra(kRed), 2);
    }
    return differing;
  };
  EXPECT_GT(pointerPixels(output), 0);
  EXPECT_EQ(pointerPixels(later), 0);
}

TEST_F(X11Platform, CaptureOfAMissingOrVanishingDisplayStops) {
  Display missing = primary();
  missing.id = "NOT-THERE";
  EXPECT_FALSE(run([&](auto done) { capture->createStream(ContentFilter{{missing}}, {}, [](Error) {})->start(done); }).ok());
  // A second monitor over the right half of the screen, then removed.
  ::Display* x = client->x;
  XRRMonitorInfo* monitor = XRRAllocateMonitor(x, 0);
  monitor->name = XInternAtom(x, "KX-TEST", False);
  monitor->x = monitor->width = 960;
  monitor->height = 1080;
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

// A server of its own, killed while the permission is held.
TEST(X11Server, InputPermissionGoesWithTheServer) {
  Xvfb server("1024x768x24");
  ASSERT_TRUE(server.running());
  auto access = makeX11InputAccess(server.name());
  EXPECT_TRUE(access->read().canPostEvents());
  server.kill();
  EXPECT_EQ(access->read().authorizationText(), "denied");
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
  ASSERT_TRUE(client->waitFor([](const XEvent& e) { return e.type == MotionNotify && e.xmotion.x_root == 11; }));

  using B = std::tuple<int, unsigned, int, int>;  // type, button, x, y
  std::vector<B> buttons;
  std::vector<std::pair<KeySym, unsigned>> typed;  // with Shift, Control and Super as they were
  bool dragged = false;
  for (XEvent& e : client->events) {
    KeySym keysym = 0;
    if (e.type == ButtonPress || e.type == ButtonRelease) {
      buttons.emplace_back(e.type, e.xbutton.button, e.xbutton.x_root, e.xbutton.y_root);
    } else if (e.type == MotionNotify) {
      dragged |= e.xmotion.x_root == 500 && e.xmotion.y_root == 400 && (e.xmotion.state & Button3Mask);
    } else if (e.type == KeyPress && XLookupString(&e.xkey, nullptr, 0, &keysym, nullptr) >= 0 &&
               !IsModifierKey(keysym)) {
      typed.emplace_back(keysym, e.xkey.state & (ShiftMask | ControlMask | Mod4Mask));
    }
  }
  std::vector<B> expected = {{ButtonPress, 1, 300, 200}, {ButtonRelease, 1, 300, 200},
                             {ButtonPress, 3, 100, 100}, {ButtonRelease, 3, 500, 400}};
  for (unsigned wheel : {4, 4, 4, 5, 7}) {
    expected.insert(expected.end(), {B{ButtonPress, wheel, 800, 500}, B{ButtonRelease, wheel, 800, 500}});
  }
  EXPECT_EQ(buttons, expected);
  EXPECT_TRUE(dragged) << "no motion with the right button held at the drag point";
  const std::vector<std::pair<KeySym, unsigned>> keysTyped = {
      {XK_A, ShiftMask}, {XK_a, 0}, {XK_c, ControlMask | Mod4Mask}, {XK_eacute, 0}, {0x1000436, 0},
      {XK_H, ShiftMask}, {XK_i, 0}, {XK_exclam, ShiftMask}};
  EXPECT_EQ(typed, keysTyped);
}

}  // namespace
}  // namespace kx
