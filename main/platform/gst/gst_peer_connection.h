// PeerConnection on one webrtcbin in its own pipeline.
//
// Threads: signals, promise replies and data-channel events arrive on the
// element's "<name>:pc" thread, remote video on a streaming thread, state
// notifications sometimes on the caller's thread. All of them reach the
// observer through one lock, so after setObserver(nullptr) or close() has
// returned the old observer hears nothing more. Each completion runs exactly
// once; operations still pending at close() complete with an error from
// inside close(). close() and the destructor must not be called from an engine
// callback (they stop the threads those callbacks run on).
#pragma once

#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/gst/gst_data_channel.h"
#include "platform/gst/gst_support.h"
#include "platform/gst/gst_video_source.h"
#include "platform/gst/observer_slot.h"
#include "protocol/peer_engine.h"

namespace kx::gst {

class GstPeerConnection final : public PeerConnection {
 public:
  // Null when the pipeline cannot be built or started.
  static std::unique_ptr<GstPeerConnection> create(const PeerConfiguration& configuration,
                                                   PeerConnectionObserver* observer);
  ~GstPeerConnection() override;

  void createOffer(SdpDone done) override;
  void createAnswer(SdpDone done) override;
  void setLocalDescription(SdpType type, const std::string& sdp, Done done) override;
  void setRemoteDescription(SdpType type, const std::string& sdp, Done done) override;
  bool hasRemoteDescription() const override;
  void addIceCandidate(const IceCandidate& candidate, Done done) override;
  std::shared_ptr<VideoSource> addVideoTrack(const VideoSendParameters& parameters) override;
  std::shared_ptr<DataChannel> createDataChannel(const std::string& label, bool ordered) override;
  void getStats(std::function<void(std::vector<StatsEntry>)> done) override;
  void setObserver(PeerConnectionObserver* observer) override;
  void close() override;

  // The pipeline, for benchmarks and tests that look inside.
  GstElement* pipeline() const { return pipeline_.get(); }

 private:
  using Reply = std::function<void(GstPromiseResult, const GstStructure*)>;

  struct Core {
    ObserverSlot<PeerConnectionObserver> observer;
    // Orders state reports that two threads may compute at once.
    std::recursive_mutex stateMutex;
    std::optional<IceConnectionState> reported;
    bool failed = false;  // a pipeline error: nothing but "closed" follows
    bool secured = false;  // the connection state reached "connected" (ICE and DTLS)

    std::mutex mutex;  // guards the fields below
    bool closed = false;
    std::set<GstPromise*> pending;  // each holds a reference
    std::vector<std::weak_ptr<GstDataChannel>> channels;
    std::vector<std::weak_ptr<GstVideoSource>> sources;
    int branches = 0;
    // The last report block about each stream we send. webrtcbin keeps one
    // block per reporter, so the video's hides behind the retransmission
    // stream's whenever a report carries both.
    std::map<uint32_t, StatsEntry> reportBlocks;

    void reportState(IceConnectionState state);
    std::shared_ptr<GstDataChannel> track(GstWebRTCDataChannel* channel);
  };
  struct PromiseContext {
    Reply reply;
    std::weak_ptr<Core> core;
    std::atomic<bool> fired{false};
  };

  GstPeerConnection(ElementRef pipeline, ElementRef webrtc);
  bool start(const PeerConfiguration& configuration);

  // Emits `action` with a new promise as its last argument; `reply` runs once.
  void withPromise(Reply reply, const std::function<void(GstPromise*)>& emit);
  // `complete` adjusts the description before it is handed out.
  void makeDescription(const char* action, const char* field, std::function<void(GstSDPMessage*)> complete,
                       SdpDone done);
  void applyDescription(const char* action, SdpType type, const std::string& sdp, Done done);
  void closeChannelsAndWait();

  static void onPromiseChanged(GstPromise* promise, gpointer data);
  static void onIceCandidate(GstElement* webrtc, guint mline, gchar* candidate, gpointer data);
  static void onStateNotify(GstElement* webrtc, GParamSpec* property, gpointer data);
  static void onDataChannel(GstElement* webrtc, GstWebRTCDataChannel* channel, gpointer data);
  static void onNewTransceiver(GstElement* webrtc, GstWebRTCRTPTransceiver* transceiver, gpointer data);
  static void onReceivingRtcp(GObject* session, GstBuffer* buffer, gpointer data);
  static void onPadAdded(GstElement* webrtc, GstPad* pad, gpointer data);
  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer data);

  ElementRef pipeline_;
  ElementRef webrtc_;
  std::shared_ptr<Core> core_ = std::make_shared<Core>();
  std::vector<gulong> handlers_;
  std::vector<std::shared_ptr<GstVideoSource>> sources_;
  std::optional<VideoSendParameters> video_;  // of the screen track, once added
  bool closed_ = false;
};

}  // namespace kx::gst
