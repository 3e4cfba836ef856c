#include "media/realtime_peer.h"

#include <utility>
#include <variant>

namespace kx {

namespace {

constexpr int kFramesPerSecond = 30;

// How often the latest receiver report is read (reports come every half second).
constexpr double kRateSeconds = 0.5;

Error invalidAnswer() { return makeError("Invalid WebRTC answer", 1); }
Error invalidCandidate() { return makeError("Invalid WebRTC candidate", 1); }

const char* iceStateText(IceConnectionState state) {
  switch (state) {
    case IceConnectionState::kConnected:
    case IceConnectionState::kCompleted:
      return "connected";
    case IceConnectionState::kFailed:
      return "failed";
    case IceConnectionState::kDisconnected:
      return "disconnected";
    case IceConnectionState::kClosed:
      return "closed";
    case IceConnectionState::kNew:
    case IceConnectionState::kChecking:
      break;
  }
  return "connecting";
}

}  // namespace

RealtimePeer::RealtimePeer(EventLoop& loop, PeerEngine& engine, PeerSignalCallback signal,
                           PeerReceiveCallback receive, PeerStateCallback state)
    : loop_(loop),
      signal_(std::move(signal)),
      receive_(std::move(receive)),
      state_(std::move(state)),
      link_(loop, engine,
            PeerLink::Handlers{
                .iceState = [this](IceConnectionState s) { onIceState(s); },
                .localCandidate = [this](const IceCandidate& c) { emit(localCandidateSignal(c)); },
                .dataChannel = {},  // the client opens its own channel
                .videoTrack = {},
                .step = [this](std::string_view name) { step(name); },
            },
            invalidCandidate()),
      rate_(VideoSendParameters{}.maxBitrate, VideoSendParameters{}.maxFramerate) {
  PeerConnection* connection = link_.connection();
  if (!connection) return;
  source_ = connection->addVideoTrack(VideoSendParameters{});
  if (source_) {
    applied_ = rate_.target();
    source_->setRate(applied_.bitrate, applied_.framesPerSecond);
    rateTimer_ = startRepeating(loop, kRateSeconds, [this] { adjustRate(); });
  }
  if (auto channel = connection->createDataChannel(kInputChannelLabel, /*ordered=*/true)) {
    channel_ = std::make_unique<ChannelLink>(
        loop, std::move(channel),
        ChannelLink::Handlers{
            .state = [this](DataChannelState s) { onChannelState(s); },
            .message =
                [this](const Bytes& bytes) {
                  auto receive = receive_;  // the callback may destroy the peer
                  if (receive) receive(bytes);
                },
        });
  }
}

RealtimePeer::~RealtimePeer() { close(); }

void RealtimePeer::configure(int width, int height) {
  if (source_) source_->configure(width, height, kFramesPerSecond);
}

void RealtimePeer::push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) {
  std::lock_guard lock(frameLock_);
  if (closed_ || !source_ || !frame) return;
  source_->push(std::move(frame), timeNs);
  if (frameCount_++ == 0) {
    loop_.post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.lock() && !link_.closed()) step("first frame captured");
    });
  }
}

int64_t RealtimePeer::framesSubmitted() const {
  std::lock_guard lock(frameLock_);
  return frameCount_;
}

Task<Status> RealtimePeer::offer() {
  // After a wait `this` is used only on success: a closed or destroyed peer
  // makes the link step fail first.
  Task<Expected<std::string>> create = link_.createLocalDescription(SdpType::kOffer, makeError("WebRTC offer", 1));
  Expected<std::string> sdp = co_await std::move(create);
  if (!sdp) co_return std::move(sdp).error();
  step("offer made");
  emit(Json{{"type", "offer"}, {"sdp", *sdp}});
  co_return Status{};
}

Task<Status> RealtimePeer::accept(Json message) {
  const std::string* type = jsonString(message, "type");
  if (!type) co_return Status{};

  if (*type == "answer") {
    const std::string* sdp = jsonString(message, "sdp");
    if (!sdp) co_return Status{};
    if (!sdpWithinLimit(*sdp)) co_return invalidAnswer();
    if (link_.hasRemoteDescription()) co_return Status{};  // a repeated answer
    // An answer that turns the video down would leave a session without a picture.
    if (!answerAcceptsVideo(link_.localMedia(), readSdpMedia(*sdp))) co_return invalidAnswer();
    Task<Status> apply = link_.applyRemoteDescription(SdpType::kAnswer, *sdp);
    Status applied = co_await std::move(apply);
    if (applied) step("answer applied");
    co_return applied;
  }

  if (*type == "candidate") {
    auto candidate = readRemoteCandidate(message, invalidCandidate());
    if (!candidate) co_return Status{};
    if (!*candidate) co_return std::move(*candidate).error();
    Task<Status> add = link_.addRemoteCandidate(std::move(candidate->value()));
    co_return co_await std::move(add);
  }

  co_return Status{};
}

void RealtimePeer::send(const Bytes& bytes) {
  if (channel_) channel_->send(bytes);
}

void RealtimePeer::close() {
  if (link_.closed()) return;
  rateTimer_.cancel();
  {
    std::lock_guard lock(frameLock_);
    closed_ = true;
    if (source_) source_->setEnabled(false);
  }
  if (channel_) {
    channel_->close();
    channel_.reset();
  }
  link_.close();
}

void RealtimePeer::onIceState(IceConnectionState state) { report(iceStateText(state)); }

void RealtimePeer::adjustRate() {
  const double now = ++rateTicks_ * kRateSeconds;
  link_.getStats([this, now](std::vector<StatsEntry> entries) {
    for (const StatsEntry& entry : entries) {
      auto type = entry.find("type");
      auto rtt = entry.find("round-trip-time");
      auto loss = entry.find("fraction-lost");
      if (type == entry.end() || std::get_if<std::string>(&type->second) == nullptr ||
          std::get<std::string>(type->second) != "remote-inbound-rtp" || rtt == entry.end()) {
        continue;
      }
      LinkReport report;
      if (const double* value = std::get_if<double>(&rtt->second)) report.roundTripSeconds = *value;
      if (loss != entry.end()) {
        if (const double* value = std::get_if<double>(&loss->second)) report.lossFraction = *value;
      }
      // The same report read twice says nothing new.
      if (lastReport_ && lastReport_->roundTripSeconds == report.roundTripSeconds &&
          lastReport_->lossFraction == report.lossFraction) {
        return;
      }
      lastReport_ = report;
      const VideoTarget target = rate_.update(report, now);
      if (target != applied_ && source_) {
        applied_ = target;
        source_->setRate(target.bitrate, target.framesPerSecond);
      }
      return;
    }
  });
}

void RealtimePeer::onChannelState(DataChannelState state) {
  if (state == DataChannelState::kOpen) {
    step("data channel open");
    report("connected");
  } else if (state == DataChannelState::kClosed) {
    report("closed");
  }
}

void RealtimePeer::report(const std::string& text) {
  auto state = state_;  // the callback may destroy the peer
  if (state) state(text);
}

void RealtimePeer::step(std::string_view name) {
  if (step_) step_(name);
}

void RealtimePeer::emit(const Json& message) {
  auto signal = signal_;  // the callback may destroy the peer
  if (signal) signal(message);
}

}  // namespace kx
