#include "media/peer_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>
#include <utility>

namespace kx {

namespace {

// Awaits an engine step whose completion may arrive on any thread: the
// completion is posted, so the awaiting task resumes on the loop thread.
// Awaiters and tasks are named before co_await throughout: g++ 12 mishandles
// non-trivial temporaries inside a co_await expression (double destruction).
template <typename T, typename Start>
auto onLoop(EventLoop& loop, Start start) {
  return awaitCallback<T>([&loop, start = std::move(start)](std::function<void(T)> resume) mutable {
    start([&loop, resume = std::move(resume)](T result) {
      loop.post([resume, result = std::move(result)]() mutable { resume(std::move(result)); });
    });
  });
}

// The words of `text` separated by single spaces.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::optional<int64_t> number(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::vector<SdpMedia> readSdpMedia(const std::string& sdp) {
  std::vector<SdpMedia> media;
  std::vector<std::string_view> payloads;  // of the current m-line
  std::string_view rest = sdp;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (startsWith(line, "m=")) {
      const auto fields = words(line.substr(2));
      SdpMedia m;
      if (!fields.empty()) m.kind = std::string(fields[0]);
      // "9/2" would be a port count: only the port matters here.
      if (fields.size() > 1) m.port = number(fields[1].substr(0, fields[1].find('/'))).value_or(-1);
      payloads.assign(fields.begin() + std::min<size_t>(3, fields.size()), fields.end());
      media.push_back(std::move(m));
    } else if (media.empty()) {
      continue;  // session-level lines
    } else if (startsWith(line, "a=mid:")) {
      media.back().mid = std::string(line.substr(6));
    } else if (startsWith(line, "a=rtpmap:")) {
      const auto fields = words(line.substr(9));
      if (fields.size() < 2) continue;
      if (std::find(payloads.begin(), payloads.end(), fields[0]) == payloads.end()) continue;
      media.back().encodings.push_back(upper(fields[1].substr(0, fields[1].find('/'))));
    }
  }
  return media;
}

bool answerAcceptsVideo(const std::vector<SdpMedia>& offer, const std::vector<SdpMedia>& answer) {
  for (size_t i = 0; i < offer.size(); ++i) {
    if (offer[i].kind != "video") continue;
    if (i >= answer.size()) return false;
    const SdpMedia& m = answer[i];
    if (m.kind != "video" || m.port <= 0) return false;
    if (std::find(m.encodings.begin(), m.encodings.end(), "H264") == m.encodings.end()) return false;
  }
  return true;
}

bool sdpWithinLimit(const std::string& sdp) { return sdp.size() <= kMaxSdpBytes; }

bool acceptsIncomingMessage(size_t size, bool binary) { return binary && size <= kMaxIncomingMessageBytes; }

std::optional<Expected<IceCandidate>> readRemoteCandidate(const Json& message, const Error& invalid) {
  const Json* object = jsonObject(message, "candidate");
  if (!object) return std::nullopt;
  const std::string* line = jsonString(*object, "candidate");
  if (!line) return std::nullopt;

  int64_t index = 0;
  if (auto it = object->find("sdpMLineIndex"); it != object->end() && it->is_number_integer()) {
    // An integer too large for int64 is still an integer out of range, not "absent".
    auto value = jsonInt(*object, "sdpMLineIndex");
    if (!value) return Expected<IceCandidate>(invalid);
    index = *value;
  }
  if (index < 0 || index > kMaxMLineIndex) return Expected<IceCandidate>(invalid);
  if (line->size() > kMaxCandidateBytes) return Expected<IceCandidate>(invalid);

  IceCandidate candidate;
  candidate.candidate = *line;
  candidate.sdpMLineIndex = static_cast<int>(index);
  if (const std::string* mid = jsonString(*object, "sdpMid")) candidate.sdpMid = *mid;
  return Expected<IceCandidate>(std::move(candidate));
}

Json localCandidateSignal(const IceCandidate& candidate) {
  return Json{{"type", "candidate"},
              {"candidate",
               {{"candidate", candidate.candidate},
                {"sdpMid", candidate.sdpMid.value_or("0")},
                {"sdpMLineIndex", candidate.sdpMLineIndex}}}};
}

Error connectionClosedError() {
  return makeError("WebRTC connection", 1, "The real-time connection is closed.");
}

Error noConnectionError() {
  return makeError("WebRTC connection", 1, "The real-time connection could not be created.");
}

// PeerLink

PeerLink::PeerLink(EventLoop& loop, PeerEngine& engine, Handlers handlers, Error invalidCandidate)
    : loop_(loop), handlers_(std::move(handlers)), invalidCandidate_(std::move(invalidCandidate)) {
  connection_ = engine.createPeerConnection(PeerConfiguration{}, this);
}

PeerLink::~PeerLink() { close(); }

bool PeerLink::closed() const { return life_->closed; }

bool PeerLink::hasRemoteDescription() const {
  return connection_ && !life_->closed && connection_->hasRemoteDescription();
}

Status PeerLink::usable() const {
  if (life_->closed) return connectionClosedError();
  if (!connection_) return noConnectionError();
  return {};
}

Task<Expected<std::string>> PeerLink::createLocalDescription(SdpType type, Error noDescription) {
  // Only `life` is read after a wait until it shows the link is still there.
  auto life = life_;
  if (Status ready = usable(); !ready) co_return std::move(ready).error();
  PeerConnection* connection = connection_.get();

  auto create = onLoop<Expected<std::string>>(loop_, [connection, type](PeerConnection::SdpDone done) {
    if (type == SdpType::kOffer) {
      connection->createOffer(std::move(done));
    } else {
      connection->createAnswer(std::move(done));
    }
  });
  Expected<std::string> sdp = co_await create;
  if (life->closed) co_return connectionClosedError();
  if (!sdp) co_return std::move(sdp);
  if (sdp->empty()) co_return noDescription;

  const std::string& text = *sdp;
  // Known before the engine starts gathering, so every local candidate finds its m-line.
  local_ = readSdpMedia(text);
  auto setLocal = onLoop<Status>(loop_, [connection, type, &text](PeerConnection::Done done) {
    connection->setLocalDescription(type, text, std::move(done));
  });
  Status set = co_await setLocal;
  if (life->closed) co_return connectionClosedError();
  if (!set) {
    local_.clear();
    co_return std::move(set).error();
  }
  co_return std::move(sdp);
}

Task<Status> PeerLink::applyRemoteDescription(SdpType type, std::string sdp) {
  auto life = life_;
  if (Status ready = usable(); !ready) co_return ready;
  PeerConnection* connection = connection_.get();

  auto setRemote = onLoop<Status>(loop_, [connection, type, &sdp](PeerConnection::Done done) {
    connection->setRemoteDescription(type, sdp, std::move(done));
  });
  Status set = co_await setRemote;
  if (life->closed) co_return connectionClosedError();
  if (!set) co_return set;
  remote_ = readSdpMedia(sdp);

  std::vector<IceCandidate> held = std::exchange(early_, {});
  for (IceCandidate& candidate : held) {
    Task<Status> adding = add(std::move(candidate));
    Status added = co_await std::move(adding);
    if (life->closed) co_return connectionClosedError();
    if (!added) co_return added;
  }
  co_return Status{};
}

Expected<IceCandidate> PeerLink::resolve(IceCandidate candidate) const {
  // A description whose m-lines cannot be read leaves the choice to the engine.
  if (remote_.empty()) return candidate;
  if (candidate.sdpMid) {
    for (size_t i = 0; i < remote_.size(); ++i) {
      if (remote_[i].mid == candidate.sdpMid) {
        candidate.sdpMLineIndex = static_cast<int>(i);
        return candidate;
      }
    }
  }
  if (candidate.sdpMLineIndex < 0 || static_cast<size_t>(candidate.sdpMLineIndex) >= remote_.size()) {
    return invalidCandidate_;
  }
  candidate.sdpMid = remote_[static_cast<size_t>(candidate.sdpMLineIndex)].mid;
  return candidate;
}

Task<Status> PeerLink::add(IceCandidate candidate) {
  auto life = life_;
  step("first remote candidate");
  Expected<IceCandidate> resolved = resolve(std::move(candidate));
  if (!resolved) co_return std::move(resolved).error();
  PeerConnection* connection = connection_.get();
  const IceCandidate& line = *resolved;
  auto added = onLoop<Status>(loop_, [connection, &line](PeerConnection::Done done) {
    connection->addIceCandidate(line, std::move(done));
  });
  Status result = co_await added;
  if (life->closed) co_return connectionClosedError();
  co_return result;
}

Task<Status> PeerLink::addRemoteCandidate(IceCandidate candidate) {
  auto life = life_;
  if (Status ready = usable(); !ready) co_return ready;
  PeerConnection* connection = connection_.get();

  if (!connection->hasRemoteDescription()) {
    if (early_.size() < kMaxEarlyCandidates) early_.push_back(std::move(candidate));
    co_return Status{};
  }
  Task<Status> adding = add(std::move(candidate));
  Status added = co_await std::move(adding);
  if (life->closed) co_return connectionClosedError();
  co_return added;
}

void PeerLink::getStats(std::function<void(std::vector<StatsEntry>)> done) {
  if (!usable()) return;
  connection_->getStats([&loop = loop_, life = life_, done = std::move(done)](std::vector<StatsEntry> entries) {
    loop.post([life, done, entries = std::move(entries)]() mutable {
      if (!life->closed) done(std::move(entries));
    });
  });
}

void PeerLink::close() {
  if (life_->closed) return;
  life_->closed = true;
  early_.clear();
  if (connection_) {
    connection_->setObserver(nullptr);
    connection_->close();
  }
}

void PeerLink::deliver(std::function<void()> fn) {
  loop_.post([life = life_, fn = std::move(fn)] {
    if (!life->closed) fn();
  });
}

void PeerLink::step(std::string_view name) {
  if (handlers_.step) handlers_.step(name);
}

void PeerLink::onIceConnectionState(IceConnectionState state) {
  deliver([this, state] {
    if (state == IceConnectionState::kConnected || state == IceConnectionState::kCompleted) step("ICE connected");
    if (handlers_.iceState) handlers_.iceState(state);
  });
}

void PeerLink::onDtlsConnected() {
  deliver([this] { step("DTLS connected"); });
}

void PeerLink::onLocalCandidate(const IceCandidate& candidate) {
  deliver([this, c = IceCandidate(candidate)]() mutable {
    // Engines that report only the index (webrtcbin) leave the id to us.
    const auto index = static_cast<size_t>(c.sdpMLineIndex);
    if (!c.sdpMid && c.sdpMLineIndex >= 0 && index < local_.size()) c.sdpMid = local_[index].mid;
    step("first local candidate");
    if (handlers_.localCandidate) handlers_.localCandidate(c);
  });
}

void PeerLink::onDataChannel(std::shared_ptr<DataChannel> channel) {
  deliver([this, channel = std::move(channel)] {
    if (handlers_.dataChannel) handlers_.dataChannel(channel);
  });
}

void PeerLink::onVideoTrack(std::shared_ptr<VideoTrack> track) {
  deliver([this, track = std::move(track)] {
    if (handlers_.videoTrack) handlers_.videoTrack(track);
  });
}

// ChannelLink

ChannelLink::ChannelLink(EventLoop& loop, std::shared_ptr<DataChannel> channel, Handlers handlers)
    : loop_(loop), channel_(std::move(channel)), handlers_(std::move(handlers)) {
  channel_->setObserver(this);
}

ChannelLink::~ChannelLink() { detach(); }

bool ChannelLink::send(const Bytes& bytes) {
  if (!*attached_) return false;
  if (channel_->state() != DataChannelState::kOpen) return false;
  if (channel_->bufferedAmount() > kMaxSendBacklog) return false;
  return channel_->send(bytes.data(), bytes.size());
}

void ChannelLink::detach() {
  if (!*attached_) return;
  *attached_ = false;
  channel_->setObserver(nullptr);
}

void ChannelLink::close() {
  detach();
  channel_->close();
}

void ChannelLink::deliver(std::function<void()> fn) {
  loop_.post([attached = attached_, fn = std::move(fn)] {
    if (*attached) fn();
  });
}

void ChannelLink::onStateChange(DataChannelState state) {
  deliver([this, state] {
    if (handlers_.state) handlers_.state(state);
  });
}

void ChannelLink::onMessage(const uint8_t* data, size_t size, bool binary) {
  if (!acceptsIncomingMessage(size, binary)) return;
  deliver([this, bytes = Bytes(data, data + size)] {
    if (handlers_.message) handlers_.message(bytes);
  });
}

}  // namespace kx
