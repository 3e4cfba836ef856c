// The technician console's end of the real-time connection to a managed
// computer. It answers the client's offer, trades candidates, draws the
// client's video through one renderer and carries the sealed input channel
// ("kestrelix-input", opened by the client). It adds no track, transceiver or
// channel of its own and sends nothing until the offer arrives.
//
// Threads: loop thread only. Engine events are moved to the loop before they
// reach the peer, so `signal`, `receive` and `state` are called on the loop
// thread, and never after close() or destruction; the console still checks
// that the call belongs to its current session. A callback may destroy the
// peer.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "media/peer_rules.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/peer_engine.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"
#include "runtime/task.h"

namespace kx {

class AdminPeer {
 public:
  // `renderer` (may be null) draws the client's video; it must outlive the
  // peer or its close(). `signal` gets the answer and each local candidate;
  // `receive` each accepted data-channel message; `state` "connecting",
  // "connected" or "closed".
  AdminPeer(EventLoop& loop, PeerEngine& engine, VideoRenderer* renderer, PeerSignalCallback signal,
            PeerReceiveCallback receive, PeerStateCallback state);
  ~AdminPeer();
  AdminPeer(const AdminPeer&) = delete;
  AdminPeer& operator=(const AdminPeer&) = delete;

  // Applies one decrypted signal: an "offer" (answered through `signal`) or a
  // "candidate"; anything else, and a second offer, is ignored. Fails with
  // "Invalid offer" or "Invalid candidate" (code 1) on a violated limit,
  // "Answer failed" (code 1) when the engine gives no answer, or the engine's
  // error. A failure leaves the peer usable. Await each call before the next.
  Task<Status> accept(Json message);

  // Hands one binary message to the engine if the input channel is open and
  // less than 65536 bytes wait in it; returns whether the engine took it.
  bool send(const Bytes& bytes);

  // Calls `handler` with each "inbound-rtp" entry of kind "video" of the
  // engine's statistics, in report order, on the loop thread; not after close().
  void statistics(std::function<void(const StatsEntry&)> handler);

  // Detaches the renderer, closes the channel and the connection. Nothing is
  // reported afterwards.
  void close();

  // Names each step of the connection's start as it happens ("offer
  // received", "answer made", "data channel open", "first frame decoded" and
  // the link's own). Loop thread; never after close().
  void setStepObserver(PeerStepCallback step) { step_ = std::move(step); }

 private:
  // What is attached to the drawn track: passes its frames to the renderer
  // and notes the first one (streaming thread).
  class FirstFrameTap final : public VideoRenderer {
   public:
    explicit FirstFrameTap(AdminPeer& peer) : peer_(peer) {}
    void onFrame(std::shared_ptr<const FrameBuffer> frame) override;

   private:
    AdminPeer& peer_;
    std::atomic<bool> seen_{false};
  };

  void onIceState(IceConnectionState state);
  void onDataChannel(std::shared_ptr<DataChannel> channel);
  void onVideoTrack(std::shared_ptr<VideoTrack> track);
  void report(const std::string& text);
  void step(std::string_view name);

  EventLoop& loop_;
  VideoRenderer* const renderer_;
  PeerSignalCallback signal_;
  PeerReceiveCallback receive_;
  PeerStateCallback state_;
  PeerStepCallback step_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for work posted from the streaming thread
  FirstFrameTap tap_{*this};

  std::shared_ptr<VideoTrack> video_;     // the track drawn now; absent after close()
  std::unique_ptr<ChannelLink> channel_;  // the input channel; absent after close()
  PeerLink link_;
};

}  // namespace kx
