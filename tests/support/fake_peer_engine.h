// An in-process real-time media engine for tests. Every call is recorded;
// completions run inside the call or wait until the test releases them; the
// test plays the engine's side by injecting ICE and channel states, local
// candidates, remote channels, remote video tracks and messages. Injected
// events reach the observer on the calling thread, as an engine thread would,
// and honour the engine contract: once setObserver(nullptr) returns, no call
// reaches the old observer. Every fake is safe to use from several threads.
//
//   FakePeerEngine engine;
//   RealtimePeer peer(loop, engine, ...);
//   auto pc = engine.last();
//   pc->emitIceState(IceConnectionState::kConnected);
//   pc->dataChannel()->setState(DataChannelState::kOpen);
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/peer_engine.h"
#include "runtime/error.h"

namespace kx {

// State behind one recursive mutex (observers and completions may call back in).
class FakeLocked {
 protected:
  template <typename T>
  T get(const T& member) const {
    std::lock_guard lock(mutex_);
    return member;
  }
  template <typename F>
  auto locked(F&& f) const {
    std::lock_guard lock(mutex_);
    return f();
  }
  mutable std::recursive_mutex mutex_;
};

// A BGRA picture filled with one byte value.
class FakeFrameBuffer final : public FrameBuffer {
 public:
  FakeFrameBuffer(int width, int height, uint8_t fill = 0)
      : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 4, fill) {}
  int width() const override { return width_; }
  int height() const override { return height_; }
  int stride() const override { return width_ * 4; }
  const uint8_t* data() const override { return pixels_.data(); }

 private:
  int width_;
  int height_;
  std::vector<uint8_t> pixels_;
};

class FakeDataChannel final : public DataChannel, FakeLocked {
 public:
  explicit FakeDataChannel(std::string label, DataChannelState state = DataChannelState::kConnecting)
      : label_(std::move(label)), state_(state) {}
  std::string label() const override { return label_; }
  DataChannelState state() const override { return get(state_); }
  uint64_t bufferedAmount() const override { return get(buffered_); }
  bool send(const uint8_t* data, size_t size) override {
    return locked([&] { return acceptSends_ && (sent_.emplace_back(data, data + size), true); });
  }
  void setObserver(DataChannelObserver* observer) override { locked([&] { observer_ = observer; }); }
  // Closing reports the closed state to the observer still set, as engines do.
  void close() override {
    locked([&] {
      ++closeCalls_;
      setState(DataChannelState::kClosed);
    });
  }

  // The engine's side. Each notifies the observer on the calling thread.
  void setState(DataChannelState state) {
    locked([&] {
      if (std::exchange(state_, state) != state && observer_) observer_->onStateChange(state);
    });
  }
  void deliver(const Bytes& bytes, bool binary = true) {
    locked([&] {
      if (observer_) observer_->onMessage(bytes.data(), bytes.size(), binary);
    });
  }
  void deliverText(std::string_view text) { deliver(toBytes(text), /*binary=*/false); }
  void setBufferedAmount(uint64_t amount) { locked([&] { buffered_ = amount; }); }
  // When false, send() refuses (as an engine whose queue is broken does).
  void setAcceptSends(bool accept) { locked([&] { acceptSends_ = accept; }); }

  // What the code under test did.
  std::vector<Bytes> sent() const { return get(sent_); }
  int closeCalls() const { return get(closeCalls_); }
  DataChannelObserver* observer() const { return get(observer_); }

 private:
  const std::string label_;
  DataChannelState state_;
  uint64_t buffered_ = 0;
  bool acceptSends_ = true;
  DataChannelObserver* observer_ = nullptr;
  std::vector<Bytes> sent_;
  int closeCalls_ = 0;
};

// An ordered record of calls, shared where the order across objects matters.
class FakeCallLog : FakeLocked {
 public:
  void add(std::string entry) { locked([&] { entries_.push_back(std::move(entry)); }); }
  std::vector<std::string> entries() const { return get(entries_); }
  bool contains(std::string_view entry) const { return indexOf(entry) >= 0; }
  // Position of the first `entry`, or -1.
  int indexOf(std::string_view entry) const {
    return locked([&] {
      const auto it = std::find(entries_.begin(), entries_.end(), entry);
      return it == entries_.end() ? -1 : static_cast<int>(it - entries_.begin());
    });
  }

 private:
  std::vector<std::string> entries_;
};

// A remote video track. Logs "<name>.add" and "<name>.remove" to `log`.
class FakeVideoTrack final : public VideoTrack, FakeLocked {
 public:
  explicit FakeVideoTrack(std::string name, std::shared_ptr<FakeCallLog> log = std::make_shared<FakeCallLog>())
      : name_(std::move(name)), log_(std::move(log)) {}
  void addRenderer(VideoRenderer* renderer) override {
    locked([&] { renderers_.push_back(renderer); });
    log_->add(name_ + ".add");
  }
  void removeRenderer(VideoRenderer* renderer) override {
    locked([&] { std::erase(renderers_, renderer); });
    log_->add(name_ + ".remove");
  }
  std::vector<VideoRenderer*> renderers() const { return get(renderers_); }
  // Sends one frame to every attached renderer, as the decoder would.
  void render(std::shared_ptr<const FrameBuffer> frame) {
    locked([&] {
      for (VideoRenderer* r : renderers_) r->onFrame(frame);
    });
  }

 private:
  const std::string name_;
  std::shared_ptr<FakeCallLog> log_;
  std::vector<VideoRenderer*> renderers_;
};

// The client's outgoing source. Safe to push from a frame thread.
class FakeVideoSource final : public VideoSource, FakeLocked {
 public:
  struct Format {
    int width = 0;
    int height = 0;
    int framesPerSecond = 0;
    bool operator==(const Format&) const = default;
  };
  void configure(int width, int height, int framesPerSecond) override {
    locked([&] { format_ = Format{width, height, framesPerSecond}; });
  }
  void push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) override {
    locked([&] {
      ++pushes_;
      pushesWhileDisabled_ += !enabled_;
      lastFrame_ = std::move(frame);
      times_.push_back(timeNs);
    });
  }
  void setEnabled(bool enabled) override { locked([&] { enabled_ = enabled; }); }
  void setRate(int bitrate, int framesPerSecond) override { locked([&] { rates_.emplace_back(bitrate, framesPerSecond); }); }

  std::vector<std::pair<int, int>> rates() const { return get(rates_); }
  std::optional<Format> format() const { return get(format_); }
  int64_t pushes() const { return get(pushes_); }
  int64_t pushesWhileDisabled() const { return get(pushesWhileDisabled_); }
  std::vector<int64_t> times() const { return get(times_); }
  std::shared_ptr<const FrameBuffer> lastFrame() const { return get(lastFrame_); }
  bool enabled() const { return get(enabled_); }

 private:
  std::optional<Format> format_;
  int64_t pushes_ = 0;
  int64_t pushesWhileDisabled_ = 0;
  std::vector<int64_t> times_;
  std::shared_ptr<const FrameBuffer> lastFrame_;
  bool enabled_ = true;
  std::vector<std::pair<int, int>> rates_;
};

// Options a FakePeerEngine gives each connection it creates.
struct FakePeerOptions {
  // Completions wait for completeNext()/completeAll() instead of running inside the call.
  bool deferCompletions = false;
  // addVideoTrack() and createDataChannel() return null when false.
  bool makesVideoTrack = true;
  bool makesDataChannel = true;
};

// The connection state a test inspects and drives. The code under test holds
// it through a handle (FakePeerEngine::createPeerConnection), so the state
// outlives the code's unique_ptr: `released()` tells when that was destroyed.
//
// Calls are logged as "createOffer", "createAnswer", "setLocalDescription:offer",
// "setRemoteDescription:answer", "addIceCandidate:<line>", "addVideoTrack",
// "createDataChannel:<label>", "getStats", "setObserver:null", "setObserver", "close".
class FakePeerConnection final : public PeerConnection, FakeLocked {
 public:
  using Description = std::optional<std::pair<SdpType, std::string>>;
  FakePeerConnection(PeerConfiguration configuration, PeerConnectionObserver* observer, FakePeerOptions options)
      : configuration_(configuration), options_(options), observer_(observer) {}

  // Results of the next calls, fixed when the call is made.
  void setOfferResult(Expected<std::string> result) { locked([&] { offerResult_ = std::move(result); }); }
  void setAnswerResult(Expected<std::string> result) { locked([&] { answerResult_ = std::move(result); }); }
  void setLocalDescriptionResult(Status result) { locked([&] { localResult_ = std::move(result); }); }
  void setRemoteDescriptionResult(Status result) { locked([&] { remoteResult_ = std::move(result); }); }
  void setCandidateResult(std::function<Status(const IceCandidate&)> result) {
    locked([&] { candidateResult_ = std::move(result); });
  }
  void setStats(std::vector<StatsEntry> stats) { locked([&] { stats_ = std::move(stats); }); }
  void setDeferCompletions(bool defer) { locked([&] { options_.deferCompletions = defer; }); }

  // Releases waiting completions, oldest first. Any thread.
  bool completeNext() {
    std::function<void()> next = locked([&]() -> std::function<void()> {
      if (pending_.empty()) return nullptr;
      auto first = std::move(pending_.front());
      pending_.pop_front();
      return first;
    });
    if (next) next();
    return next != nullptr;
  }
  // Also runs completions queued while it runs.
  void completeAll() {
    while (completeNext()) {
    }
  }
  size_t pendingCompletions() const { return locked([&] { return pending_.size(); }); }

  // The engine's side: calls the observer set now, on the calling thread.
  void emitIceState(IceConnectionState state) { notify([&](auto* o) { o->onIceConnectionState(state); }); }
  void emitDtlsConnected() { notify([&](auto* o) { o->onDtlsConnected(); }); }
  void emitLocalCandidate(const IceCandidate& candidate) { notify([&](auto* o) { o->onLocalCandidate(candidate); }); }
  void emitDataChannel(std::shared_ptr<DataChannel> channel) { notify([&](auto* o) { o->onDataChannel(channel); }); }
  void emitVideoTrack(std::shared_ptr<VideoTrack> track) { notify([&](auto* o) { o->onVideoTrack(track); }); }

  // What the code under test did.
  std::shared_ptr<FakeCallLog> log() const { return log_; }
  std::vector<std::string> calls() const { return log_->entries(); }
  // Every candidate passed to addIceCandidate, in call order.
  std::vector<IceCandidate> addedCandidates() const { return get(added_); }
  Description localDescription() const { return get(local_); }
  Description remoteDescription() const { return get(remote_); }
  std::shared_ptr<FakeVideoSource> videoSource() const { return get(source_); }
  std::optional<VideoSendParameters> videoParameters() const { return get(videoParameters_); }
  std::shared_ptr<FakeDataChannel> dataChannel() const { return get(channel_); }
  std::optional<bool> dataChannelOrdered() const { return get(channelOrdered_); }
  PeerConnectionObserver* observer() const { return get(observer_); }
  PeerConfiguration configuration() const { return configuration_; }
  bool closed() const { return get(closed_); }
  bool released() const { return get(released_); }
  void markReleased() { locked([&] { released_ = true; }); }

  // PeerConnection
  void createOffer(SdpDone done) override { step("createOffer", [done, r = get(offerResult_)] { done(r); }); }
  void createAnswer(SdpDone done) override { step("createAnswer", [done, r = get(answerResult_)] { done(r); }); }
  void setLocalDescription(SdpType type, const std::string& sdp, Done done) override {
    describe("setLocalDescription:", type, sdp, localResult_, local_, std::move(done));
  }
  void setRemoteDescription(SdpType type, const std::string& sdp, Done done) override {
    describe("setRemoteDescription:", type, sdp, remoteResult_, remote_, std::move(done));
  }
  bool hasRemoteDescription() const override { return get(remote_).has_value(); }
  void addIceCandidate(const IceCandidate& candidate, Done done) override {
    locked([&] {
      added_.push_back(candidate);
      Status result = candidateResult_ ? candidateResult_(candidate) : Status{};
      step("addIceCandidate:" + candidate.candidate, [done = std::move(done), result] { done(result); });
    });
  }
  std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) override {
    log_->add("addVideoTrack");
    return locked([&] {
      videoParameters_ = parameters;
      if (options_.makesVideoTrack) source_ = std::make_shared<FakeVideoSource>();
      return source_;
    });
  }
  std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) override {
    log_->add("createDataChannel:" + label);
    return locked([&] {
      channelOrdered_ = ordered;
      if (options_.makesDataChannel) channel_ = std::make_shared<FakeDataChannel>(label);
      return channel_;
    });
  }
  void getStats(std::function<void(std::vector<StatsEntry>)> done) override {
    step("getStats", [done = std::move(done), stats = get(stats_)] { done(stats); });
  }
  void setObserver(PeerConnectionObserver* observer) override {
    locked([&] {
      log_->add(observer ? "setObserver" : "setObserver:null");
      observer_ = observer;
    });
  }
  void close() override {
    log_->add("close");
    locked([&] { closed_ = true; });
  }

 private:
  template <typename F>
  void notify(F&& f) {
    locked([&] {
      if (observer_) f(observer_);
    });
  }
  // Logs the call, then runs its completion now or queues it.
  void step(const std::string& name, std::function<void()> completion) {
    log_->add(name);
    locked([&] {
      if (options_.deferCompletions) {
        pending_.push_back(std::move(completion));
        completion = nullptr;
      }
    });
    if (completion) completion();
  }
  // The description counts as set once its completion succeeds, as in a real engine.
  void describe(const char* name, SdpType type, const std::string& sdp, const Status& result, Description& slot,
                Done done) {
    step(std::string(name) + (type == SdpType::kOffer ? "offer" : "answer"),
         [this, done = std::move(done), result = get(result), &slot, type, sdp] {
           if (result) locked([&] { slot = std::make_pair(type, sdp); });
           done(result);
         });
  }

  const PeerConfiguration configuration_;
  FakePeerOptions options_;
  PeerConnectionObserver* observer_;
  std::shared_ptr<FakeCallLog> log_ = std::make_shared<FakeCallLog>();
  std::deque<std::function<void()>> pending_;
  Expected<std::string> offerResult_ = std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=fake-offer\r\n");
  Expected<std::string> answerResult_ = std::string("v=0\r\no=- 2 1 IN IP4 127.0.0.1\r\ns=fake-answer\r\n");
  Status localResult_;
  Status remoteResult_;
  std::function<Status(const IceCandidate&)> candidateResult_;
  std::vector<StatsEntry> stats_;
  Description local_;
  Description remote_;
  std::vector<IceCandidate> added_;
  std::optional<VideoSendParameters> videoParameters_;
  std::shared_ptr<FakeVideoSource> source_;
  std::shared_ptr<FakeDataChannel> channel_;
  std::optional<bool> channelOrdered_;
  bool closed_ = false;
  bool released_ = false;
};

class FakePeerEngine final : public PeerEngine {
 public:
  FakePeerOptions options;  // given to each new connection
  bool refuseConnections = false;

  std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                       PeerConnectionObserver* observer) override {
    std::lock_guard lock(mutex_);
    if (refuseConnections) return nullptr;
    auto state = std::make_shared<FakePeerConnection>(configuration, observer, options);
    connections_.push_back(state);
    return std::make_unique<Handle>(state);
  }
  // The newest connection (null when none was made).
  std::shared_ptr<FakePeerConnection> last() const {
    std::lock_guard lock(mutex_);
    return connections_.empty() ? nullptr : connections_.back();
  }
  std::vector<std::shared_ptr<FakePeerConnection>> connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }

 private:
  // What the code under test owns; forwards to the shared state.
  class Handle final : public PeerConnection {
   public:
    explicit Handle(std::shared_ptr<FakePeerConnection> state) : s_(std::move(state)) {}
    ~Handle() override { s_->markReleased(); }
    void createOffer(SdpDone done) override { s_->createOffer(std::move(done)); }
    void createAnswer(SdpDone done) override { s_->createAnswer(std::move(done)); }
    void setLocalDescription(SdpType t, const std::string& sdp, Done done) override {
      s_->setLocalDescription(t, sdp, std::move(done));
    }
    void setRemoteDescription(SdpType t, const std::string& sdp, Done done) override {
      s_->setRemoteDescription(t, sdp, std::move(done));
    }
    bool hasRemoteDescription() const override { return s_->hasRemoteDescription(); }
    void addIceCandidate(const IceCandidate& c, Done done) override { s_->addIceCandidate(c, std::move(done)); }
    std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& p) override { return s_->addVideoTrack(p); }
    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) override {
      return s_->createDataChannel(label, ordered);
    }
    void getStats(std::function<void(std::vector<StatsEntry>)> done) override { s_->getStats(std::move(done)); }
    void setObserver(PeerConnectionObserver* observer) override { s_->setObserver(observer); }
    void close() override { s_->close(); }

   private:
    std::shared_ptr<FakePeerConnection> s_;
  };

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakePeerConnection>> connections_;
};

}  // namespace kx
