// What the client peer and the technician peer share: the limits on remote
// signals and data-channel messages, the reading of remote candidates, the
// local-candidate message, and the two links (PeerLink, ChannelLink) that
// carry engine completions and observer calls over to the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/peer_engine.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"
#include "runtime/task.h"
#include "media/session_timeline.h"

namespace kx {

// Limits on what the remote side may hand us.
inline constexpr size_t kMaxSdpBytes = 48000;
inline constexpr size_t kMaxCandidateBytes = 4096;
inline constexpr int64_t kMaxMLineIndex = 16;
inline constexpr size_t kMaxEarlyCandidates = 128;
inline constexpr size_t kMaxIncomingMessageBytes = 8192;
// A message is sent only while at most this many bytes wait in the channel
// (the client's "at most 65535" and the console's "below 65536" are one rule).
inline constexpr uint64_t kMaxSendBacklog = 65535;

inline constexpr char kInputChannelLabel[] = "kestrelix-input";

// The callbacks both peers are built with. Loop thread; never after close().
using PeerSignalCallback = std::function<void(const Json&)>;
using PeerReceiveCallback = std::function<void(const Bytes&)>;
using PeerStateCallback = std::function<void(const std::string&)>;

// SDP text (offer or answer) of at most 48000 UTF-8 bytes.
bool sdpWithinLimit(const std::string& sdp);

// Binary and at most 8192 bytes: everything else is dropped unseen.
bool acceptsIncomingMessage(size_t size, bool binary);

// Reads the "candidate" object of a remote candidate signal. nullopt when
// the object or its "candidate" text is missing (the signal is ignored);
// `invalid` when the line exceeds 4096 bytes or "sdpMLineIndex" lies outside
// 0...16. A missing or non-integer index counts as 0.
std::optional<Expected<IceCandidate>> readRemoteCandidate(const Json& message, const Error& invalid);

// {"type": "candidate", "candidate": {"candidate", "sdpMid" ("0" when the
// candidate's m-line has no id), "sdpMLineIndex"}}.
Json localCandidateSignal(const IceCandidate& candidate);

// One m-line of a session description, as far as the peers read it.
struct SdpMedia {
  std::string kind;  // "video", "application"...
  int64_t port = -1;  // 0: the section is rejected; -1: unreadable
  std::optional<std::string> mid;
  std::vector<std::string> encodings;  // rtpmap names of the listed payloads, upper case
  bool operator==(const SdpMedia&) const = default;
};

// The m-lines of an SDP text in order. Lines the peers do not read are skipped.
std::vector<SdpMedia> readSdpMedia(const std::string& sdp);

// Whether `answer` takes the video our offer sends: every video m-line of
// `offer` is answered by a video m-line with a non-zero port and an H.264 payload.
bool answerAcceptsVideo(const std::vector<SdpMedia>& offer, const std::vector<SdpMedia>& answer);

// Steps asked of a peer after close(), or of one whose engine made no connection.
Error connectionClosedError();
Error noConnectionError();

// One engine peer connection, driven from the loop thread. Owns the
// connection and observes it; holds remote candidates that arrive before the
// remote description (at most 128, later ones dropped).
//
// Completions and observer calls are posted to the loop. Once close() has
// run (the destructor runs it), no handler is called again and every step
// still waiting finishes with connectionClosedError() without touching the
// link, so the link may be destroyed while a step waits.
class PeerLink : private PeerConnectionObserver {
 public:
  // Loop thread; never after close().
  struct Handlers {
    std::function<void(IceConnectionState)> iceState;
    std::function<void(const IceCandidate&)> localCandidate;
    std::function<void(std::shared_ptr<DataChannel>)> dataChannel;
    std::function<void(std::shared_ptr<VideoTrack>)> videoTrack;
    // "first local candidate", "first remote candidate", "ICE connected",
    // "DTLS connected", each time it happens (the timeline keeps the first).
    PeerStepCallback step;
  };

  // `invalidCandidate` is what a remote candidate that names no m-line of
  // the remote description fails with.
  PeerLink(EventLoop& loop, PeerEngine& engine, Handlers handlers, Error invalidCandidate);
  ~PeerLink() override;
  PeerLink(const PeerLink&) = delete;
  PeerLink& operator=(const PeerLink&) = delete;

  // Null when the engine made no connection.
  PeerConnection* connection() const { return connection_.get(); }
  bool closed() const;
  bool hasRemoteDescription() const;
  // The m-lines of the local description set last (empty before).
  const std::vector<SdpMedia>& localMedia() const { return local_; }

  // Creates an offer or an answer and sets it as the local description.
  // An engine that returns an empty description without an error fails with
  // `noDescription`. Local candidates reported without a media id from then
  // on carry the id their m-line has in this description.
  Task<Expected<std::string>> createLocalDescription(SdpType type, Error noDescription);
  // Sets the remote description, then adds the held-back candidates one by
  // one in arrival order; the first failure ends the step and drops the rest.
  Task<Status> applyRemoteDescription(SdpType type, std::string sdp);
  // Adds the candidate now when the remote description is set, else holds it.
  // A candidate goes to the m-line its "sdpMid" names in the remote
  // description, else to the one its index names, else it fails.
  Task<Status> addRemoteCandidate(IceCandidate candidate);

  // Loop thread; not called after close().
  void getStats(std::function<void(std::vector<StatsEntry>)> done);

  // Detaches from the connection, then closes it. The connection object is kept.
  void close();

 private:
  struct Life {
    bool closed = false;  // loop thread only
  };

  // PeerConnectionObserver, engine threads.
  void onIceConnectionState(IceConnectionState state) override;
  void onDtlsConnected() override;
  void onLocalCandidate(const IceCandidate& candidate) override;
  void onDataChannel(std::shared_ptr<DataChannel> channel) override;
  void onVideoTrack(std::shared_ptr<VideoTrack> track) override;

  void deliver(std::function<void()> fn);
  void step(std::string_view name);
  Status usable() const;
  Expected<IceCandidate> resolve(IceCandidate candidate) const;
  Task<Status> add(IceCandidate candidate);

  EventLoop& loop_;
  Handlers handlers_;
  const Error invalidCandidate_;
  std::shared_ptr<Life> life_ = std::make_shared<Life>();
  std::vector<IceCandidate> early_;
  std::vector<SdpMedia> local_;
  std::vector<SdpMedia> remote_;
  std::unique_ptr<PeerConnection> connection_;
};

// One data channel watched from the loop thread. Text messages and messages
// over 8192 bytes are dropped on arrival. No handler runs once detach() or
// close() has run, or the link is destroyed (which detaches).
class ChannelLink : private DataChannelObserver {
 public:
  // Loop thread.
  struct Handlers {
    std::function<void(DataChannelState)> state;
    std::function<void(const Bytes&)> message;
  };

  ChannelLink(EventLoop& loop, std::shared_ptr<DataChannel> channel, Handlers handlers);
  ~ChannelLink() override;
  ChannelLink(const ChannelLink&) = delete;
  ChannelLink& operator=(const ChannelLink&) = delete;

  // Sends `bytes` as one binary message if the channel is open and at most
  // 65535 bytes wait in it; returns whether the engine took it.
  bool send(const Bytes& bytes);
  // Stops observing; the channel stays as it is.
  void detach();
  // Stops observing, then closes the channel.
  void close();

 private:
  // DataChannelObserver, engine threads.
  void onStateChange(DataChannelState state) override;
  void onMessage(const uint8_t* data, size_t size, bool binary) override;

  void deliver(std::function<void()> fn);

  EventLoop& loop_;
  std::shared_ptr<DataChannel> channel_;
  Handlers handlers_;
  std::shared_ptr<bool> attached_ = std::make_shared<bool>(true);  // loop thread only
};

}  // namespace kx
