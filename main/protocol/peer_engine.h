// The real-time media engine as both peers use it: a WebRTC peer connection
// with one H.264 video track (client to technician) and one ordered data
// channel. Implemented on GStreamer webrtcbin in main/platform/gst and by an
// in-process fake for tests.
//
// Threads: every completion and observer call may arrive on an engine thread.
// Callers move work to their loop before touching state. After an observer is
// cleared (set to nullptr) or the object is closed, no further call reaches
// that observer once the clearing call has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/encoding.h"
#include "runtime/error.h"

namespace kx {

enum class IceConnectionState { kNew, kChecking, kConnected, kCompleted, kFailed, kDisconnected, kClosed };
enum class DataChannelState { kConnecting, kOpen, kClosing, kClosed };
enum class SdpType { kOffer, kAnswer };

struct IceCandidate {
  std::string candidate;  // the "candidate:..." line
  int sdpMLineIndex = 0;
  std::optional<std::string> sdpMid;
};

// One picture in 32-bit BGRA, top row first. The engine may keep a reference
// while it encodes; the owner keeps the pixels alive for as long as any
// reference exists.
class FrameBuffer {
 public:
  virtual ~FrameBuffer() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual int stride() const = 0;  // bytes per row
  virtual const uint8_t* data() const = 0;
};

class DataChannelObserver {
 public:
  virtual ~DataChannelObserver() = default;
  virtual void onStateChange(DataChannelState state) = 0;
  virtual void onMessage(const uint8_t* data, size_t size, bool binary) = 0;
};

class DataChannel {
 public:
  virtual ~DataChannel() = default;
  virtual std::string label() const = 0;
  virtual DataChannelState state() const = 0;
  virtual uint64_t bufferedAmount() const = 0;
  // Sends one binary message; false when the engine refused it.
  virtual bool send(const uint8_t* data, size_t size) = 0;
  virtual void setObserver(DataChannelObserver* observer) = 0;
  virtual void close() = 0;
};

// Receives decoded frames of a remote video track (technician side).
class VideoRenderer {
 public:
  virtual ~VideoRenderer() = default;
  virtual void onFrame(std::shared_ptr<const FrameBuffer> frame) = 0;
};

class VideoTrack {
 public:
  virtual ~VideoTrack() = default;
  virtual void addRenderer(VideoRenderer* renderer) = 0;
  virtual void removeRenderer(VideoRenderer* renderer) = 0;
};

// The client's outgoing screen track.
class VideoSource {
 public:
  virtual ~VideoSource() = default;
  // Size and rate of what will be pushed (30 frames per second).
  virtual void configure(int width, int height, int framesPerSecond) = 0;
  // Any thread (the capture's frame thread). `timeNs` is the capture time.
  virtual void push(std::shared_ptr<const FrameBuffer> frame, int64_t timeNs) = 0;
  virtual void setEnabled(bool enabled) = 0;
  // What the link carries now: the encoder's bitrate (bits per second) and
  // the most frames per second to encode. The picture keeps its size.
  virtual void setRate(int bitrate, int framesPerSecond) = 0;
};

struct VideoSendParameters {
  std::string trackId = "screen";
  std::string streamId = "kestrelix-screen";
  int maxBitrate = 3'000'000;
  int maxFramerate = 30;
  bool maintainResolution = true;  // drop frame rate, not resolution, under pressure
};

class PeerConnectionObserver {
 public:
  virtual ~PeerConnectionObserver() = default;
  virtual void onIceConnectionState(IceConnectionState state) = 0;
  // The DTLS handshake finished: media and data can flow. Reported once.
  virtual void onDtlsConnected() {}
  virtual void onLocalCandidate(const IceCandidate& candidate) = 0;
  // A data channel opened by the remote side.
  virtual void onDataChannel(std::shared_ptr<DataChannel> channel) = 0;
  // A remote video track arrived.
  virtual void onVideoTrack(std::shared_ptr<VideoTrack> track) = 0;
};

using StatsEntry = std::map<std::string, std::variant<std::string, double, int64_t, bool>>;

class PeerConnection {
 public:
  virtual ~PeerConnection() = default;
  using SdpDone = std::function<void(Expected<std::string>)>;
  using Done = std::function<void(Status)>;

  virtual void createOffer(SdpDone done) = 0;
  virtual void createAnswer(SdpDone done) = 0;
  virtual void setLocalDescription(SdpType type, const std::string& sdp, Done done) = 0;
  virtual void setRemoteDescription(SdpType type, const std::string& sdp, Done done) = 0;
  virtual bool hasRemoteDescription() const = 0;
  virtual void addIceCandidate(const IceCandidate& candidate, Done done) = 0;

  // Client side. Null when the engine cannot make one.
  virtual std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) = 0;
  virtual std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) = 0;

  // Each entry has "type" and, for RTP entries, "kind".
  virtual void getStats(std::function<void(std::vector<StatsEntry>)> done) = 0;

  virtual void setObserver(PeerConnectionObserver* observer) = 0;
  virtual void close() = 0;
};

struct PeerConfiguration {
  // No STUN or TURN servers: host candidates only.
  bool bundleEverything = true;
};

class PeerEngine {
 public:
  virtual ~PeerEngine() = default;
  // Null when the engine cannot build a connection.
  virtual std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                               PeerConnectionObserver* observer) = 0;
};

}  // namespace kx
