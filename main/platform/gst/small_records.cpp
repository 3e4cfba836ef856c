#include "platform/gst/small_records.h"

#include <string_view>

namespace kx::gst {
namespace {

constexpr uint8_t kDtlsApplicationData = 23;

GstPadProbeReturn sendTwice(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  // The copy passes this probe on its way through.
  static thread_local bool copying = false;
  if (copying) return GST_PAD_PROBE_OK;
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  uint8_t first = 0;
  if (gst_buffer_extract(buffer, 0, &first, 1) != 1 || !sentTwice(&first, gst_buffer_get_size(buffer))) {
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
  return size > 0 && size <= kMaxRecordSentTwice && packet[0] == kDtlsApplicationData;
}

void sendSmallRecordsTwice(GstElement* webrtc) {
  g_signal_connect(webrtc, "deep-element-added", G_CALLBACK(onElementAdded), nullptr);
}

}  // namespace kx::gst
