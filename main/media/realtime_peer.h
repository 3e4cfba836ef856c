// The client's end of the real-time connection: one outgoing screen track
// ("screen" in stream "kestrelix-screen", at most 3 Mbit/s and 30 frames per
// second, keeping resolution under pressure) fed with captured frames, and
// the ordered "kestrelix-input" data channel that carries the sealed control
// messages. The client always makes the offer.
//
// Threads: push() runs on the capture's frame thread, framesSubmitted() on
// any thread, everything else on the loop thread. Engine events are moved to
// the loop before they reach the peer, so `signal`, `receive` and `state`
// are called on the loop thread, and never after close() or destruction;
// callers still check that the call belongs to their current session. A
// callback may destroy the peer.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media/bitrate_controller.h"
#include "media/peer_rules.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/peer_engine.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"
#include "runtime/task.h"

namespace kx {

class RealtimePeer {
 public:
  // Builds the connection, the video track and the data channel.
  // `signal` gets each outgoing offer and local candidate; `receive` each
  // accepted data-channel message; `state` "connecting", "connected",
  // "failed", "disconnected" or "closed".
  RealtimePeer(EventLoop& loop, PeerEngine& engine, PeerSignalCallback signal, PeerReceiveCallback receive,
               PeerStateCallback state);
  ~RealtimePeer();
  RealtimePeer(const RealtimePeer&) = delete;
  RealtimePeer& operator=(const RealtimePeer&) = delete;

  // Size of the frames that will be pushed, at 30 frames per second.
  void configure(int width, int height);
  // Frame thread. Hands the frame to the engine unless the peer is closed.
  void push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs);
  // Any thread. Frames handed to the engine so far.
  int64_t framesSubmitted() const;

  // Creates the offer, sets it as the local description and signals it.
  // Fails with the engine's error, or "WebRTC offer" (code 1) when the engine
  // gives no description.
  Task<Status> offer();
  // Applies one incoming signal: an "answer" or a "candidate"; anything else
  // is ignored. Fails with "Invalid WebRTC answer" or "Invalid WebRTC
  // candidate" (code 1) on a violated limit, or with the engine's error.
  // Callers await each call before making the next.
  Task<Status> accept(Json message);

  // Sends one binary message, or drops it when the channel is missing, not
  // open, or holds more than 65535 bytes.
  void send(const Bytes& bytes);

  // Stops frames (no frame reaches the engine once this returns), closes the
  // channel and the connection. Nothing is reported afterwards.
  void close();

  // Names each step of the connection's start as it happens ("first frame
  // captured", "offer made", "answer applied", "data channel open" and the
  // link's own). Loop thread; never after close().
  void setStepObserver(PeerStepCallback step) { step_ = std::move(step); }

 private:
  void onIceState(IceConnectionState state);
  void onChannelState(DataChannelState state);
  void report(const std::string& text);
  void emit(const Json& message);
  void step(std::string_view name);
  // Reads the latest receiver report and moves the encoder's rate.
  void adjustRate();

  EventLoop& loop_;
  PeerSignalCallback signal_;
  PeerReceiveCallback receive_;
  PeerStateCallback state_;
  PeerStepCallback step_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for work posted from the frame thread

  mutable std::mutex frameLock_;
  bool closed_ = false;      // guarded by frameLock_
  int64_t frameCount_ = 0;   // guarded by frameLock_
  std::shared_ptr<VideoSource> source_;  // set once in the constructor; null when the engine made none

  PeerLink link_;
  std::unique_ptr<ChannelLink> channel_;  // absent after close()

  BitrateController rate_;
  std::optional<LinkReport> lastReport_;
  VideoTarget applied_;
  int rateTicks_ = 0;
  Timer rateTimer_;
};

}  // namespace kx
