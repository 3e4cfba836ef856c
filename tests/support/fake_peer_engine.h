// An in-process real-time media engine for tests. Every call is recorded;
// completions run inside the call or wait until the test releases them; the
// test plays the engine's side by injecting ICE and channel states, local
// candidates, remote channels, remote video tracks and messages. Injected
// events reach the observer on the calling thread, as an engine thread would,
// and honour the engine contract: once setObserver(nullptr) returns, no call
// reaches the old observer.
//
//   FakePeerEngine engine;
//   RealtimePeer peer(loop, engine, ...);
//   auto pc = engine.last();
//   pc->emitIceState(IceConnectionState::kConnected);
//   pc->dataChannel()->setState(DataChannelState::kOpen);
#pragma once

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

class FakeDataChannel final : public DataChannel {
 public:
  explicit FakeDataChannel(std::string label, DataChannelState state = DataChannelState::kConnecting)
      : label_(std::move(label)), state_(state) {}

  std::string label() const override { return label_; }
  DataChannelState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  uint64_t bufferedAmount() const override {
    std::lock_guard lock(mutex_);
    return buffered_;
  }
  bool send(const uint8_t* data, size_t size) override {
    std::lock_guard lock(mutex_);
    if (!acceptSends_) return false;
    sent_.emplace_back(data, data + size);
    return true;
  }
  void setObserver(DataChannelObserver* observer) override {
    std::lock_guard lock(mutex_);
    observer_ = observer;
  }
  // Closing reports the closed state to the observer still set, as engines do.
  void close() override {
    std::lock_guard lock(mutex_);
    ++closeCalls_;
    setState(DataChannelState::kClosed);
  }

  // The engine's side. Each notifies the observer on the calling thread.
  void setState(DataChannelState state) {
    std::lock_guard lock(mutex_);
    if (state_ == state) return;
    state_ = state;
    if (observer_) observer_->onStateChange(state);
  }
  void deliver(const Bytes& bytes, bool binary = true) {
    std::lock_guard lock(mutex_);
    if (observer_) observer_->onMessage(bytes.data(), bytes.size(), binary);
  }
  void deliverText(std::string_view text) { deliver(toBytes(text), /*binary=*/false); }
  void setBufferedAmount(uint64_t amount) {
    std::lock_guard lock(mutex_);
    buffered_ = amount;
  }
  // When false, send() refuses (as an engine whose queue is broken does).
  void setAcceptSends(bool accept) {
    std::lock_guard lock(mutex_);
    acceptSends_ = accept;
  }

  // What the code under test did.
  std::vector<Bytes> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  int closeCalls() const {
    std::lock_guard lock(mutex_);
    return closeCalls_;
  }
  DataChannelObserver* observer() const {
    std::lock_guard lock(mutex_);
    return observer_;
  }

 private:
  // Recursive: observers may call back into the channel from inside a notification.
  mutable std::recursive_mutex mutex_;
  const std::string label_;
  DataChannelState state_;
  uint64_t buffered_ = 0;
  bool acceptSends_ = true;
  DataChannelObserver* observer_ = nullptr;
  std::vector<Bytes> sent_;
  int closeCalls_ = 0;
};

// An ordered record of calls, shared where the order across objects matters.
class FakeCallLog {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  bool contains(std::string_view entry) const {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if (e == entry) return true;
    return false;
  }
  // Position of the first `entry`, or -1.
  int indexOf(std::string_view entry) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i] == entry) return static_cast<int>(i);
    return -1;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// A remote video track. Logs "<name>.add" and "<name>.remove" to `log`.
class FakeVideoTrack final : public VideoTrack {
 public:
  explicit FakeVideoTrack(std::string name, std::shared_ptr<FakeCallLog> log = std::make_shared<FakeCallLog>())
      : name_(std::move(name)), log_(std::move(log)) {}

  void addRenderer(VideoRenderer* renderer) override {
    std::lock_guard lock(mutex_);
    renderers_.push_back(renderer);
    log_->add(name_ + ".add");
  }
  void removeRenderer(VideoRenderer* renderer) override {
    std::lock_guard lock(mutex_);
    std::erase(renderers_, renderer);
    log_->add(name_ + ".remove");
  }

  std::vector<VideoRenderer*> renderers() const {
    std::lock_guard lock(mutex_);
    return renderers_;
  }
  // Sends one frame to every attached renderer, as the decoder would.
  void render(std::shared_ptr<const FrameBuffer> frame) {
    std::lock_guard lock(mutex_);
    for (VideoRenderer* r : renderers_) r->onFrame(frame);
  }

 private:
  mutable std::mutex mutex_;
  const std::string name_;
  std::shared_ptr<FakeCallLog> log_;
  std::vector<VideoRenderer*> renderers_;
};

// The client's outgoing source. Safe to push from a frame thread.
class FakeVideoSource final : public VideoSource {
 public:
  struct Format {
    int width = 0;
    int height = 0;
    int framesPerSecond = 0;
    bool operator==(const Format&) const = default;
  };

  void configure(int width, int height, int framesPerSecond) override {
    std::lock_guard lock(mutex_);
    format_ = Format{width, height, framesPerSecond};
  }
  void push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) override {
    std::lock_guard lock(mutex_);
    ++pushes_;
    if (!enabled_) ++pushesWhileDisabled_;
    lastFrame_ = std::move(frame);
    times_.push_back(timeNs);
  }
  void setEnabled(bool enabled) override {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
  }
  void setRate(int bitrate, int framesPerSecond) override {
    std::lock_guard lock(mutex_);
    rates_.emplace_back(bitrate, framesPerSecond);
  }
  std::vector<std::pair<int, int>> rates() const {
    std::lock_guard lock(mutex_);
    return rates_;
  }

  std::optional<Format> format() const {
    std::lock_guard lock(mutex_);
    return format_;
  }
  int64_t pushes() const {
    std::lock_guard lock(mutex_);
    return pushes_;
  }
  int64_t pushesWhileDisabled() const {
    std::lock_guard lock(mutex_);
    return pushesWhileDisabled_;
  }
  std::vector<int64_t> times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }
  std::shared_ptr<const FrameBuffer> lastFrame() const {
    std::lock_guard lock(mutex_);
    return lastFrame_;
  }
  bool enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
  }

 private:
  mutable std::mutex mutex_;
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
class FakePeerConnection final : public PeerConnection {
 public:
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
    std::function<void()> next;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) return false;
      next = std::move(pending_.front());
      pending_.pop_front();
    }
    next();
    return true;
  }
  // Also runs completions queued while it runs.
  void completeAll() {
    while (completeNext()) {
    }
  }
  size_t pendingCompletions() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }

  // The engine's side: calls the observer set now, on the calling thread.
  void emitIceState(IceConnectionState state) {
    notify([&](PeerConnectionObserver* o) { o->onIceConnectionState(state); });
  }
  void emitDtlsConnected() {
    notify([&](PeerConnectionObserver* o) { o->onDtlsConnected(); });
  }
  void emitLocalCandidate(const IceCandidate& candidate) {
    notify([&](PeerConnectionObserver* o) { o->onLocalCandidate(candidate); });
  }
  void emitDataChannel(std::shared_ptr<DataChannel> channel) {
    notify([&](PeerConnectionObserver* o) { o->onDataChannel(channel); });
  }
  void emitVideoTrack(std::shared_ptr<VideoTrack> track) {
    notify([&](PeerConnectionObserver* o) { o->onVideoTrack(track); });
  }

  // What the code under test did.
  std::shared_ptr<FakeCallLog> log() const { return log_; }
  std::vector<std::string> calls() const { return log_->entries(); }
  // Every candidate passed to addIceCandidate, in call order.
  std::vector<IceCandidate> addedCandidates() const {
    std::lock_guard lock(mutex_);
    return added_;
  }
  std::optional<std::pair<SdpType, std::string>> localDescription() const {
    std::lock_guard lock(mutex_);
    return local_;
  }
  std::optional<std::pair<SdpType, std::string>> remoteDescription() const {
    std::lock_guard lock(mutex_);
    return remote_;
  }
  std::shared_ptr<FakeVideoSource> videoSource() const {
    std::lock_guard lock(mutex_);
    return source_;
  }
  std::optional<VideoSendParameters> videoParameters() const {
    std::lock_guard lock(mutex_);
    return videoParameters_;
  }
  std::shared_ptr<FakeDataChannel> dataChannel() const {
    std::lock_guard lock(mutex_);
    return channel_;
  }
  std::optional<bool> dataChannelOrdered() const {
    std::lock_guard lock(mutex_);
    return channelOrdered_;
  }
  PeerConnectionObserver* observer() const {
    std::lock_guard lock(mutex_);
    return observer_;
  }
  PeerConfiguration configuration() const { return configuration_; }
  bool closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  bool released() const {
    std::lock_guard lock(mutex_);
    return released_;
  }
  void markReleased() { locked([&] { released_ = true; }); }

  // PeerConnection
  void createOffer(SdpDone done) override { sdpStep("createOffer", offerResult_, std::move(done)); }
  void createAnswer(SdpDone done) override { sdpStep("createAnswer", answerResult_, std::move(done)); }
  void setLocalDescription(SdpType type, const std::string& sdp, Done done) override {
    descriptionStep("setLocalDescription:", type, sdp, localResult_, &local_, std::move(done));
  }
  void setRemoteDescription(SdpType type, const std::string& sdp, Done done) override {
    descriptionStep("setRemoteDescription:", type, sdp, remoteResult_, &remote_, std::move(done));
  }
  bool hasRemoteDescription() const override {
    std::lock_guard lock(mutex_);
    return remote_.has_value();
  }
  void addIceCandidate(const IceCandidate& candidate, Done done) override {
    std::lock_guard lock(mutex_);
    log_->add("addIceCandidate:" + candidate.candidate);
    added_.push_back(candidate);
    Status result = candidateResult_ ? candidateResult_(candidate) : Status{};
    finish([done = std::move(done), result]() { done(result); });
  }
  std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) override {
    std::lock_guard lock(mutex_);
    log_->add("addVideoTrack");
    videoParameters_ = parameters;
    if (!options_.makesVideoTrack) return nullptr;
    source_ = std::make_shared<FakeVideoSource>();
    return source_;
  }
  std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) override {
    std::lock_guard lock(mutex_);
    log_->add("createDataChannel:" + label);
    channelOrdered_ = ordered;
    if (!options_.makesDataChannel) return nullptr;
    channel_ = std::make_shared<FakeDataChannel>(label);
    return channel_;
  }
  void getStats(std::function<void(std::vector<StatsEntry>)> done) override {
    std::lock_guard lock(mutex_);
    log_->add("getStats");
    finish([done = std::move(done), stats = stats_]() { done(stats); });
  }
  void setObserver(PeerConnectionObserver* observer) override {
    std::lock_guard lock(mutex_);
    log_->add(observer ? "setObserver" : "setObserver:null");
    observer_ = observer;
  }
  void close() override {
    std::lock_guard lock(mutex_);
    log_->add("close");
    closed_ = true;
  }

 private:
  static const char* typeName(SdpType type) { return type == SdpType::kOffer ? "offer" : "answer"; }

  template <typename F>
  void locked(F&& f) {
    std::lock_guard lock(mutex_);
    f();
  }
  template <typename F>
  void notify(F&& f) {
    std::lock_guard lock(mutex_);
    if (observer_) f(observer_);
  }
  // Runs a completion now, or queues it. Called with the mutex held.
  void finish(std::function<void()> completion) {
    if (options_.deferCompletions) {
      pending_.push_back(std::move(completion));
    } else {
      completion();
    }
  }
  void sdpStep(const char* name, const Expected<std::string>& result, SdpDone done) {
    std::lock_guard lock(mutex_);
    log_->add(name);
    finish([done = std::move(done), result]() { done(result); });
  }
  // The description counts as set once its completion succeeds, as in a real engine.
  void descriptionStep(const char* name, SdpType type, const std::string& sdp, const Status& result,
                       std::optional<std::pair<SdpType, std::string>>* slot, Done done) {
    std::lock_guard lock(mutex_);
    log_->add(std::string(name) + typeName(type));
    finish([this, done = std::move(done), result, slot, type, sdp]() {
      if (result) locked([&] { *slot = std::make_pair(type, sdp); });
      done(result);
    });
  }

  // Recursive: completions and observers may call back into the connection.
  mutable std::recursive_mutex mutex_;
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

  std::optional<std::pair<SdpType, std::string>> local_;
  std::optional<std::pair<SdpType, std::string>> remote_;
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
    explicit Handle(std::shared_ptr<FakePeerConnection> state) : state_(std::move(state)) {}
    ~Handle() override { state_->markReleased(); }
    void createOffer(SdpDone done) override { state_->createOffer(std::move(done)); }
    void createAnswer(SdpDone done) override { state_->createAnswer(std::move(done)); }
    void setLocalDescription(SdpType type, const std::string& sdp, Done done) override {
      state_->setLocalDescription(type, sdp, std::move(done));
    }
    void setRemoteDescription(SdpType type, const std::string& sdp, Done done) override {
      state_->setRemoteDescription(type, sdp, std::move(done));
    }
    bool hasRemoteDescription() const override { return state_->hasRemoteDescription(); }
    void addIceCandidate(const IceCandidate& candidate, Done done) override {
      state_->addIceCandidate(candidate, std::move(done));
    }
    std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) override {
      return state_->addVideoTrack(parameters);
    }
    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) override {
      return state_->createDataChannel(label, ordered);
    }
    void getStats(std::function<void(std::vector<StatsEntry>)> done) override {
      state_->getStats(std::move(done));
    }
    void setObserver(PeerConnectionObserver* observer) override { state_->setObserver(observer); }
    void close() override { state_->close(); }

   private:
    std::shared_ptr<FakePeerConnection> state_;
  };

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakePeerConnection>> connections_;
};

}  // namespace kx
