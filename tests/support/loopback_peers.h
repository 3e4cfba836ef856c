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
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/peer_engine.h"
#include "runtime/basic_loop.h"

namespace kx::testing {

class LoopbackSide final : public PeerConnectionObserver, public DataChannelObserver, public VideoRenderer {
 public:
  explicit LoopbackSide(RunLoop& loop) : loop_(loop) {}
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
  std::optional<IceConnectionState> iceState;
  std::optional<DataChannelState> channelState;
  std::vector<Bytes> messages;
  bool observeRemoteChannelsAtOnce = true;
  // Observer calls made while `expectSilence` holds; from any thread.
  std::atomic<int> callbacksAfterClose{0};
  std::atomic<bool> expectSilence{false};
  // Optional hook on the streaming thread (benchmarks read counters there).
  std::function<void(const FrameBuffer&)> onFrameHook;
  // When set, received messages go here (on the loop thread) instead of `messages`.
  std::function<void(const Bytes&)> messageHandler;

  // Frames, from the streaming thread.
  std::shared_ptr<const FrameBuffer> lastFrame() {
    std::lock_guard lock(frameMutex_);
    return lastFrame_;
  }
  bool connected() const {
    return iceState == IceConnectionState::kConnected || iceState == IceConnectionState::kCompleted;
  }
  bool channelOpen() const { return channel && channelState == DataChannelState::kOpen; }

  // PeerConnectionObserver and DataChannelObserver (engine threads).
  void onIceConnectionState(IceConnectionState state) override {
    post([this, state] { iceState = state; });
  }
  void onLocalCandidate(const IceCandidate& candidate) override {
    post([this, candidate] {
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
  void onStateChange(DataChannelState state) override {
    post([this, state] { channelState = state; });
  }
  void onMessage(const uint8_t* data, size_t size, bool) override {
    post([this, bytes = Bytes(data, data + size)] { messageHandler ? messageHandler(bytes) : messages.push_back(bytes); });
  }

  // VideoRenderer (streaming thread).
  void onFrame(std::shared_ptr<const FrameBuffer> frame) override {
    if (onFrameHook) onFrameHook(*frame);
    std::lock_guard lock(frameMutex_);
    lastFrame_ = frame;
  }

 private:
  void post(std::function<void()> fn) {
    if (expectSilence) ++callbacksAfterClose;
    loop_.post([alive = std::weak_ptr<bool>(alive_), fn = std::move(fn)] {
      if (alive.lock()) fn();
    });
  }

  RunLoop& loop_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
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
      client.source->configure(width, height, 30);
    }
    client.channel = client.connection->createDataChannel("kestrelix-input", true);
    client.channel->setObserver(&client);
    // Each side sets its own description and then the other's.
    auto exchange = [&](LoopbackSide& local, LoopbackSide& remote, SdpType type) -> Status {
      auto sdp = await<Expected<std::string>>([&](auto done) {
        type == SdpType::kOffer ? local.connection->createOffer(done) : local.connection->createAnswer(done);
      });
      if (!sdp) return sdp.error();
      Status set = await<Status>([&](auto done) { local.connection->setLocalDescription(type, *sdp, done); });
      return set ? await<Status>([&](auto done) { remote.connection->setRemoteDescription(type, *sdp, done); }) : set;
    };
    Status offered = exchange(client, technician, SdpType::kOffer);
    Status answered = offered ? exchange(technician, client, SdpType::kAnswer) : offered;
    return answered ? std::nullopt : std::optional(answered.error());
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
    if (result->has_value()) return std::move(**result);
    if constexpr (std::is_constructible_v<T, Error>) {
      return T(makeError("test", 1, "timed out"));
    } else {
      return T{};
    }
  }

 private:
  RunLoop& loop_;

 public:
  LoopbackSide client;
  LoopbackSide technician;
};

}  // namespace kx::testing
