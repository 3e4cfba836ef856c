#include "platform/gst/gst_peer_connection.h"

#include <arpa/inet.h>
#include <gst/rtp/gstrtcpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/gst/gst_video_track.h"
#include "platform/gst/offer_sdp.h"
#include "platform/gst/request_hold.h"
#include "platform/gst/small_records.h"
#include "platform/gst/webrtc_values.h"

namespace kx::gst {
namespace {

// How long a lost packet is waited for, counted from when it was due: on a
// mobile link its gap is seen only after the queue delivers the next packet
// (200-300 ms late), and its retransmission needs a round trip through the
// same queue, so at 600 ms some came 5-30 ms too late and each cost a key
// frame and a freeze. Costs nothing while packets come in order, since the
// picture is drawn as soon as it is decoded, nor after an outage (below).
constexpr guint kJitterBufferMs = 900;
// A jump of more than this much of the stream (an outage) restarts the
// jitter buffer at once instead of waiting out its latency for packets the
// outage took: the picture returns a key frame's round trip after the link
// does (0.1 s, was 0.6-0.8 s). Loss alone never makes a gap this long.
constexpr guint kMaxDropoutMs = 1000;
constexpr guint kFastStartPackets = 2;
// How long a retransmission request stays worth sending, as the RTP session
// judges it (see start()): twice the latency outlasts any request's delay plus
// the jitter buffer's average retransmission round trip, so the jitter buffer
// alone decides when a packet is given up.
constexpr gint kRequestDeadlineMs = 2 * gint(kJitterBufferMs);
// Retransmission requests ride on RTCP, and feedback may go early only once
// per report interval. That interval follows RTCP's share of the link, not
// the minimum below: with the default share (5 % of a guessed session rate)
// reports came about 0.5 s apart, so most requests waited for the next one
// and expired unsent, each costing a key frame and a freeze. This share
// ("rtcp-fraction", bytes/s when above 1) gives a slot about every 45 ms,
// 20-25 small reports a second each way.
constexpr uint64_t kRtcpIntervalNs = 100'000'000;
constexpr double kRtcpBandwidth = 50'000;
// The longest stretch without a key frame (see addVideoTrack()).
constexpr int kKeyFrameSafetySeconds = 30;
// How long close() lets closing data channels tell the remote side.
constexpr auto kChannelCloseGrace = std::chrono::milliseconds(100);

// Addresses to gather host candidates on: every address of an interface that
// is up, loopback included (webrtcbin skips loopback unless told), and no
// IPv6 link-local ones (they need a scope id the candidate line cannot carry).
std::vector<std::string> hostAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
      char text[INET6_ADDRSTRLEN] = {};
      if (i->ifa_addr->sa_family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
      } else if (i->ifa_addr->sa_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr);
        if (IN6_IS_ADDR_LINKLOCAL(&a->sin6_addr) || IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) continue;
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
      } else {
        continue;
      }
      if (text[0] && std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
        addresses.emplace_back(text);
      }
    }
    freeifaddrs(list);
  }
  if (std::find(addresses.begin(), addresses.end(), "127.0.0.1") == addresses.end()) addresses.emplace_back("127.0.0.1");
  return addresses;
}

GstWebRTCSDPType toGstSdpType(SdpType type) {
  return type == SdpType::kOffer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER;
}

// The error a promise reply carries, if any.
std::optional<Error> replyError(GstPromiseResult result, const GstStructure* reply) {
  if (result != GST_PROMISE_RESULT_REPLIED) return engineError("The connection was closed");
  if (reply && gst_structure_has_field(reply, "error")) {
    GError* raw = nullptr;
    gst_structure_get(reply, "error", G_TYPE_ERROR, &raw, nullptr);
    GErrorPtr error(raw);
    return errorFromGError(error.get());
  }
  return std::nullopt;
}

std::atomic<unsigned> connectionCounter{0};

// Repeats the incoming video's unanswered key frame requests. The requests
// come up through the depayloader (its own on loss, the decoder's on an
// undecodable frame) and key frames leave the parser, on streaming threads.
class KeyFrameRepeater {
 public:
  // `pad` is webrtcbin's source pad: an upstream event sent to it reaches
  // the RTP session, which turns it into a PLI.
  explicit KeyFrameRepeater(GstPad* pad) : pad_(GST_PAD(gst_object_ref(pad))) {}
  ~KeyFrameRepeater() { gst_object_unref(pad_); }
  KeyFrameRepeater(const KeyFrameRepeater&) = delete;
  KeyFrameRepeater& operator=(const KeyFrameRepeater&) = delete;

  static void attach(const std::shared_ptr<KeyFrameRepeater>& self, GstElement* depay, GstElement* parse) {
    const auto owned = [](gpointer data) { delete static_cast<std::shared_ptr<KeyFrameRepeater>*>(data); };
    GstPad* in = gst_element_get_static_pad(depay, "sink");
    gst_pad_add_probe(
        in, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST | GST_PAD_PROBE_TYPE_EVENT_UPSTREAM),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
          auto& repeater = **static_cast<std::shared_ptr<KeyFrameRepeater>*>(data);
          if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_UPSTREAM) {
            if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) repeater.requested();
          } else {
            repeater.packetArrived();
          }
          return GST_PAD_PROBE_OK;
        },
        new std::shared_ptr<KeyFrameRepeater>(self), owned);
    gst_object_unref(in);
    GstPad* out = gst_element_get_static_pad(parse, "src");
    gst_pad_add_probe(
        out, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
          if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info), GST_BUFFER_FLAG_DELTA_UNIT)) {
            (*static_cast<std::shared_ptr<KeyFrameRepeater>*>(data))->keyFrameArrived();
          }
          return GST_PAD_PROBE_OK;
        },
        new std::shared_ptr<KeyFrameRepeater>(self), owned);
    gst_object_unref(out);
  }

  // Asks the sender for a key frame now.
  void request() {
    requested();
    send();
  }

 private:
  static double now() { return double(g_get_monotonic_time()) / G_USEC_PER_SEC; }

  void requested() {
    std::lock_guard lock(mutex_);
    wait_.requested(now());
  }

  void packetArrived() {
    bool repeat = false;
    {
      std::lock_guard lock(mutex_);
      repeat = wait_.repeatDue(now());
    }
    if (repeat) send();
  }

  void keyFrameArrived() {
    std::lock_guard lock(mutex_);
    wait_.keyFrame();
  }

  void send() { gst_pad_send_event(pad_, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0)); }

  GstPad* const pad_;
  std::mutex mutex_;
  KeyFrameWait wait_;
};

}  // namespace

// ---- Core ----

void GstPeerConnection::Core::reportState(IceConnectionState state) {
  std::lock_guard order(stateMutex);
  if (failed && state != IceConnectionState::kClosed) state = IceConnectionState::kFailed;
  if (reported == state) return;
  reported = state;
  observer.notify([&](PeerConnectionObserver& o) { o.onIceConnectionState(state); });
}

std::shared_ptr<GstDataChannel> GstPeerConnection::Core::track(GstWebRTCDataChannel* channel) {
  auto wrapped = GstDataChannel::wrap(channel);
  std::lock_guard lock(mutex);
  if (closed) {
    wrapped->silence();
    return wrapped;
  }
  std::erase_if(channels, [](const auto& c) { return c.expired(); });
  channels.push_back(wrapped);
  return wrapped;
}

// ---- construction and teardown ----

std::unique_ptr<GstPeerConnection> GstPeerConnection::create(const PeerConfiguration& configuration,
                                                             PeerConnectionObserver* observer) {
  if (!ensureInitialized()) return nullptr;
  const std::string name = "kxpc" + std::to_string(connectionCounter++);
  ElementRef pipeline = ElementRef::adopt(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new((name + "-pipeline").c_str()))));
  ElementRef webrtc = makeElement("webrtcbin", name.c_str());
  if (!pipeline || !webrtc) return nullptr;
  std::unique_ptr<GstPeerConnection> connection(new GstPeerConnection(std::move(pipeline), std::move(webrtc)));
  connection->core_->observer.set(observer);
  if (!connection->start(configuration)) return nullptr;
  return connection;
}

GstPeerConnection::GstPeerConnection(ElementRef pipeline, ElementRef webrtc)
    : pipeline_(std::move(pipeline)), webrtc_(std::move(webrtc)) {}

bool GstPeerConnection::start(const PeerConfiguration& configuration) {
  GstElement* webrtc = webrtc_.get();
  g_object_set(webrtc, "bundle-policy",
               configuration.bundleEverything ? GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE : GST_WEBRTC_BUNDLE_POLICY_BALANCED,
               "latency", kJitterBufferMs, nullptr);

  // No STUN or TURN: the hosts' own addresses, over UDP.
  GstWebRTCICE* ice = nullptr;
  g_object_get(webrtc, "ice-agent", &ice, nullptr);
  if (ice) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp")) g_object_set(ice, "ice-tcp", FALSE, nullptr);
    for (const std::string& address : hostAddresses()) {
      gboolean added = FALSE;
      g_signal_emit_by_name(ice, "add-local-ip-address", address.c_str(), &added);
    }
    gst_object_unref(ice);
  }

  // Receiver reports often instead of RTCP's default five seconds (see
  // kRtcpIntervalNs): they carry the retransmission requests, and the bitrate
  // controller follows the link from them (AVPF allows it, RFC 4585).
  if (GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(webrtc), "rtpbin")) {
    connectWeak(rtpbin, "element-added", G_CALLBACK(+[](GstBin*, GstElement* element, gpointer data) {
                  if (!g_object_class_find_property(G_OBJECT_GET_CLASS(element), "rtcp-min-interval")) return;
                  g_object_set(element, "rtcp-min-interval", guint64(kRtcpIntervalNs), "rtcp-fraction", kRtcpBandwidth,
                               nullptr);
                  GObject* session = nullptr;
                  g_object_get(element, "internal-session", &session, nullptr);
                  if (!session) return;
                  if (auto core = lockWeak<Core>(data)) {
                    connectWeak(session, "on-receiving-rtcp", G_CALLBACK(onReceivingRtcp), core);
                  }
                  g_object_unref(session);
                }),
                core_);
    // webrtcbin 1.22 finds no transceiver for a bundled stream here and
    // leaves retransmission off, so no NACK is ever sent: turn it on for
    // every incoming stream (runs after webrtcbin's own handler). A new
    // stream starts with its first packets in order, not after a whole
    // latency of waiting (the picture's first key frame is many packets).
    // Only a real gap is asked for: by default a packet that is merely later
    // than the spacing predicts is asked for too, which on a rate-limited or
    // paused link resent most packets twice (a third of a 1 Mbit/s link).
    // A request that goes unanswered is repeated until the packet is given
    // up: by default the repeats stopped a retry time-out (a queued round
    // trip, 0.4-0.5 s on poor Wi-Fi) before the latency ended, so a gap seen
    // behind a queue was asked for once and one lost request froze the
    // picture until a key frame came. And every request is sent: the RTP
    // session drops one whose packet it expects too late (the latency less
    // how late the packet is less the jitter buffer's average retransmission
    // round trip), and that average, which a queue's peaks push to 0.5-0.6 s
    // on poor Wi-Fi while the median is 0.14 s, had it drop every request
    // made behind a queue (kRequestDeadlineMs).
    g_signal_connect(rtpbin, "new-jitterbuffer", G_CALLBACK(+[](GstElement*, GstElement* jitterBuffer, guint, guint, gpointer) {
                       g_object_set(jitterBuffer, "do-retransmission", TRUE, "rtx-next-seqnum", FALSE, "faststart-min-packets",
                                    kFastStartPackets, "max-dropout-time", kMaxDropoutMs, "rtx-retry-period",
                                    gint(kJitterBufferMs), "rtx-deadline", kRequestDeadlineMs, nullptr);
                       holdReorderedRequests(jitterBuffer);
                     }),
                     nullptr);
    gst_object_unref(rtpbin);
  }
  sendSmallRecordsTwice(webrtc);
  handlers_.push_back(connectWeak(webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), core_));
  handlers_.push_back(connectWeak(webrtc, "notify::ice-connection-state", G_CALLBACK(onStateNotify), core_));
  handlers_.push_back(connectWeak(webrtc, "notify::connection-state", G_CALLBACK(onStateNotify), core_));
  handlers_.push_back(connectWeak(webrtc, "on-data-channel", G_CALLBACK(onDataChannel), core_));
  handlers_.push_back(connectWeak(webrtc, "on-new-transceiver", G_CALLBACK(onNewTransceiver), core_));
  handlers_.push_back(connectWeak(webrtc, "pad-added", G_CALLBACK(onPadAdded), core_));

  GstBus* bus = gst_element_get_bus(pipeline_.get());
  gst_bus_set_sync_handler(bus, &GstPeerConnection::onBusMessage, new std::weak_ptr<Core>(core_),
                           [](gpointer p) { delete static_cast<std::weak_ptr<Core>*>(p); });
  gst_object_unref(bus);

  if (!gst_bin_add(GST_BIN(pipeline_.get()), webrtc)) return false;
  if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    close();
    return false;
  }
  return true;
}

GstPeerConnection::~GstPeerConnection() { close(); }

void GstPeerConnection::setObserver(PeerConnectionObserver* observer) { core_->observer.set(observer); }

void GstPeerConnection::closeChannelsAndWait() {
  std::vector<Ref<GstWebRTCDataChannel>> closing;
  {
    std::lock_guard lock(core_->mutex);
    for (auto& weak : core_->channels) {
      if (auto channel = weak.lock()) {
        channel->silence();
        closing.push_back(Ref<GstWebRTCDataChannel>::share(channel->channel()));
      }
    }
    core_->channels.clear();
  }
  auto state = [](GstWebRTCDataChannel* c) {
    GstWebRTCDataChannelState s = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(c, "ready-state", &s, nullptr);
    return s;
  };
  for (auto& channel : closing) {
    const auto s = state(channel.get());
    if (s == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN || s == GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING) {
      gst_webrtc_data_channel_close(channel.get());
    }
  }
  // The stream reset has to leave before the transport stops, or the remote
  // side never learns that the channel closed.
  const auto deadline = std::chrono::steady_clock::now() + kChannelCloseGrace;
  while (!closing.empty() && std::chrono::steady_clock::now() < deadline) {
    std::erase_if(closing, [&](const auto& c) { return state(c.get()) == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED; });
    if (!closing.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void GstPeerConnection::close() {
  if (closed_) return;
  closed_ = true;
  core_->observer.set(nullptr);
  {
    std::lock_guard lock(core_->mutex);
    core_->closed = true;
  }
  for (auto& source : sources_) source->close();
  closeChannelsAndWait();

  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline_.get());
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_bus_set_flushing(bus, TRUE);
  gst_object_unref(bus);
  for (gulong id : handlers_) g_signal_handler_disconnect(webrtc_.get(), id);
  handlers_.clear();

  std::set<GstPromise*> pending;
  {
    std::lock_guard lock(core_->mutex);
    pending.swap(core_->pending);
  }
  for (GstPromise* promise : pending) {
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
  }
}

// ---- promises ----

void GstPeerConnection::withPromise(Reply reply, const std::function<void(GstPromise*)>& emit) {
  auto* context = new PromiseContext{std::move(reply), core_};
  GstPromise* promise = gst_promise_new_with_change_func(&GstPeerConnection::onPromiseChanged, context,
                                                         [](gpointer p) { delete static_cast<PromiseContext*>(p); });
  bool closed;
  {
    std::lock_guard lock(core_->mutex);
    closed = core_->closed;
    if (!closed) core_->pending.insert(gst_promise_ref(promise));
  }
  if (closed) {
    gst_promise_interrupt(promise);
  } else {
    emit(promise);
  }
  gst_promise_unref(promise);
}

void GstPeerConnection::onPromiseChanged(GstPromise* promise, gpointer data) {
  auto* context = static_cast<PromiseContext*>(data);
  // The result is already decided when this runs, so waiting does not block.
  const GstPromiseResult result = gst_promise_wait(promise);
  const GstStructure* reply = result == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
  if (!context->fired.exchange(true)) context->reply(result, reply);
  if (auto core = context->core.lock()) {
    std::lock_guard lock(core->mutex);
    // The replying side still holds its own reference here.
    if (core->pending.erase(promise)) gst_promise_unref(promise);
  }
}

void GstPeerConnection::makeDescription(const char* action, const char* field,
                                        std::function<void(GstSDPMessage*)> complete, SdpDone done) {
  std::string key = field;
  withPromise(
      [done = std::move(done), key, complete = std::move(complete)](GstPromiseResult result,
                                                                   const GstStructure* reply) {
        if (auto error = replyError(result, reply)) return done(std::move(*error));
        GstWebRTCSessionDescription* description = nullptr;
        if (reply) gst_structure_get(reply, key.c_str(), GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description, nullptr);
        if (!description || !description->sdp) {
          if (description) gst_webrtc_session_description_free(description);
          return done(engineError("The engine produced no session description"));
        }
        if (complete) complete(description->sdp);
        GCharPtr text(gst_sdp_message_as_text(description->sdp));
        gst_webrtc_session_description_free(description);
        done(std::string(text.get()));
      },
      [&](GstPromise* promise) { g_signal_emit_by_name(webrtc_.get(), action, nullptr, promise); });
}

void GstPeerConnection::createOffer(SdpDone done) {
  std::function<void(GstSDPMessage*)> complete;
  if (video_ && !sources_.empty()) {
    complete = [parameters = *video_, source = sources_.front()](GstSDPMessage* sdp) {
      auto [width, height] = source->size();
      // Before the capture has said its size, the largest it sends.
      if (width <= 0 || height <= 0) std::tie(width, height) = std::pair(1440, 900);
      completeScreenOffer(sdp, ScreenTrack{parameters.streamId, parameters.trackId, width, height,
                                           parameters.maxFramerate});
    };
  }
  makeDescription("create-offer", "offer", std::move(complete), std::move(done));
}

void GstPeerConnection::createAnswer(SdpDone done) {
  makeDescription("create-answer", "answer", nullptr, std::move(done));
}

void GstPeerConnection::applyDescription(const char* action, SdpType type, const std::string& sdp, Done done) {
  // The SDP parser accepts almost any text; webrtcbin would then take an
  // empty description as valid. Ours always carry at least one media section.
  GstSDPMessage* message = nullptr;
  if (sdp.rfind("v=0", 0) != 0 || gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK || !message ||
      gst_sdp_message_medias_len(message) == 0) {
    if (message) gst_sdp_message_free(message);
    return done(engineError("The session description cannot be parsed"));
  }
  // The description takes the message over.
  GstWebRTCSessionDescription* description = gst_webrtc_session_description_new(toGstSdpType(type), message);
  withPromise(
      [done = std::move(done)](GstPromiseResult result, const GstStructure* reply) {
        if (auto error = replyError(result, reply)) return done(std::move(*error));
        done(Status());
      },
      [&](GstPromise* promise) { g_signal_emit_by_name(webrtc_.get(), action, description, promise); });
  gst_webrtc_session_description_free(description);
}

void GstPeerConnection::setLocalDescription(SdpType type, const std::string& sdp, Done done) {
  applyDescription("set-local-description", type, sdp, std::move(done));
}

void GstPeerConnection::setRemoteDescription(SdpType type, const std::string& sdp, Done done) {
  applyDescription("set-remote-description", type, sdp, std::move(done));
}

bool GstPeerConnection::hasRemoteDescription() const {
  GstWebRTCSessionDescription* description = nullptr;
  g_object_get(webrtc_.get(), "remote-description", &description, nullptr);
  if (!description) return false;
  gst_webrtc_session_description_free(description);
  return true;
}

void GstPeerConnection::addIceCandidate(const IceCandidate& candidate, Done done) {
  if (closed_) return done(engineError("The connection was closed"));
  std::string line = candidate.candidate;
  if (line.rfind("a=", 0) == 0) line.erase(0, 2);
  // An empty line marks the end of the remote candidates; nothing to add.
  if (line.empty()) return done(Status());
  // webrtcbin drops malformed lines with only a log warning; say so instead.
  if (line.rfind("candidate:", 0) != 0 || candidate.sdpMLineIndex < 0) {
    return done(engineError("The ICE candidate is not a candidate line"));
  }
  g_signal_emit_by_name(webrtc_.get(), "add-ice-candidate", guint(candidate.sdpMLineIndex), line.c_str());
  done(Status());
}

void GstPeerConnection::getStats(std::function<void(std::vector<StatsEntry>)> done) {
  withPromise(
      [done = std::move(done), weak = std::weak_ptr<Core>(core_)](GstPromiseResult result, const GstStructure* reply) {
        if (result != GST_PROMISE_RESULT_REPLIED) return done({});
        std::vector<StatsEntry> entries = flattenStats(reply);
        if (auto core = weak.lock()) {
          std::lock_guard lock(core->mutex);
          if (!core->reportBlocks.empty()) {
            std::erase_if(entries, [](const StatsEntry& e) {
              auto it = e.find("type");
              return it != e.end() && it->second == StatsEntry::mapped_type(std::string("remote-inbound-rtp"));
            });
            for (const auto& [ssrc, block] : core->reportBlocks) entries.push_back(block);
          }
        }
        done(std::move(entries));
      },
      [&](GstPromise* promise) { g_signal_emit_by_name(webrtc_.get(), "get-stats", nullptr, promise); });
}

// ---- media and channels ----

std::shared_ptr<VideoSource> GstPeerConnection::addVideoTrack(const VideoSendParameters& parameters) {
  if (closed_) return nullptr;
  ElementRef appsrc = makeElement("appsrc");
  ElementRef convert = makeElement("videoconvert");
  ElementRef rawCaps = makeElement("capsfilter");
  ElementRef encoder = makeElement("x264enc");
  ElementRef h264Caps = makeElement("capsfilter");
  ElementRef payloader = makeElement("rtph264pay");
  ElementRef rtpCaps = makeElement("capsfilter");
  if (!appsrc || !convert || !rawCaps || !encoder || !h264Caps || !payloader || !rtpCaps) return nullptr;

  g_object_set(appsrc.get(), "is-live", TRUE, "do-timestamp", TRUE, "format", GST_FORMAT_TIME, "max-buffers",
               guint64(2), "block", FALSE, nullptr);
  gst_util_set_object_arg(G_OBJECT(appsrc.get()), "leaky-type", "downstream");
  setIfPresent(convert.get(), "n-threads", guint(2));
  CapsPtr i420(gst_caps_from_string("video/x-raw,format=I420"));
  g_object_set(rawCaps.get(), "caps", i420.get(), nullptr);

  gst_util_set_object_arg(G_OBJECT(encoder.get()), "tune", "zerolatency");
  gst_util_set_object_arg(G_OBJECT(encoder.get()), "speed-preset", "ultrafast");
  const guint kbps = guint(std::max(100, parameters.maxBitrate / 1000));
  // The start and the ceiling; webrtcbin 1.22 has no congestion control, so
  // the client peer's bitrate controller moves it from receiver reports. A
  // quarter second of bitrate bounds a frame (a key frame above all): its
  // burst then holds the input behind it on a narrow link no longer than that.
  // Key frames come when the receiver asks (a loss resends could not repair,
  // an undecodable frame); the periodic one is only a safety net, rare since
  // each held the input back (on the mobile link, every 4 s cost 12-48 ms of
  // round-trip p95 and 80-95 ms of glass-to-glass p95).
  g_object_set(encoder.get(), "bitrate", kbps, "vbv-buf-capacity", guint(250), "key-int-max",
               guint(std::max(1, parameters.maxFramerate) * kKeyFrameSafetySeconds), nullptr);
  CapsPtr h264(gst_caps_from_string("video/x-h264,profile=constrained-baseline"));
  g_object_set(h264Caps.get(), "caps", h264.get(), nullptr);
  g_object_set(payloader.get(), "config-interval", -1, nullptr);
  gst_util_set_object_arg(G_OBJECT(payloader.get()), "aggregate-mode", "zero-latency");
  CapsPtr rtp(gst_caps_from_string("application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000"));
  g_object_set(rtpCaps.get(), "caps", rtp.get(), nullptr);

  GstBin* bin = GST_BIN(pipeline_.get());
  GstElement* chain[] = {appsrc.get(), convert.get(), rawCaps.get(), encoder.get(),
                         h264Caps.get(), payloader.get(), rtpCaps.get()};
  for (GstElement* e : chain) gst_bin_add(bin, e);
  bool linked = true;
  for (size_t i = 0; i + 1 < std::size(chain); ++i) linked = linked && gst_element_link(chain[i], chain[i + 1]);
  GstPad* sink = gst_element_request_pad_simple(webrtc_.get(), "sink_%u");
  if (sink) g_object_set(sink, "msid", parameters.streamId.c_str(), nullptr);
  GstPad* src = gst_element_get_static_pad(rtpCaps.get(), "src");
  linked = linked && sink && gst_pad_link(src, sink) == GST_PAD_LINK_OK;
  gst_object_unref(src);
  if (sink) {
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(sink, "transceiver", &transceiver, nullptr);
    if (transceiver) {
      g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "do-nack", TRUE, nullptr);
      gst_object_unref(transceiver);
    }
    gst_object_unref(sink);
  }
  if (!linked) {
    for (GstElement* e : chain) {
      gst_element_set_state(e, GST_STATE_NULL);
      gst_bin_remove(bin, e);
    }
    return nullptr;
  }
  for (GstElement* e : chain) gst_element_sync_state_with_parent(e);

  auto source = std::make_shared<GstVideoSource>(std::move(appsrc), std::move(encoder));
  // The receiver's key frame requests come up from the RTP session as
  // force-key-unit events: they are paced by the source, not sent on as they come.
  if (GstPad* pad = gst_element_get_static_pad(payloader.get(), "sink")) {
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
          if (!gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) return GST_PAD_PROBE_OK;
          if (auto source = static_cast<std::weak_ptr<GstVideoSource>*>(data)->lock()) source->requestKeyFrame();
          return GST_PAD_PROBE_DROP;
        },
        new std::weak_ptr<GstVideoSource>(source),
        [](gpointer data) { delete static_cast<std::weak_ptr<GstVideoSource>*>(data); });
    gst_object_unref(pad);
  }
  sources_.push_back(source);
  {
    std::lock_guard lock(core_->mutex);
    core_->sources.push_back(source);
  }
  video_ = parameters;
  return source;
}

std::shared_ptr<DataChannel> GstPeerConnection::createDataChannel(const std::string& label, bool ordered) {
  if (closed_) return nullptr;
  StructurePtr options(gst_structure_new("data-channel-options", "ordered", G_TYPE_BOOLEAN, gboolean(ordered), nullptr));
  GstWebRTCDataChannel* channel = nullptr;
  g_signal_emit_by_name(webrtc_.get(), "create-data-channel", label.c_str(), options.get(), &channel);
  if (!channel) return nullptr;
  auto wrapped = core_->track(channel);
  g_object_unref(channel);
  return wrapped;
}

// ---- engine callbacks ----

void GstPeerConnection::onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core || !candidate || !*candidate) return;
  IceCandidate c;
  c.candidate = candidate;
  if (c.candidate.rfind("a=", 0) == 0) c.candidate.erase(0, 2);
  c.sdpMLineIndex = int(mline);
  core->observer.notify([&](PeerConnectionObserver& o) { o.onLocalCandidate(c); });
}

void GstPeerConnection::onStateNotify(GstElement* webrtc, GParamSpec*, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core) return;
  std::lock_guard order(core->stateMutex);
  GstWebRTCICEConnectionState ice = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
  GstWebRTCPeerConnectionState connection = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
  g_object_get(webrtc, "ice-connection-state", &ice, "connection-state", &connection, nullptr);
  core->reportState(combinedIceState(ice, connection));
  // webrtcbin's connection state counts DTLS as well: connected means the handshake is done.
  if (connection == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED && !core->secured) {
    core->secured = true;
    // What was encoded before the connection never arrived: start the
    // picture with a key frame rather than waiting for the receiver to ask.
    std::vector<std::shared_ptr<GstVideoSource>> sources;
    {
      std::lock_guard lock(core->mutex);
      for (auto& weak : core->sources) {
        if (auto source = weak.lock()) sources.push_back(source);
      }
    }
    for (auto& source : sources) source->startPicture();
    core->observer.notify([](PeerConnectionObserver& o) { o.onDtlsConnected(); });
  }
}

void GstPeerConnection::onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core || !channel) return;
  std::shared_ptr<DataChannel> wrapped = core->track(channel);
  core->observer.notify([&](PeerConnectionObserver& o) { o.onDataChannel(wrapped); });
}

void GstPeerConnection::onReceivingRtcp(GObject*, GstBuffer* buffer, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core) return;
  // The middle 32 bits of the NTP time now, the unit report blocks count
  // round trips in (the sessions stamp their sender reports from the same
  // real-time clock).
  const uint64_t ntpMicros = uint64_t(g_get_real_time()) + 2'208'988'800ULL * 1'000'000;
  const uint32_t now = uint32_t(((ntpMicros / 1'000'000) << 16) | ((ntpMicros % 1'000'000) * 65536 / 1'000'000));
  GstRTCPBuffer rtcp = GST_RTCP_BUFFER_INIT;
  if (!gst_rtcp_buffer_map(buffer, GST_MAP_READ, &rtcp)) return;
  GstRTCPPacket packet;
  for (bool more = gst_rtcp_buffer_get_first_packet(&rtcp, &packet); more; more = gst_rtcp_packet_move_to_next(&packet)) {
    const GstRTCPType type = gst_rtcp_packet_get_type(&packet);
    if (type != GST_RTCP_TYPE_RR && type != GST_RTCP_TYPE_SR) continue;
    for (guint i = 0; i < gst_rtcp_packet_get_rb_count(&packet); ++i) {
      guint32 ssrc = 0, highest = 0, jitter = 0, lsr = 0, dlsr = 0;
      guint8 fraction = 0;
      gint32 lost = 0;
      gst_rtcp_packet_get_rb(&packet, i, &ssrc, &fraction, &lost, &highest, &jitter, &lsr, &dlsr);
      const std::string local = "rtp-outbound-stream-stats_" + std::to_string(ssrc);
      StatsEntry block{{"type", std::string("remote-inbound-rtp")},
                       {"id", "rtp-remote-inbound-stream-stats_" + std::to_string(ssrc)},
                       {"local-id", local},
                       {"ssrc", int64_t(ssrc)},
                       {"fraction-lost", fraction / 256.0},
                       {"packets-lost", int64_t(lost)}};
      // No sender report of ours has reached the receiver yet: no round trip.
      if (lsr != 0) block["round-trip-time"] = double(uint32_t(now - lsr - dlsr)) / 65536;
      std::lock_guard lock(core->mutex);
      core->reportBlocks[ssrc] = std::move(block);
    }
  }
  gst_rtcp_buffer_unmap(&rtcp);
}

void GstPeerConnection::onNewTransceiver(GstElement*, GstWebRTCRTPTransceiver* transceiver, gpointer) {
  // Retransmission of lost packets (see kJitterBufferMs).
  g_object_set(transceiver, "do-nack", TRUE, nullptr);
}

void GstPeerConnection::onPadAdded(GstElement* webrtc, GstPad* pad, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core || GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
  GstElement* parent = GST_ELEMENT(gst_element_get_parent(webrtc));
  if (!parent) return;
  GstBin* bin = GST_BIN(parent);

  CapsPtr caps(gst_pad_get_current_caps(pad));
  if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
  const GstStructure* s = caps && gst_caps_get_size(caps.get()) > 0 ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
  const gchar* encoding = s ? gst_structure_get_string(s, "encoding-name") : nullptr;
  const bool h264Video = media && encoding && g_str_equal(media, "video") && g_str_equal(encoding, "H264");

  ElementRef queue = makeElement("queue");
  ElementRef depay = makeElement("rtph264depay");
  ElementRef parse = makeElement("h264parse");
  ElementRef decoder = makeElement("avdec_h264");
  ElementRef convert = makeElement("videoconvert");
  ElementRef sink = makeElement("appsink");
  if (!h264Video || !queue || !depay || !parse || !decoder || !convert || !sink) {
    // Anything else is drained so it cannot stall the bundle.
    ElementRef drain = makeElement("fakesink");
    g_object_set(drain.get(), "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(bin, drain.get());
    GstPad* target = gst_element_get_static_pad(drain.get(), "sink");
    gst_pad_link(pad, target);
    gst_object_unref(target);
    gst_element_sync_state_with_parent(drain.get());
    gst_object_unref(parent);
    return;
  }

  // Recover from loss or a late start: wait for a key frame and ask for one.
  g_object_set(depay.get(), "request-keyframe", TRUE, "wait-for-keyframe", TRUE, nullptr);
  gst_util_set_object_arg(G_OBJECT(decoder.get()), "thread-type", "slice");
  // A frame the decoder cannot decode asks for a key frame too.
  setIfPresent(decoder.get(), "automatic-request-sync-points", TRUE);
  setIfPresent(convert.get(), "n-threads", guint(2));
  CapsPtr bgra(gst_caps_from_string("video/x-raw,format=BGRA"));
  g_object_set(sink.get(), "caps", bgra.get(), "sync", FALSE, "max-buffers", guint(2), "drop", TRUE, nullptr);

  // The track installs its callbacks before anything can flow.
  auto track = std::make_shared<GstVideoTrack>(sink);
  GstElement* chain[] = {queue.get(), depay.get(), parse.get(), decoder.get(), convert.get(), sink.get()};
  for (GstElement* e : chain) gst_bin_add(bin, e);
  bool linked = true;
  for (size_t i = 0; i + 1 < std::size(chain); ++i) linked = linked && gst_element_link(chain[i], chain[i + 1]);
  for (GstElement* e : chain) gst_element_sync_state_with_parent(e);
  GstPad* target = gst_element_get_static_pad(queue.get(), "sink");
  linked = linked && gst_pad_link(pad, target) == GST_PAD_LINK_OK;
  gst_object_unref(target);
  gst_object_unref(parent);
  if (!linked) return;
  // The stream may begin between key frames: ask for one (a PLI) at once
  // rather than wait for the sender's next periodic one.
  auto repeater = std::make_shared<KeyFrameRepeater>(pad);
  KeyFrameRepeater::attach(repeater, depay.get(), parse.get());
  repeater->request();
  core->observer.notify([&](PeerConnectionObserver& o) { o.onVideoTrack(track); });
}

GstBusSyncReply GstPeerConnection::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  // A stopped element (encoder, decoder, transport) stops the media for good;
  // the connection reports itself failed so the session ends instead of
  // freezing.
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    if (auto core = lockWeak<Core>(data)) {
      std::lock_guard order(core->stateMutex);
      core->failed = true;
      core->reportState(IceConnectionState::kFailed);
    }
  }
  return GST_BUS_DROP;
}

}  // namespace kx::gst
