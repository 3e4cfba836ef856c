#include "platform/gst/request_hold.h"

#include <gst/rtp/gstrtpbuffer.h>

#include <memory>
#include <mutex>
#include <utility>

#include "media/reorder_window.h"

namespace kx::gst {
namespace {

struct Hold {
  GstPad* pad;  // the jitter buffer's sink pad: requests leave through it
  std::mutex mutex;
  ReorderWindow window;

  explicit Hold(GstPad* sink) : pad(GST_PAD(gst_object_ref(sink))) {}
  ~Hold() { gst_object_unref(pad); }

  // The jitter buffer's clock, which its own timers run on; none before it
  // plays or once it is torn down.
  GstClock* clock() const {
    GstElement* owner = gst_pad_get_parent_element(pad);
    GstClock* clock = owner ? gst_element_get_clock(owner) : nullptr;
    if (owner) gst_object_unref(owner);
    return clock;
  }
};

double seconds(GstClock* clock) { return double(gst_clock_get_time(clock)) / GST_SECOND; }

using HoldRef = std::shared_ptr<Hold>;

// The request being released passes the probe it was held by.
thread_local bool releasing = false;

void deleteRef(gpointer data) { delete static_cast<HoldRef*>(data); }

void arrived(Hold& hold, GstBuffer* buffer) {
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) return;
  const uint16_t sequence = gst_rtp_buffer_get_seq(&rtp);
  gst_rtp_buffer_unmap(&rtp);
  const bool retransmitted = GST_BUFFER_FLAG_IS_SET(buffer, GST_RTP_BUFFER_FLAG_RETRANSMISSION);
  GstClock* clock = hold.clock();
  if (!clock) return;
  const double now = seconds(clock);
  gst_object_unref(clock);
  std::lock_guard lock(hold.mutex);
  hold.window.arrived(sequence, now, retransmitted);
}

gboolean release(GstClock*, GstClockTime, GstClockID, gpointer data) {
  auto* held = static_cast<std::pair<HoldRef, GstEvent*>*>(data);
  auto& [hold, event] = *held;
  const GstStructure* request = gst_event_get_structure(event);
  guint sequence = 0;
  gst_structure_get_uint(request, "seqnum", &sequence);
  bool stillMissing = false;
  {
    std::lock_guard lock(hold->mutex);
    stillMissing = hold->window.missing(uint16_t(sequence));
  }
  // A jitter buffer torn down meanwhile has let go of its pad.
  GstElement* owner = stillMissing ? gst_pad_get_parent_element(hold->pad) : nullptr;
  if (owner) {
    releasing = true;
    gst_pad_push_event(hold->pad, std::exchange(event, nullptr));
    releasing = false;
    gst_object_unref(owner);
  }
  return TRUE;
}

void freeHeld(gpointer data) {
  auto* held = static_cast<std::pair<HoldRef, GstEvent*>*>(data);
  if (held->second) gst_event_unref(held->second);
  delete held;
}

GstPadProbeReturn onProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  const HoldRef& hold = *static_cast<HoldRef*>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    arrived(*hold, GST_PAD_PROBE_INFO_BUFFER(info));
    return GST_PAD_PROBE_OK;
  }
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    for (guint i = 0; i < gst_buffer_list_length(list); ++i) arrived(*hold, gst_buffer_list_get(list, i));
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  const GstStructure* request = gst_event_get_structure(event);
  guint sequence = 0, retry = 0;
  if (releasing || GST_EVENT_TYPE(event) != GST_EVENT_CUSTOM_UPSTREAM || !request ||
      !gst_structure_has_name(request, "GstRTPRetransmissionRequest") ||
      !gst_structure_get_uint(request, "seqnum", &sequence) || (gst_structure_get_uint(request, "retry", &retry) && retry > 0)) {
    return GST_PAD_PROBE_OK;
  }
  GstClock* clock = hold->clock();
  if (!clock) return GST_PAD_PROBE_OK;
  double wait = 0;
  {
    std::lock_guard lock(hold->mutex);
    wait = hold->window.holdFor(uint16_t(sequence), seconds(clock));
  }
  GstPadProbeReturn result = GST_PAD_PROBE_OK;
  if (wait > 0) {
    GstClockID id = gst_clock_new_single_shot_id(clock, gst_clock_get_time(clock) + GstClockTime(wait * GST_SECOND));
    // The clock owns the held request from here (a fresh id with a valid
    // time is always scheduled).
    auto* held = new std::pair<HoldRef, GstEvent*>(hold, gst_event_ref(event));
    if (gst_clock_id_wait_async(id, release, held, freeHeld) == GST_CLOCK_OK) result = GST_PAD_PROBE_DROP;
    gst_clock_id_unref(id);
  }
  gst_object_unref(clock);
  return result;
}

}  // namespace

void holdReorderedRequests(GstElement* jitterBuffer) {
  GstPad* sink = gst_element_get_static_pad(jitterBuffer, "sink");
  if (!sink) return;
  gst_pad_add_probe(sink,
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                    GST_PAD_PROBE_TYPE_EVENT_UPSTREAM),
                    onProbe, new HoldRef(std::make_shared<Hold>(sink)), deleteRef);
  gst_object_unref(sink);
}

}  // namespace kx::gst
