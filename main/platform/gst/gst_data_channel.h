// DataChannel on a webrtcbin data channel (GstWebRTCDataChannel).
//
// Callbacks arrive on the connection's "<name>:pc" thread. Events that come
// before the first observer is set (a remote channel announced on an engine
// thread while its owner is still moving to its loop) are kept, up to a bound,
// and delivered in order when that observer is set.
#pragma once

#include <gst/webrtc/webrtc.h>

#include <deque>
#include <memory>
#include <vector>

#include "platform/gst/gst_support.h"
#include "platform/gst/observer_slot.h"
#include "protocol/peer_engine.h"

namespace kx::gst {

class GstDataChannel final : public DataChannel {
 public:
  // Adds a reference of its own to `channel`.
  static std::shared_ptr<GstDataChannel> wrap(GstWebRTCDataChannel* channel);
  ~GstDataChannel() override;

  std::string label() const override;
  DataChannelState state() const override;
  uint64_t bufferedAmount() const override;
  bool send(const uint8_t* data, size_t size) override;
  void setObserver(DataChannelObserver* observer) override;
  // Closing silences the channel: once close() returns, its observer hears
  // nothing more (not even the closed state it asked for).
  void close() override;
  // Silences the observer for good without closing (the connection's close()).
  void silence();

  GstWebRTCDataChannel* channel() const { return channel_.get(); }

  // Largest message webrtcbin accepts.
  static constexpr size_t kMaxMessageSize = 65536;

 private:
  struct Event {
    bool isState = false;
    DataChannelState state = DataChannelState::kConnecting;
    bool binary = true;
    Bytes bytes;
  };
  struct Core {
    ObserverSlot<DataChannelObserver> observer;
    std::mutex mutex;  // guards the fields below
    bool everObserved = false;
    bool silenced = false;
    std::deque<Event> early;
    size_t earlyBytes = 0;
    int lastState = 0;  // last GstWebRTCDataChannelState reported

    void deliver(Event event);
    static void dispatch(DataChannelObserver& o, const Event& event);
  };

  explicit GstDataChannel(GstWebRTCDataChannel* channel);
  static void onMessageData(GstWebRTCDataChannel* channel, GBytes* bytes, gpointer data);
  static void onMessageString(GstWebRTCDataChannel* channel, gchar* text, gpointer data);
  static void onReadyState(GObject* object, GParamSpec* property, gpointer data);

  Ref<GstWebRTCDataChannel> channel_;
  std::shared_ptr<Core> core_;
  std::vector<gulong> handlers_;
};

DataChannelState toDataChannelState(GstWebRTCDataChannelState state);

}  // namespace kx::gst
