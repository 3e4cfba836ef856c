#include "platform/gst/small_records.h"

#include <algorithm>
#include <string_view>

namespace kx::gst {
namespace {

constexpr uint8_t kDtlsApplicationData = 23;
constexpr uint8_t kRtpVersionMask = 0xc0, kRtpVersion2 = 0x80;
constexpr uint8_t kRtcpReceiverReport = 201;

GstPadProbeReturn sendTwice(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  // The copy passes this probe on its way through.
  static thread_local bool copying = false;
  if (copying) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  uint8_t head[2] = {};
  const size_t size = gst_buffer_get_size(buffer);
  if (gst_buffer_extract(buffer, 0, head, sizeof head) != std::min(size, sizeof head) || !sentTwice(head, size)) {
    return GST_PAD_PROBE_OK;
  }
  // Streaming lock is recursive: the copy is rendered now, then the original.
  copying = true;
  (void)gst_pad_chain(pad, gst_buffer_copy(buffer));
  copying = false;
  return GST_PAD_PROBE_OK;
}

void onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
  GstElementFactory* factory = gst_element_get_factory(element);
  if (!factory || std::string_view(GST_OBJECT_NAME(factory)) != "nicesink") return;
  if (GstPad* sink = gst_element_get_static_pad(element, "sink")) {
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, sendTwice, nullptr, nullptr);
    gst_object_unref(sink);
  }
}

}  // namespace

bool sentTwice(const uint8_t* packet, size_t size) {
  if (size == 0 || size > kMaxRecordSentTwice) return false;
  if (packet[0] == kDtlsApplicationData) return true;
  return size >= 2 && (packet[0] & kRtpVersionMask) == kRtpVersion2 && packet[1] == kRtcpReceiverReport;
}

void sendSmallRecordsTwice(GstElement* webrtc) {
  g_signal_connect(webrtc, "deep-element-added", G_CALLBACK(onElementAdded), nullptr);
}

}  // namespace kx::gst
