// Capture lifecycle: the picked display becomes a capture stream plus a fresh
// peer; the ways capture pauses or stops.
#include <utility>

#include "agent/remote_client.h"
#include "agent/user_text.h"
#include "media/realtime_frame_sink.h"
#include "media/realtime_peer.h"

namespace kx {

Task<void> RemoteClient::startSelectedCapture(ContentFilter filter) {
  const std::string session = active_;
  const int64_t epoch = generation_;
  if (session.empty()) co_return;
  if (!consentLease_.isValid(platform_.clock.uptime())) co_return;
  if (!lifecycle_.selected(session)) co_return;
  markStep("display picked");
  if (filter.displays.empty()) {
    pauseCapture(std::string(text::kNoDisplay));
    co_return;
  }
  displayBounds_ = filter.displays.front().bounds;
  const auto configuration = captureConfigurationFor(displayBounds_);
  if (!configuration) {
    pauseCapture(std::string(text::kDisplayWithoutSize));
    co_return;
  }

  // Never two captures at once: whatever ran before goes down first.
  if (auto previous = std::move(rtc_)) previous->close();
  retireStream();

  const uint64_t peerSerial = ++peerSerial_;
  auto peer = std::make_shared<RealtimePeer>(
      platform_.loop, platform_.peerEngine,
      [weak = weak(), this, peerSerial, session, epoch](const Json& message) {
        if (weak.lock() && peerSerial_ == peerSerial && rtc_ && current(session, epoch)) queueSignal(message);
      },
      [weak = weak(), this, peerSerial, session, epoch](const Bytes& bytes) {
        if (weak.lock() && peerSerial_ == peerSerial && rtc_) receiveInput(bytes, session, epoch);
      },
      [weak = weak(), this, peerSerial, session, epoch](const std::string& state) {
        if (weak.lock()) peerState(peerSerial, session, epoch, state);
      });
  peer->setStepObserver([weak = weak(), this, peerSerial](std::string_view step) {
    if (weak.lock() && peerSerial_ == peerSerial) markStep(step);
  });
  peer->configure(configuration->width, configuration->height);
  rtc_ = peer;
  rtcState_ = "connecting";

  auto sink = std::make_unique<RealtimeFrameSink>(peer);
  const uint64_t streamSerial = ++streamSerial_;
  stream_ =
      platform_.screenCapture.createStream(filter, *configuration, [weak = weak(), this, streamSerial](Error error) {
        if (weak.lock()) streamStopped(streamSerial, error);
      });
  sink_ = std::move(sink);
  if (!stream_) {
    if (current(session, epoch)) pauseCapture(std::string(text::kNoDisplay));
    co_return;
  }
  if (Status added = stream_->addOutput(sink_.get()); !added) {
    if (current(session, epoch)) pauseCapture(localizedDescription(added.error()));
    co_return;
  }

  CaptureStream* stream = stream_.get();
  const Status started =
      co_await awaitCallback<Status>([stream](std::function<void(Status)> done) { stream->start(std::move(done)); });
  if (!started) {
    if (current(session, epoch)) pauseCapture(localizedDescription(started.error()));
    co_return;
  }
  markStep("capture started");
  if (!current(session, epoch) || !lifecycle_.started(session)) {
    // Started for a session that has gone: take this stream down again
    // (the clear that ended the session has already stopped it otherwise).
    if (streamSerial_ == streamSerial && stream_) retireStream();
    co_return;
  }

  const Status offered = co_await peer->offer();
  if (!offered) {
    if (current(session, epoch)) pauseCapture(localizedDescription(offered.error()));
    co_return;
  }
  // The session may have ended while the offer was made.
  if (!current(session, epoch) || rtc_ != peer) co_return;
  setStatusLine(std::string(text::kSharing));
  platform_.menu.setTitle(std::string(text::kSharingTitle));
  platform_.menu.setSharing(technician_);
  writeStatus();
}

void RemoteClient::peerState(uint64_t peerSerial, const std::string& session, int64_t epoch, const std::string& state) {
  if (peerSerial_ != peerSerial || !rtc_ || !current(session, epoch)) return;
  rtcState_ = state;
  if (state == "failed" || state == "closed" || state == "disconnected") {
    const std::string ended = active_;
    clear();
    if (!ended.empty()) sendEnd(ended);
    captureError_ = std::string(text::kPeerEnded);
    setStatusLine(captureError_);
  } else if (state == "connected") {
    sendState();
  }
}

void RemoteClient::pauseCapture(const std::string& reason) {
  lifecycle_.failed();
  captureError_ = std::string(text::kCapturePausedPrefix) + reason;
  stopCapture();
  setStatusLine(captureError_);
  writeStatus();
}

void RemoteClient::stopCapture() {
  // Out of `rtc` before closing, so nothing it reports meanwhile counts.
  if (auto peer = std::move(rtc_)) peer->close();
  contactTimer_.cancel();
  rtcState_ = "idle";
  platform_.menu.setSharing(std::nullopt);
  outgoingSignals_.clear();
  seenSignals_.clear();
  ownSignals_.clear();
  postPointer(pointer_.release(), 1);
  retireStream();
}

void RemoteClient::retireStream() {
  auto stream = std::move(stream_);
  auto sink = std::move(sink_);
  if (!stream) return;
  const uint64_t key = ++streamSerial_;  // also makes a later stop report of it stale
  CaptureStream* raw = stream.get();
  retiredStreams_.emplace(key, RetiredStream{std::move(sink), std::move(stream)});
  // Fire and forget; the objects go once the stop is confirmed, outside the
  // stream's own call.
  raw->stop([weak = weak(), this, key](Status) {
    platform_.loop.post([weak, this, key] {
      if (weak.lock()) retiredStreams_.erase(key);
    });
  });
}

void RemoteClient::streamStopped(uint64_t serial, const Error& error) {
  if (!stream_ || streamSerial_ != serial) return;
  const std::string session = active_;
  clear();
  if (!session.empty()) sendEnd(session);
  setStatusLine(std::string(text::kSharingEndedPrefix) + localizedDescription(error));
}

}  // namespace kx
