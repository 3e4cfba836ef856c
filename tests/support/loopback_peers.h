// Two real peer connections of one engine in one process, wired to each
// other through a RunLoop the way the two roles wire theirs through the
// service: the client offers with a video track and the "kestrelix-input"
// channel, the technician answers, candidates trickle both ways.
//
// Engine callbacks only post to the loop; everything the test reads is
// touched on the loop thread (the test's own), except the last frame, which
// the renderer updates on the engine's streaming thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <string>
#include <vector>

#include "protocol/peer_engine.h"
#include "runtime/basic_loop.h"

namespace kx::testing {

class LoopbackSide final : public PeerConnectionObserver, public DataChannelObserver, public VideoRenderer {
 public:
  explicit LoopbackSide(RunLoop& loop) : loop_(loop), alive_(std::make_shared<bool>(true)) {}
  ~LoopbackSide() override {
    if (track) track->removeRenderer(this);
    if (channel) channel->setObserver(nullptr);
    if (connection) connection->close();
  }

  // Loop-thread state.
  std::unique_ptr<PeerConnection> connection;
  std::shared_ptr<DataChannel> channel;
  std::shared_ptr<VideoTrack> track;
  std::shared_ptr<VideoSource> source;
  LoopbackSide* remote = nullptr;
  std::vector<IceConnectionState> iceStates;
  std::vector<DataChannelState> channelStates;
  std::vector<Bytes> messages;
  int candidatesSent = 0;
  bool observeRemoteChannelsAtOnce = true;
  // Any observer call after `closedAt` was armed; may be set from any thread.
  std::atomic<int> callbacksAfterClose{0};
  std::atomic<bool> expectSilence{false};

  // Frames, from the streaming thread.
  std::shared_ptr<const FrameBuffer> lastFrame() {
    std::lock_guard lock(frameMutex_);
    return lastFrame_;
  }
  // Optional hook on the streaming thread (benchmarks read counters there).
  std::function<void(const FrameBuffer&)> onFrameHook;
  // When set, received messages go here (on the loop thread) instead of `messages`.
  std::function<void(const Bytes&)> messageHandler;

  bool connected() const {
    return !iceStates.empty() &&
           (iceStates.back() == IceConnectionState::kConnected || iceStates.back() == IceConnectionState::kCompleted);
  }
  bool channelOpen() const { return channel && !channelStates.empty() && channelStates.back() == DataChannelState::kOpen; }

  // PeerConnectionObserver (engine threads).
  void onIceConnectionState(IceConnectionState state) override {
    post([this, state] { iceStates.push_back(state); });
  }
  void onLocalCandidate(const IceCandidate& candidate) override {
    post([this, candidate] {
      ++candidatesSent;
      if (remote && remote->connection) remote->connection->addIceCandidate(candidate, [](Status) {});
    });
  }
  void onDataChannel(std::shared_ptr<DataChannel> incoming) override {
    // Observed at once, as a peer would do before hopping to its loop.
    if (observeRemoteChannelsAtOnce) incoming->setObserver(this);
    post([this, incoming] { channel = incoming; });
  }
  void onVideoTrack(std::shared_ptr<VideoTrack> incoming) override {
    incoming->addRenderer(this);
    post([this, incoming] { track = incoming; });
  }

  // DataChannelObserver (engine threads).
  void onStateChange(DataChannelState state) override {
    post([this, state] { channelStates.push_back(state); });
  }
  void onMessage(const uint8_t* data, size_t size, bool) override {
    Bytes bytes(data, data + size);
    post([this, bytes = std::move(bytes)] { messageHandler ? messageHandler(bytes) : messages.push_back(bytes); });
  }

  // VideoRenderer (streaming thread).
  void onFrame(std::shared_ptr<const FrameBuffer> frame) override {
    if (onFrameHook) onFrameHook(*frame);
    std::lock_guard lock(frameMutex_);
    lastFrame_ = frame;
  }

 private:
  // Every observer call lands here (and counts when silence is expected).
  void post(std::function<void()> fn) {
    if (expectSilence) ++callbacksAfterClose;
    std::weak_ptr<bool> alive = alive_;
    loop_.post([alive, fn = std::move(fn)] {
      if (alive.lock()) fn();
    });
  }

  RunLoop& loop_;
  std::shared_ptr<bool> alive_;
  std::mutex frameMutex_;
  std::shared_ptr<const FrameBuffer> lastFrame_;
};

// client (offerer) and technician (answerer).
class LoopbackPeers {
 public:
  LoopbackPeers(PeerEngine& engine, RunLoop& loop) : loop_(loop), client(loop), technician(loop) {
    client.remote = &technician;
    technician.remote = &client;
    client.connection = engine.createPeerConnection(PeerConfiguration{}, &client);
    technician.connection = engine.createPeerConnection(PeerConfiguration{}, &technician);
  }

  bool created() const { return client.connection && technician.connection; }

  // Offer/answer with the client's track (when `video`) and channel; returns
  // the first error, or nothing once both descriptions are set on both sides.
  std::optional<Error> negotiate(bool video, int width = 1440, int height = 900) {
    if (video) {
      client.source = client.connection->addVideoTrack(VideoSendParameters{});
      if (!client.source) return makeError("test", 1, "no video source");
      client.source->configure(width, height, 30);
    }
    client.channel = client.connection->createDataChannel("kestrelix-input", true);
    if (!client.channel) return makeError("test", 1, "no data channel");
    client.channel->setObserver(&client);

    // Each side sets its own description and then the other's.
    auto apply = [&](LoopbackSide& local, LoopbackSide& remote, SdpType type, const std::string& sdp) {
      Status set = await<Status>([&](auto done) { local.connection->setLocalDescription(type, sdp, done); });
      return set ? await<Status>([&](auto done) { remote.connection->setRemoteDescription(type, sdp, done); }) : set;
    };
    auto offer = await<Expected<std::string>>([&](auto done) { client.connection->createOffer(done); });
    if (!offer) return offer.error();
    if (Status s = apply(client, technician, SdpType::kOffer, *offer); !s) return s.error();
    auto answer = await<Expected<std::string>>([&](auto done) { technician.connection->createAnswer(done); });
    if (!answer) return answer.error();
    if (Status s = apply(technician, client, SdpType::kAnswer, *answer); !s) return s.error();
    return std::nullopt;
  }

  bool waitUntil(const std::function<bool()>& done, double seconds) { return loop_.runUntil(done, seconds); }
  bool waitConnected(double seconds = 10) {
    return waitUntil([&] { return client.connected() && technician.connected() && client.channelOpen() &&
                                  technician.channel; },
                     seconds);
  }

  // Runs the loop until the engine completes `start`'s callback (posted back here).
  template <typename T, typename Start>
  T await(Start start, double seconds = 15) {
    auto result = std::make_shared<std::optional<T>>();
    start([this, result](T value) {
      loop_.post([result, value = std::move(value)]() mutable { result->emplace(std::move(value)); });
    });
    loop_.runUntil([&] { return result->has_value(); }, seconds);
    if (!result->has_value()) {
      if constexpr (std::is_constructible_v<T, Error>) {
        return T(makeError("test", 1, "timed out"));
      } else {
        return T{};
      }
    }
    return std::move(**result);
  }

 private:
  RunLoop& loop_;

 public:
  LoopbackSide client;
  LoopbackSide technician;
};

}  // namespace kx::testing
