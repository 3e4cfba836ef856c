// An in-process real-time media engine for tests. Every call is recorded;
// completions run inside the call or wait until the test releases them; the
// test plays the engine's side by injecting ICE and channel states, local
// candidates, remote channels, remote video tracks and messages. Injected
// events reach the observer on the calling thread, as an engine thread would,
// and honour the engine contract: once setObserver(nullptr) returns, no call
// reaches the old observer. Only the video source is pushed from another thread.
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
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/peer_engine.h"
#include "runtime/error.h"
#include "support/test_frames.h"

namespace kx {

// A BGRA picture whose every byte is `fill`.
struct FakeFrameBuffer final : testing::TestFrame {
  FakeFrameBuffer(int width, int height, uint8_t fill = 0) : TestFrame(width, height, width * 4, {fill, fill, fill, fill}) {}
};

class FakeDataChannel final : public DataChannel {
 public:
  explicit FakeDataChannel(std::string label, DataChannelState state = DataChannelState::kConnecting)
      : label_(std::move(label)), state_(state) {}
  std::string label() const override { return label_; }
  DataChannelState state() const override { return state_; }
  uint64_t bufferedAmount() const override { return buffered_; }
  bool send(const uint8_t* data, size_t size) override {
    return acceptSends_ && (sent_.emplace_back(data, data + size), true);
  }
  void setObserver(DataChannelObserver* observer) override { observer_ = observer; }
  // Closing reports the closed state to the observer still set, as engines do.
  void close() override {
    ++closeCalls_;
    setState(DataChannelState::kClosed);
  }

  // The engine's side. Each notifies the observer on the calling thread.
  void setState(DataChannelState state) {
    if (std::exchange(state_, state) != state && observer_) observer_->onStateChange(state);
  }
  void deliver(const Bytes& bytes) {
    if (observer_) observer_->onMessage(bytes.data(), bytes.size(), /*binary=*/true);
  }
  void setBufferedAmount(uint64_t amount) { buffered_ = amount; }
  // When false, send() refuses (as an engine whose queue is broken does).
  void setAcceptSends(bool accept) { acceptSends_ = accept; }

  const std::vector<Bytes>& sent() const { return sent_; }
  int closeCalls() const { return closeCalls_; }
  DataChannelObserver* observer() const { return observer_; }

 private:
  const std::string label_;
  DataChannelState state_;
  uint64_t buffered_ = 0;
  bool acceptSends_ = true;
  DataChannelObserver* observer_ = nullptr;
  std::vector<Bytes> sent_;
  int closeCalls_ = 0;
};

// The client's outgoing source. Safe to push from a frame thread; read a
// consistent copy of what it was told with state().
class FakeVideoSource final : public VideoSource {
 public:
  using Format = std::tuple<int, int, int>;  // width, height, frames per second
  struct State {
    std::optional<Format> format;
    std::vector<int64_t> times;
    bool enabled = true;
    std::vector<std::pair<int, int>> rates;  // bitrate, frames per second
  };
  void configure(int width, int height, int framesPerSecond) override {
    locked([&] { state_.format = Format{width, height, framesPerSecond}; });
  }
  void push(std::shared_ptr<const FrameBuffer>, int64_t timeNs) override {
    locked([&] { state_.times.push_back(timeNs); });
  }
  void setEnabled(bool enabled) override { locked([&] { state_.enabled = enabled; }); }
  void setRate(int bitrate, int framesPerSecond) override { locked([&] { state_.rates.emplace_back(bitrate, framesPerSecond); }); }

  State state() const {
    std::lock_guard lock(mutex_);
    return state_;
  }
  std::optional<Format> format() const { return state().format; }

 private:
  template <typename F>
  void locked(F&& f) {
    std::lock_guard lock(mutex_);
    f();
  }

  mutable std::mutex mutex_;
  State state_;
};

// The connection state a test inspects and drives. The code under test owns a
// handle that works on it (FakePeerEngine::createPeerConnection), so the state
// outlives the code's unique_ptr.
//
// Calls are logged as "createOffer", "createAnswer", "setLocalDescription:offer",
// "setRemoteDescription:answer", "addIceCandidate:<line>", "addVideoTrack:<track id>",
// "createDataChannel:<label>", "getStats", "setObserver:null", "setObserver", "close".
class FakePeerConnection final {
 public:
  using Description = std::optional<std::pair<SdpType, std::string>>;
  FakePeerConnection(PeerConnectionObserver* observer, bool deferCompletions)
      : deferCompletions_(deferCompletions), observer_(observer) {}

  // Results of the next calls, fixed when the call is made.
  void setOfferResult(Expected<std::string> result) { offerResult_ = std::move(result); }
  void setLocalDescriptionResult(Status result) { localResult_ = std::move(result); }
  void setRemoteDescriptionResult(Status result) { remoteResult_ = std::move(result); }
  void setStats(std::vector<StatsEntry> stats) { stats_ = std::move(stats); }
  // Completions wait for completeNext()/completeAll() instead of running inside the call.
  void setDeferCompletions(bool defer) { deferCompletions_ = defer; }

  // Releases waiting completions, oldest first.
  bool completeNext() {
    if (pending_.empty()) return false;
    auto next = std::move(pending_.front());
    pending_.pop_front();
    next();
    return true;
  }
  // Also runs completions queued while it runs.
  void completeAll() { while (completeNext()) continue; }
  size_t pendingCompletions() const { return pending_.size(); }

  // The engine's side: calls the observer set now, on the calling thread.
  void emitIceState(IceConnectionState state) { if (observer_) observer_->onIceConnectionState(state); }
  void emitLocalCandidate(const IceCandidate& candidate) { if (observer_) observer_->onLocalCandidate(candidate); }
  void emitDataChannel(std::shared_ptr<DataChannel> channel) { if (observer_) observer_->onDataChannel(channel); }
  void emitVideoTrack(std::shared_ptr<VideoTrack> track) { if (observer_) observer_->onVideoTrack(track); }

  // What the code under test did.
  const std::vector<std::string>& calls() const { return calls_; }
  // Position of the first such call, or -1.
  int indexOf(std::string_view call) const {
    const auto it = std::ranges::find(calls_, call);
    return it == calls_.end() ? -1 : int(it - calls_.begin());
  }
  // Every candidate passed to addIceCandidate, in call order.
  const std::vector<IceCandidate>& addedCandidates() const { return added_; }
  const Description& localDescription() const { return local_; }
  const Description& remoteDescription() const { return remote_; }
  std::shared_ptr<FakeVideoSource> videoSource() const { return source_; }
  std::shared_ptr<FakeDataChannel> dataChannel() const { return channel_; }
  PeerConnectionObserver* observer() const { return observer_; }
  bool closed() const { return closed_; }

 private:
  friend class FakePeerEngine;

  // Logs the call, then runs its completion now or queues it.
  void step(const std::string& name, std::function<void()> completion) {
    calls_.push_back(name);
    if (deferCompletions_) {
      pending_.push_back(std::move(completion));
    } else {
      completion();
    }
  }
  // The description counts as set once its completion succeeds, as in a real engine.
  void describe(const char* name, SdpType type, const std::string& sdp, const Status& result, Description& slot,
                PeerConnection::Done done) {
    step(std::string(name) + (type == SdpType::kOffer ? "offer" : "answer"),
         [done = std::move(done), result, &slot, type, sdp] {
           if (result) slot = std::make_pair(type, sdp);
           done(result);
         });
  }

  bool deferCompletions_;
  PeerConnectionObserver* observer_;
  std::vector<std::string> calls_;
  std::deque<std::function<void()>> pending_;
  Expected<std::string> offerResult_ = std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=fake-offer\r\n");
  Expected<std::string> answerResult_ = std::string("v=0\r\no=- 2 1 IN IP4 127.0.0.1\r\ns=fake-answer\r\n");
  Status localResult_;
  Status remoteResult_;
  std::vector<StatsEntry> stats_;
  Description local_;
  Description remote_;
  std::vector<IceCandidate> added_;
  std::shared_ptr<FakeVideoSource> source_;
  std::shared_ptr<FakeDataChannel> channel_;
  bool closed_ = false;
};

class FakePeerEngine final : public PeerEngine {
 public:
  struct Options {
    bool deferCompletions = false;  // given to each new connection
  } options;

  std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration&,
                                                       PeerConnectionObserver* observer) override {
    connections_.push_back(std::make_shared<FakePeerConnection>(observer, options.deferCompletions));
    return std::make_unique<Handle>(connections_.back());
  }
  // The newest connection (null when none was made).
  std::shared_ptr<FakePeerConnection> last() const { return connections_.empty() ? nullptr : connections_.back(); }
  const std::vector<std::shared_ptr<FakePeerConnection>>& connections() const { return connections_; }

 private:
  // What the code under test owns: records into the shared state.
  class Handle final : public PeerConnection {
   public:
    explicit Handle(std::shared_ptr<FakePeerConnection> state) : s_(std::move(state)) {}
    void createOffer(SdpDone done) override { s_->step("createOffer", [done, r = s_->offerResult_] { done(r); }); }
    void createAnswer(SdpDone done) override { s_->step("createAnswer", [done, r = s_->answerResult_] { done(r); }); }
    void setLocalDescription(SdpType type, const std::string& sdp, Done done) override {
      s_->describe("setLocalDescription:", type, sdp, s_->localResult_, s_->local_, std::move(done));
    }
    void setRemoteDescription(SdpType type, const std::string& sdp, Done done) override {
      s_->describe("setRemoteDescription:", type, sdp, s_->remoteResult_, s_->remote_, std::move(done));
    }
    bool hasRemoteDescription() const override { return s_->remote_.has_value(); }
    void addIceCandidate(const IceCandidate& candidate, Done done) override {
      s_->added_.push_back(candidate);
      s_->step("addIceCandidate:" + candidate.candidate, [done = std::move(done)] { done(Status{}); });
    }
    std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) override {
      s_->calls_.push_back("addVideoTrack:" + parameters.trackId);
      return s_->source_ = std::make_shared<FakeVideoSource>();
    }
    std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool) override {
      s_->calls_.push_back("createDataChannel:" + label);
      return s_->channel_ = std::make_shared<FakeDataChannel>(label);
    }
    void getStats(std::function<void(std::vector<StatsEntry>)> done) override {
      s_->step("getStats", [done = std::move(done), stats = s_->stats_] { done(stats); });
    }
    void setObserver(PeerConnectionObserver* observer) override {
      s_->calls_.push_back(observer ? "setObserver" : "setObserver:null");
      s_->observer_ = observer;
    }
    void close() override {
      s_->calls_.push_back("close");
      s_->closed_ = true;
    }

   private:
    std::shared_ptr<FakePeerConnection> s_;
  };

  std::vector<std::shared_ptr<FakePeerConnection>> connections_;
};

}  // namespace kx
