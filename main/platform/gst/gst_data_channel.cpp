#include "platform/gst/gst_data_channel.h"

namespace kx::gst {
namespace {

// Bound on what is kept for a channel nobody observes yet; the newest is
// dropped beyond it.
constexpr size_t kMaxEarlyEvents = 256;
constexpr size_t kMaxEarlyBytes = 1 << 20;

GstWebRTCDataChannelState readyState(GstWebRTCDataChannel* channel) {
  GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
  g_object_get(channel, "ready-state", &state, nullptr);
  return state;
}

}  // namespace

DataChannelState toDataChannelState(GstWebRTCDataChannelState state) {
  switch (state) {
    case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN: return DataChannelState::kOpen;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING: return DataChannelState::kClosing;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED: return DataChannelState::kClosed;
    default: return DataChannelState::kConnecting;
  }
}

void GstDataChannel::Core::dispatch(DataChannelObserver& o, const Event& event) {
  if (event.isState) {
    o.onStateChange(event.state);
  } else {
    o.onMessage(event.bytes.data(), event.bytes.size(), event.binary);
  }
}

void GstDataChannel::Core::deliver(Event event) {
  {
    std::lock_guard lock(mutex);
    if (silenced) return;
    if (!everObserved) {
      if (early.size() >= kMaxEarlyEvents || earlyBytes + event.bytes.size() > kMaxEarlyBytes) return;
      earlyBytes += event.bytes.size();
      early.push_back(std::move(event));
      return;
    }
  }
  observer.notify([&](DataChannelObserver& o) { dispatch(o, event); });
}

std::shared_ptr<GstDataChannel> GstDataChannel::wrap(GstWebRTCDataChannel* channel) {
  if (!channel) return nullptr;
  return std::shared_ptr<GstDataChannel>(new GstDataChannel(channel));
}

GstDataChannel::GstDataChannel(GstWebRTCDataChannel* channel)
    : channel_(Ref<GstWebRTCDataChannel>::share(channel)), core_(std::make_shared<Core>()) {
  core_->lastState = readyState(channel);
  handlers_.push_back(connectWeak(channel, "on-message-data", G_CALLBACK(onMessageData), core_));
  handlers_.push_back(connectWeak(channel, "on-message-string", G_CALLBACK(onMessageString), core_));
  handlers_.push_back(connectWeak(channel, "notify::ready-state", G_CALLBACK(onReadyState), core_));
}

GstDataChannel::~GstDataChannel() {
  core_->observer.set(nullptr);
  for (gulong id : handlers_) g_signal_handler_disconnect(channel_.get(), id);
}

void GstDataChannel::onMessageData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core) return;
  Event event;
  if (bytes) {
    gsize size = 0;
    auto* p = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
    event.bytes.assign(p, p + size);
  }
  core->deliver(std::move(event));
}

void GstDataChannel::onMessageString(GstWebRTCDataChannel*, gchar* text, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core) return;
  Event event;
  event.binary = false;
  if (text) event.bytes = toBytes(text);
  core->deliver(std::move(event));
}

void GstDataChannel::onReadyState(GObject* object, GParamSpec*, gpointer data) {
  auto core = lockWeak<Core>(data);
  if (!core) return;
  const GstWebRTCDataChannelState state = readyState(GST_WEBRTC_DATA_CHANNEL(object));
  {
    // notify can come from the caller's thread and the pc thread at once:
    // report each state once, in the order the channel reached it.
    std::lock_guard lock(core->mutex);
    if (core->lastState == state) return;
    core->lastState = state;
  }
  Event event;
  event.isState = true;
  event.state = toDataChannelState(state);
  core->deliver(std::move(event));
}

std::string GstDataChannel::label() const {
  gchar* raw = nullptr;
  g_object_get(channel_.get(), "label", &raw, nullptr);
  GCharPtr label(raw);
  return label ? std::string(label.get()) : std::string();
}

DataChannelState GstDataChannel::state() const { return toDataChannelState(readyState(channel_.get())); }

uint64_t GstDataChannel::bufferedAmount() const {
  guint64 amount = 0;
  g_object_get(channel_.get(), "buffered-amount", &amount, nullptr);
  return amount;
}

bool GstDataChannel::send(const uint8_t* data, size_t size) {
  if (size > kMaxMessageSize) return false;
  if (readyState(channel_.get()) != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) return false;
  GBytes* bytes = g_bytes_new(data, size);
  GError* raw = nullptr;
  const gboolean ok = gst_webrtc_data_channel_send_data_full(channel_.get(), bytes, &raw);
  g_bytes_unref(bytes);
  GErrorPtr error(raw);
  return ok && !error;
}

void GstDataChannel::setObserver(DataChannelObserver* observer) {
  core_->observer.setThen(observer, [&](DataChannelObserver& o) {
    std::deque<Event> early;
    {
      std::lock_guard lock(core_->mutex);
      if (core_->everObserved || core_->silenced) return;
      core_->everObserved = true;
      early.swap(core_->early);
      core_->earlyBytes = 0;
    }
    // Still under the observer lock: later events wait until these are out.
    for (const Event& event : early) Core::dispatch(o, event);
  });
}

void GstDataChannel::silence() {
  {
    std::lock_guard lock(core_->mutex);
    core_->silenced = true;
    core_->early.clear();
    core_->earlyBytes = 0;
  }
  core_->observer.set(nullptr);
}

void GstDataChannel::close() {
  silence();
  const auto state = readyState(channel_.get());
  if (state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING || state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED) return;
  gst_webrtc_data_channel_close(channel_.get());
}

}  // namespace kx::gst
