#include "console/admin_peer.h"

#include <utility>
#include <variant>

namespace kx {

namespace {

// Failures and losses all end the session for the technician: one word for them.
const char* iceStateText(IceConnectionState state) {
  switch (state) {
    case IceConnectionState::kConnected:
    case IceConnectionState::kCompleted:
      return "connected";
    case IceConnectionState::kFailed:
    case IceConnectionState::kDisconnected:
    case IceConnectionState::kClosed:
      return "closed";
    case IceConnectionState::kNew:
    case IceConnectionState::kChecking:
      break;
  }
  return "connecting";
}

bool hasText(const StatsEntry& entry, const std::string& key, const std::string& value) {
  auto it = entry.find(key);
  if (it == entry.end()) return false;
  const auto* text = std::get_if<std::string>(&it->second);
  return text && *text == value;
}

}  // namespace

AdminPeer::AdminPeer(EventLoop& loop, PeerEngine& engine, VideoRenderer* renderer, PeerSignalCallback signal,
                     PeerReceiveCallback receive, PeerStateCallback state)
    : loop_(loop),
      renderer_(renderer),
      signal_(std::move(signal)),
      receive_(std::move(receive)),
      state_(std::move(state)),
      link_(loop, engine,
            PeerLink::Handlers{
                .iceState = [this](IceConnectionState s) { onIceState(s); },
                .localCandidate =
                    [this](const IceCandidate& c) {
                      auto signal = signal_;  // the callback may destroy the peer
                      if (signal) signal(localCandidateSignal(c));
                    },
                .dataChannel = [this](std::shared_ptr<DataChannel> c) { onDataChannel(std::move(c)); },
                .videoTrack = [this](std::shared_ptr<VideoTrack> t) { onVideoTrack(std::move(t)); },
                .step = [this](std::string_view name) { step(name); },
            },
            makeError("Invalid candidate", 1)) {}

AdminPeer::~AdminPeer() { close(); }

Task<Status> AdminPeer::accept(Json message) {
  const std::string* type = jsonString(message, "type");
  if (!type) co_return Status{};

  if (*type == "offer") {
    const std::string* sdp = jsonString(message, "sdp");
    if (!sdp) co_return Status{};
    if (link_.hasRemoteDescription()) co_return Status{};  // a repeated offer
    if (!sdpWithinLimit(*sdp)) co_return makeError("Invalid offer", 1);
    step("offer received");
    // After each wait `this` is used only on success: a closed or destroyed
    // peer makes the link step fail first.
    Task<Status> apply = link_.applyRemoteDescription(SdpType::kOffer, *sdp);
    Status applied = co_await std::move(apply);
    if (!applied) co_return applied;
    Task<Expected<std::string>> create = link_.createLocalDescription(SdpType::kAnswer, makeError("Answer failed", 1));
    Expected<std::string> answer = co_await std::move(create);
    if (!answer) co_return std::move(answer).error();
    step("answer made");
    auto signal = signal_;
    if (signal) signal(Json{{"type", "answer"}, {"sdp", *answer}});
    co_return Status{};
  }

  if (*type == "candidate") {
    auto candidate = readRemoteCandidate(message, makeError("Invalid candidate", 1));
    if (!candidate) co_return Status{};
    if (!*candidate) co_return std::move(*candidate).error();
    Task<Status> add = link_.addRemoteCandidate(std::move(candidate->value()));
    co_return co_await std::move(add);
  }

  co_return Status{};
}

bool AdminPeer::send(const Bytes& bytes) { return channel_ && channel_->send(bytes); }

void AdminPeer::statistics(std::function<void(const StatsEntry&)> handler) {
  link_.getStats([handler = std::move(handler)](std::vector<StatsEntry> entries) {
    for (const StatsEntry& entry : entries) {
      if (hasText(entry, "type", "inbound-rtp") && hasText(entry, "kind", "video")) handler(entry);
    }
  });
}

void AdminPeer::close() {
  if (link_.closed()) return;
  if (video_) {
    video_->removeRenderer(&tap_);
    video_.reset();
  }
  if (channel_) {
    channel_->close();
    channel_.reset();
  }
  link_.close();
}

void AdminPeer::onIceState(IceConnectionState state) { report(iceStateText(state)); }

void AdminPeer::onDataChannel(std::shared_ptr<DataChannel> channel) {
  if (!channel) return;
  if (channel->label() != kInputChannelLabel) {
    channel->close();
    return;
  }
  step("data channel open");
  // A replaced channel is only detached: its events no longer reach us.
  channel_ = std::make_unique<ChannelLink>(
      loop_, std::move(channel),
      ChannelLink::Handlers{
          .state =
              [this](DataChannelState s) {
                if (s == DataChannelState::kClosed) report("closed");
              },
          .message =
              [this](const Bytes& bytes) {
                auto receive = receive_;  // the callback may destroy the peer
                if (receive) receive(bytes);
              },
      });
}

void AdminPeer::onVideoTrack(std::shared_ptr<VideoTrack> track) {
  if (!track) return;
  // Detach first, so frames of only one track are ever drawn.
  if (video_) video_->removeRenderer(&tap_);
  video_ = std::move(track);
  video_->addRenderer(&tap_);
}

void AdminPeer::FirstFrameTap::onFrame(std::shared_ptr<const FrameBuffer> frame) {
  if (peer_.renderer_) peer_.renderer_->onFrame(std::move(frame));
  if (seen_.exchange(true)) return;
  peer_.loop_.post([&peer = peer_, alive = std::weak_ptr<bool>(peer_.alive_)] {
    if (alive.lock() && !peer.link_.closed()) peer.step("first frame decoded");
  });
}

void AdminPeer::step(std::string_view name) {
  if (step_) step_(name);
}

void AdminPeer::report(const std::string& text) {
  auto state = state_;  // the callback may destroy the peer
  if (state) state(text);
}

}  // namespace kx
