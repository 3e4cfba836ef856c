// Counts the frames and key frames an encoder element puts out, from a probe
// on its source pad (streaming thread). Must outlive the element's pipeline.
#pragma once

#include <gst/gst.h>

#include <atomic>

namespace kx::testing {

struct EncoderCount {
  std::atomic<bool> counting{true};
  std::atomic<int> frames{0}, keyFrames{0};

  // `name` is the element's name inside `pipeline`; false when there is none.
  bool attach(GstElement* pipeline, const char* name) {
    GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), name);
    if (!element) return false;
    GstPad* pad = gst_element_get_static_pad(element, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, onBuffer, this, nullptr);
    gst_object_unref(pad);
    gst_object_unref(element);
    return true;
  }

 private:
  static GstPadProbeReturn onBuffer(GstPad*, GstPadProbeInfo* info, gpointer self) {
    auto& count = *static_cast<EncoderCount*>(self);
    if (!count.counting) return GST_PAD_PROBE_OK;
    ++count.frames;
    if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info), GST_BUFFER_FLAG_DELTA_UNIT)) ++count.keyFrames;
    return GST_PAD_PROBE_OK;
  }
};

}  // namespace kx::testing
