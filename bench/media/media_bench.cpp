// The media path at its working point: two real webrtcbin peers in one
// process over loopback, 1440x900 pictures at 30 frames per second.
//
// Everything is measured over one window while video flows: sealed pings
// sent every 100 ms on the data channel (each side hopping to the loop as the
// app does; a ping unanswered after 2 s counts as timed out), glass-to-glass
// latency (a frame counter drawn into each pushed picture and read back after
// decoding), distinct pictures decoded per second of the window, freezes,
// bitrate, and the CPU time of the send branch (conversion + x264) per frame
// it encoded. Then the pings again for 2 s with the video stopped. With Xvfb
// present it also measures drawn-on-screen to decoded through the X11 capture.
//
// Usage: kx-bench-media [--seconds N] [--no-xvfb] [--threads] [--link NAME]
//                       [--outage SECONDS]
// --outage cuts the link for that long in the middle of the window: run under
// kx-link, which names the emulator in KX_NETEM_PID. The last line is one
// JSON object.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/bitrate_controller.h"
#include "platform/gst/gst_peer_connection.h"
#include "platform/gst/gst_peer_engine.h"
#include "platform/x11/x11_platform.h"
#include "protocol/session_cipher.h"
#include "support/encoder_count.h"
#include "support/loopback_peers.h"
#include "support/test_frames.h"
#include "support/xvfb.h"

#include <X11/Xlib.h>
#undef Status

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;
using testing::Bgra;
using testing::TestFrame;

constexpr int kWidth = 1440, kHeight = 900, kFps = 30;
constexpr int kBits = 16, kBlock = 32, kBlockStep = 40, kCodeTop = 8;

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
  return v[i];
}

// ---- the frame counter: two rows of blocks, the second the complement of the first ----

template <typename Fill>
void drawCounter(uint32_t value, Fill fill) {
  for (int bit = 0; bit < kBits; ++bit) {
    const bool one = (value >> bit) & 1;
    fill(8 + bit * kBlockStep, kCodeTop, one);
    fill(8 + bit * kBlockStep, kCodeTop + kBlockStep, !one);
  }
}

// -1 when the picture carries no readable counter.
int readCounter(const FrameBuffer& frame) {
  if (frame.width() < 8 + kBits * kBlockStep || frame.height() < kCodeTop + 2 * kBlockStep) return -1;
  uint32_t value = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const int x = 8 + bit * kBlockStep + kBlock / 2;
    const bool one = testing::pixelAt(frame, x, kCodeTop + kBlock / 2).g > 128;
    const bool check = testing::pixelAt(frame, x, kCodeTop + kBlockStep + kBlock / 2).g > 128;
    if (one == check) return -1;
    value |= uint32_t(one) << bit;
  }
  return int(value);
}

// ---- a desktop-like picture with one window moving across it ----

class Desktop {
 public:
  Desktop() : base_(kWidth, kHeight, kWidth * 4, Bgra{0xd8, 0xd0, 0xc8}) {
    std::mt19937 random(42);
    for (int i = 0; i < 14; ++i) {
      const int w = 200 + int(random() % 500), h = 150 + int(random() % 350);
      const int x = int(random() % (kWidth - w)), y = 100 + int(random() % (kHeight - h - 100));
      base_.fillRect(x, y, w, h, Bgra{uint8_t(random()), uint8_t(random()), uint8_t(random())});
      base_.fillRect(x, y, w, 24, Bgra{60, 60, 60});
      // "Text": short dark runs on light lines.
      for (int line = y + 34; line + 10 < y + h; line += 16) {
        base_.fillRect(x + 8, line, w - 16, 12, Bgra{250, 250, 250});
        for (int gx = x + 10; gx + 8 < x + w - 10; gx += 7 + int(random() % 4)) {
          if (random() % 5) base_.fillRect(gx, line + 2, 5, 8, Bgra{20, 20, 20});
        }
      }
    }
  }

  // Frame `n`: the desktop, a window moved a little further, and the counter.
  void render(TestFrame& out, uint32_t n) const {
    std::memcpy(const_cast<uint8_t*>(out.data()), base_.data(), size_t(kWidth) * kHeight * 4);
    const int x = int((n * 6) % (kWidth - 520)), y = 220 + int((n * 3) % 300);
    out.fillRect(x, y, 520, 360, Bgra{240, 240, 240});
    out.fillRect(x, y, 520, 26, Bgra{120, 80, 40});
    for (int line = y + 40; line < y + 340; line += 18) {
      out.fillRect(x + 12, line, 300 + int((line * 7 + n) % 180), 10, Bgra{30, 30, 30});
    }
    drawCounter(n, [&](int bx, int by, bool one) {
      out.fillRect(bx, by, kBlock, kBlock, one ? Bgra{255, 255, 255} : Bgra{0, 0, 0});
    });
  }

 private:
  TestFrame base_;
};

// ---- CPU time of threads by name, from /proc ----

struct ThreadTimes {
  std::map<int, std::pair<std::string, double>> byTid;  // tid -> (name, cpu seconds)
};

ThreadTimes readThreads() {
  ThreadTimes t;
  const double tick = double(sysconf(_SC_CLK_TCK));
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return t;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::string name, stat;
    std::getline(std::ifstream(base + "/comm"), name);
    std::getline(std::ifstream(base + "/stat"), stat);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // Fields after the name: state is field 3, utime 14, stime 15.
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < stat.size()) {
      const size_t space = stat.find(' ', pos);
      fields.push_back(stat.substr(pos, space - pos));
      if (space == std::string::npos) break;
      pos = space + 1;
    }
    if (fields.size() < 13) continue;
    t.byTid[std::atoi(e->d_name)] = {name, (std::stod(fields[11]) + std::stod(fields[12])) / tick};
  }
  closedir(dir);
  return t;
}

// CPU seconds spent between two readings by threads whose name starts with one of `prefixes`.
double cpuBetween(const ThreadTimes& a, const ThreadTimes& b, const std::vector<std::string>& prefixes) {
  double total = 0;
  for (const auto& [tid, entry] : b.byTid) {
    const auto& [name, seconds] = entry;
    if (!std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) { return name.rfind(p, 0) == 0; })) {
      continue;
    }
    auto before = a.byTid.find(tid);
    total += seconds - (before == a.byTid.end() ? 0 : before->second.second);
  }
  return total;
}

// The first element made by `factory` directly in `pipeline` (not inside webrtcbin).
std::string elementName(GstElement* pipeline, const char* factory) {
  std::string name;
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (name.empty() && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* element = GST_ELEMENT(g_value_get_object(&item));
    GstElementFactory* f = gst_element_get_factory(element);
    if (f && g_str_equal(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)), factory)) {
      gchar* n = gst_element_get_name(element);
      name = n;
      g_free(n);
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return name;
}

// The sum of an integer statistic over the entries of one type.
int64_t statSum(const std::vector<StatsEntry>& stats, const char* type, const char* key) {
  int64_t sum = 0;
  for (const auto& e : stats) {
    auto t = e.find("type");
    auto v = e.find(key);
    if (t == e.end() || v == e.end() || std::get<std::string>(t->second) != type) continue;
    if (auto* i = std::get_if<int64_t>(&v->second)) sum += *i;
    if (auto* d = std::get_if<double>(&v->second)) sum += int64_t(*d);
  }
  return sum;
}

// Packets that came on the retransmission stream: the receiver lists it as
// one more inbound stream, beside the media stream that carries the most.
int64_t retransmitted(const std::vector<StatsEntry>& stats) {
  int64_t all = 0;
  int64_t most = 0;
  for (const auto& e : stats) {
    auto t = e.find("type");
    auto v = e.find("packets-received");
    if (t == e.end() || v == e.end() || std::get<std::string>(t->second) != "inbound-rtp") continue;
    int64_t packets = 0;
    if (const auto* n = std::get_if<int64_t>(&v->second)) packets = *n;
    if (const auto* d = std::get_if<double>(&v->second)) packets = int64_t(*d);
    all += packets;
    most = std::max(most, packets);
  }
  return all - most;
}

// ---- sealed pings every 100 ms, the technician asking and the client answering ----

class Pinger {
 public:
  static constexpr double kInterval = 0.1, kTimeout = 2.0;

  Pinger(testing::LoopbackPeers& peers, RunLoop& loop)
      : peers_(peers), loop_(loop), cipher_(SessionCipher::fromKey(key())) {
    peers.client.messageHandler = [this](const Bytes& envelope) {
      auto message = open(envelope);
      if (!message.is_object() || message.value("kind", "") != "ping") return;
      auto pong = cipher_.encrypt(nlohmann::json{{"kind", "pong"}, {"token", message["token"]}}.dump());
      if (pong) peers_.client.channel->send(pong->data(), pong->size());
    };
    peers.technician.messageHandler = [this](const Bytes& envelope) {
      auto message = open(envelope);
      const int64_t token = message.is_object() ? message.value("token", int64_t(-1)) : -1;
      if (message.value("kind", "") != "pong" || token < 0 || token >= int64_t(sentAt_.size())) return;
      if (answered_[size_t(token)]) return;
      answered_[size_t(token)] = true;
      rtts.push_back(double(nowNs() - sentAt_[size_t(token)]) / 1e6);
    };
  }
  ~Pinger() { stop(); }

  void start() { timer_ = loop_.addTimer(0, kInterval, [this] { send(); }); }
  void stop() {
    if (timer_) loop_.cancelTimer(*timer_);
    timer_.reset();
  }
  // Every ping sent has its answer or its time-out.
  bool settled() const {
    for (size_t i = 0; i < sentAt_.size(); ++i) {
      if (!answered_[i] && nowNs() - sentAt_[i] < int64_t(kTimeout * 1e9)) return false;
    }
    return true;
  }
  // Pings not answered within the time-out (late answers included).
  int timeouts() const {
    int late = int(std::count_if(rtts.begin(), rtts.end(), [](double ms) { return ms > kTimeout * 1000; }));
    return late + int(std::count(answered_.begin(), answered_.end(), false));
  }

  std::vector<double> rtts;

 private:
  void send() {
    const int64_t token = int64_t(sentAt_.size());
    auto ping = cipher_.encrypt(nlohmann::json{{"kind", "ping"}, {"token", token}}.dump());
    sentAt_.push_back(nowNs());
    answered_.push_back(false);
    if (ping) peers_.technician.channel->send(ping->data(), ping->size());
  }
  nlohmann::json open(const Bytes& envelope) {
    auto plain = cipher_.decrypt(envelope);
    return plain ? nlohmann::json::parse(toString(*plain), nullptr, false) : nlohmann::json();
  }
  static std::array<uint8_t, 32> key() {
    std::array<uint8_t, 32> k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = uint8_t(i * 7 + 1);
    return k;
  }
  testing::LoopbackPeers& peers_;
  RunLoop& loop_;
  SessionCipher cipher_;
  std::optional<EventLoop::TimerId> timer_;
  std::vector<int64_t> sentAt_;
  std::vector<bool> answered_;
};

// Latency of each counter value: from its push (or draw) to its first decoded arrival.
struct Arrivals {
  std::array<std::atomic<int64_t>, 65536> sentAt{};
  std::array<std::atomic<bool>, 65536> seen{};
  std::mutex mutex;
  std::vector<double> latencies;
  std::vector<int64_t> arrivedAt;    // first arrivals while recording
  std::vector<int64_t> arrivedSent;  // when each of those was sent
  std::atomic<bool> recording{false};

  void arrived(const FrameBuffer& frame) {
    const int n = readCounter(frame);
    if (n < 0 || !recording) return;
    const int64_t sent = sentAt[size_t(n)].load();
    if (sent == 0 || seen[size_t(n)].exchange(true)) return;
    const int64_t now = nowNs();
    std::lock_guard lock(mutex);
    latencies.push_back(double(now - sent) / 1e6);
    arrivedAt.push_back(now);
    arrivedSent.push_back(sent);
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return arrivedAt.size();
  }
  // Gaps between pictures over [fromNs, toNs], the window's edges included:
  // a picture that never comes is a freeze too.
  std::vector<double> gapsMs(int64_t fromNs, int64_t toNs) {
    std::lock_guard lock(mutex);
    std::vector<double> gaps;
    int64_t last = fromNs;
    for (int64_t at : arrivedAt) {
      gaps.push_back(double(at - last) / 1e6);
      last = at;
    }
    gaps.push_back(double(toNs - last) / 1e6);
    return gaps;
  }
  // The first picture sent at or after `ns` to arrive, as its arrival time; 0 if none.
  int64_t firstSentSince(int64_t ns) {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < arrivedAt.size(); ++i) {
      if (arrivedAt[i] >= ns && arrivedSent[i] >= ns) return arrivedAt[i];
    }
    return 0;
  }
};

// ---- drawn on the X screen, captured, sent, decoded ----

double xvfbGlassToGlass(testing::LoopbackPeers& peers, RunLoop& loop, double seconds) {
  testing::Xvfb xvfb("1440x900x24");
  if (!xvfb.running()) return -1;
  ::Display* x = XOpenDisplay(xvfb.name().c_str());
  if (!x) return -1;
  XSetWindowAttributes a{};
  a.override_redirect = True;
  const ::Window w = XCreateWindow(x, DefaultRootWindow(x), 0, 0, kWidth, kHeight, 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWOverrideRedirect, &a);
  GC gc = XCreateGC(x, w, 0, nullptr);
  XMapRaised(x, w);
  XSetForeground(x, gc, 0xd0c8c0);
  XFillRectangle(x, w, gc, 0, 0, kWidth, kHeight);
  XSync(x, False);

  auto arrivals = std::make_unique<Arrivals>();
  peers.technician.onFrameHook = [&](const FrameBuffer& f) { arrivals->arrived(f); };

  auto capture = makeX11ScreenCapture(loop, xvfb.name());
  auto displays = capture->displays();
  struct Forward final : CaptureOutput {
    std::shared_ptr<VideoSource> source;
    void onFrame(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs, FrameStatus) override {
      source->push(std::move(frame), timeNs);
    }
  } forward;
  forward.source = peers.client.source;
  CaptureConfiguration c;
  c.width = kWidth;
  c.height = kHeight;
  c.showsCursor = false;
  auto stream = capture->createStream(ContentFilter{{displays.at(0)}}, c, [](Error) {});
  (void)stream->addOutput(&forward);
  bool started = false;
  stream->start([&](Status s) { started = s.ok(); });
  loop.runUntil([&] { return started; }, 5);

  // Draw a new counter every 50 ms, at times unrelated to the capture's.
  arrivals->recording = true;
  std::atomic<bool> stop{false};
  std::thread drawer([&] {
    for (uint32_t n = 1; !stop; ++n) {
      drawCounter(n, [&](int bx, int by, bool one) {
        XSetForeground(x, gc, one ? 0xffffff : 0x000000);
        XFillRectangle(x, w, gc, bx, by, kBlock, kBlock);
      });
      XSync(x, False);
      arrivals->sentAt[n % 65536] = nowNs();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  loop.runUntil([] { return false; }, seconds);
  stop = true;
  drawer.join();
  bool stopped = false;
  stream->stop([&](Status) { stopped = true; });
  loop.runUntil([&] { return stopped; }, 5);
  peers.technician.onFrameHook = nullptr;
  XCloseDisplay(x);
  std::lock_guard lock(arrivals->mutex);
  return percentile(arrivals->latencies, 0.5);
}

int run(int argc, char** argv) {
  double seconds = 8, outageSeconds = 0;
  bool xvfb = true, threads = false;
  std::string link;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--no-xvfb")) xvfb = false;
    else if (!std::strcmp(argv[i], "--threads")) threads = true;
    else if (!std::strcmp(argv[i], "--link") && i + 1 < argc) link = argv[++i];
    else if (!std::strcmp(argv[i], "--outage") && i + 1 < argc) outageSeconds = std::atof(argv[++i]);
  }
  const char* netemPid = std::getenv("KX_NETEM_PID");
  if (outageSeconds > 0 && !netemPid) {
    std::fprintf(stderr, "--outage needs an emulated link: run under kx-link\n");
    return 2;
  }

  auto engine = makeGstPeerEngine();
  if (!engine) {
    std::fprintf(stderr, "GStreamer or a needed plugin is missing\n");
    return 1;
  }
  RunLoop loop;
  testing::EncoderCount encoded;  // outlives the pipeline its probe is on
  testing::LoopbackPeers peers(*engine, loop);
  const auto setupStart = Clock::now();
  if (auto error = peers.negotiate(true, kWidth, kHeight)) {
    std::fprintf(stderr, "negotiation failed: %s\n", error->description.c_str());
    return 1;
  }
  if (!peers.waitConnected(30)) {
    std::fprintf(stderr, "peers did not connect\n");
    return 1;
  }
  // The agent's own rate loop, on the client's connection.
  RateFollower rate(
      loop, *peers.client.source,
      [&](auto done) {
        peers.client.connection->getStats([&loop, done](std::vector<StatsEntry> entries) {
          loop.post([done, entries = std::move(entries)] { done(entries); });
        });
      },
      VideoSendParameters{}.maxBitrate, VideoSendParameters{}.maxFramerate);
  std::printf("connected in %.0f ms\n", std::chrono::duration<double, std::milli>(Clock::now() - setupStart).count());

  auto arrivals = std::make_unique<Arrivals>();
  peers.technician.onFrameHook = [&](const FrameBuffer& f) { arrivals->arrived(f); };

  // Producer: 30 pictures a second from a small pool the encoder hands back.
  Desktop desktop;
  std::atomic<bool> stopVideo{false};
  std::thread producer([&] {
    std::vector<std::shared_ptr<TestFrame>> pool;
    auto next = Clock::now();
    for (uint32_t n = 1; !stopVideo; ++n) {
      std::shared_ptr<TestFrame> frame;
      for (auto& f : pool) {
        if (f.use_count() == 1) frame = f;
      }
      if (!frame) pool.push_back(frame = std::make_shared<TestFrame>(kWidth, kHeight, kWidth * 4, Bgra{}));
      desktop.render(*frame, n);
      arrivals->sentAt[n % 65536] = nowNs();
      peers.client.source->push(frame, 0);
      next += std::chrono::nanoseconds(1'000'000'000 / kFps);
      std::this_thread::sleep_until(next);
    }
  });

  loop.runUntil([] { return false; }, 1.5);  // warm-up: first key frame, jitter buffer settles
  auto* client = dynamic_cast<gst::GstPeerConnection*>(peers.client.connection.get());
  const std::string appsrc = client ? elementName(client->pipeline(), "appsrc") : "";
  if (client) encoded.attach(client->pipeline(), elementName(client->pipeline(), "x264enc").c_str());
  auto stats = [&] {
    return peers.await<std::vector<StatsEntry>>([&](auto d) { peers.technician.connection->getStats(d); });
  };
  const auto stats0 = stats();
  const auto cpu0 = readThreads();
  const int64_t window0 = nowNs();
  arrivals->recording = true;

  Pinger pings(peers, loop);
  pings.start();
  int64_t outageEnd = 0;
  if (outageSeconds > 0) {
    const pid_t emulator = pid_t(std::atoi(netemPid));
    loop.addTimer((seconds - outageSeconds) / 2, 0, [emulator] { ::kill(emulator, SIGUSR1); });
    loop.addTimer((seconds + outageSeconds) / 2, 0, [emulator, &outageEnd] {
      ::kill(emulator, SIGUSR2);
      outageEnd = nowNs();
    });
  }
  loop.runUntil([] { return false; }, seconds);
  pings.stop();
  const int64_t window1 = nowNs();
  arrivals->recording = false;
  encoded.counting = false;
  const auto cpu1 = readThreads();
  const auto stats1 = stats();
  // Answers still on their way come in while the video keeps the link loaded.
  loop.runUntil([&] { return pings.settled(); }, Pinger::kTimeout + 0.5);
  stopVideo = true;
  producer.join();
  peers.technician.onFrameHook = nullptr;
  // The same pings with the video stopped: the channel's own round trip,
  // without the encoder and decoder sharing the cores with it.
  Pinger quiet(peers, loop);
  quiet.start();
  loop.runUntil([] { return false; }, 2.0);
  quiet.stop();
  loop.runUntil([&] { return quiet.settled(); }, Pinger::kTimeout + 0.5);

  // The send branch runs on the appsrc's streaming thread; x264's worker
  // threads are started from it and carry its name. videoconvert's helper
  // threads come from a pool shared with the receiving side and are left out.
  const std::vector<std::string> sendThreads = {appsrc + ":src"};
  const double window = double(window1 - window0) / 1e9;
  const int frames = int(arrivals->count());
  const double kbps = double(statSum(stats1, "inbound-rtp", "bytes-received") -
                             statSum(stats0, "inbound-rtp", "bytes-received")) * 8 / 1000 / window;
  const double encodeMsPerFrame = encoded.frames > 0 ? cpuBetween(cpu0, cpu1, sendThreads) * 1000 / encoded.frames : 0;
  if (threads) {
    for (const auto& [tid, entry] : cpu1.byTid) {
      auto before = cpu0.byTid.find(tid);
      const double used = entry.second - (before == cpu0.byTid.end() ? 0 : before->second.second);
      if (used > 0.005) std::fprintf(stderr, "  %-16s %6.2f s\n", entry.first.c_str(), used);
    }
  }
  const auto requests = [](const std::vector<StatsEntry>& s) {
    return statSum(s, "inbound-rtp", "pli-count") + statSum(s, "inbound-rtp", "fir-count");
  };
  const std::vector<double> gaps = arrivals->gapsMs(window0, window1);
  const int freezes = int(std::count_if(gaps.begin(), gaps.end(), [](double ms) { return ms > 500; }));
  nlohmann::json recovery = nullptr;
  if (outageEnd > 0) {
    const int64_t back = arrivals->firstSentSince(outageEnd);
    if (back > 0) recovery = double(back - outageEnd) / 1e6;
  }

  double g2g = 0, g2gP95 = 0, g2gP99 = 0;
  {
    std::lock_guard lock(arrivals->mutex);
    g2g = percentile(arrivals->latencies, 0.5);
    g2gP95 = percentile(arrivals->latencies, 0.95);
    g2gP99 = percentile(arrivals->latencies, 0.99);
  }
  std::printf("video: %d frames decoded in %.1f s (%d encoded, %d key frames); push to decoded median %.1f ms, "
              "p99 %.1f ms\n", frames, window, encoded.frames.load(), encoded.keyFrames.load(), g2g, g2gP99);
  std::printf("pings: %zu sealed round trips, median %.2f ms, p99 %.2f ms, %d timed out; with the video "
              "stopped, median %.2f ms\n", pings.rtts.size(), percentile(pings.rtts, 0.5),
              percentile(pings.rtts, 0.99), pings.timeouts(), percentile(quiet.rtts, 0.5));
  if (xvfb) {
    const double screen = xvfbGlassToGlass(peers, loop, 5);
    if (screen >= 0) {
      std::printf("drawn on Xvfb to decoded (capture at 30 fps): median %.1f ms\n", screen);
    } else {
      std::printf("Xvfb not available: screen-to-decoded skipped\n");
    }
  }

  nlohmann::json result = {
      {"rtt_median_ms", percentile(pings.rtts, 0.5)},
      {"rtt_p95_ms", percentile(pings.rtts, 0.95)},
      {"rtt_p99_ms", percentile(pings.rtts, 0.99)},
      {"rtt_max_ms", pings.rtts.empty() ? 0 : *std::max_element(pings.rtts.begin(), pings.rtts.end())},
      {"rtt_timeouts", pings.timeouts()},
      {"rtt_quiet_median_ms", percentile(quiet.rtts, 0.5)},
      {"glass_to_glass_median_ms", g2g},
      {"glass_to_glass_p95_ms", g2gP95},
      {"fps", double(frames) / window},
      {"frames_decoded", frames},
      {"freezes_over_500ms", freezes},
      {"longest_gap_ms", *std::max_element(gaps.begin(), gaps.end())},
      {"bitrate_kbps", kbps},
      {"key_frames", encoded.keyFrames.load()},
      {"key_frame_requests", requests(stats1) - requests(stats0)},
      {"encode_cpu_ms_per_frame", encodeMsPerFrame},
      {"outage_recovery_ms", recovery},
      {"nacks_sent", statSum(stats1, "inbound-rtp", "nack-count") - statSum(stats0, "inbound-rtp", "nack-count")},
      {"retransmitted_packets", retransmitted(stats1) - retransmitted(stats0)},
  };
  if (!link.empty()) result["link"] = link;
  std::printf("%s\n", result.dump().c_str());
  return 0;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) { return kx::run(argc, argv); }
