// The hold on a jitter buffer's first retransmission requests, on a real
// element under a test clock: requests are pushed up from downstream as the
// jitter buffer sends them, packets come in from upstream.
#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/gst/gst_support.h"
#include "platform/gst/request_hold.h"

namespace kx {
namespace {

constexpr GstClockTime kMs = GST_MSECOND;

class RequestHold : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gst::ensureInitialized());
    harness_ = gst_harness_new("identity");
    gst_harness_set_src_caps_str(harness_, "application/x-rtp,media=video,clock-rate=90000,encoding-name=H264");
    gst::holdReorderedRequests(harness_->element);
  }
  void TearDown() override { gst_harness_teardown(harness_); }

  void arrive(uint16_t sequence, GstClockTime at, bool retransmitted = false) {
    ASSERT_TRUE(gst_harness_set_time(harness_, at));
    GstBuffer* packet = gst_rtp_buffer_new_allocate(4, 0, 0);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    gst_rtp_buffer_map(packet, GST_MAP_WRITE, &rtp);
    gst_rtp_buffer_set_seq(&rtp, sequence);
    gst_rtp_buffer_unmap(&rtp);
    if (retransmitted) GST_BUFFER_FLAG_SET(packet, GST_RTP_BUFFER_FLAG_RETRANSMISSION);
    ASSERT_EQ(gst_harness_push(harness_, packet), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(harness_));
  }
  void request(uint16_t sequence, guint retry = 0) {
    gst_harness_push_upstream_event(
        harness_, gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM,
                                       gst_structure_new("GstRTPRetransmissionRequest", "seqnum", G_TYPE_UINT,
                                                         guint(sequence), "retry", G_TYPE_UINT, retry, nullptr)));
  }
  // The requests that went upstream since the last call.
  std::vector<uint16_t> sent() {
    std::vector<uint16_t> sequences;
    while (GstEvent* event = gst_harness_try_pull_upstream_event(harness_)) {
      const GstStructure* request = gst_event_get_structure(event);
      guint sequence = 0;
      if (request && gst_structure_get_uint(request, "seqnum", &sequence)) sequences.push_back(sequence);
      gst_event_unref(event);
    }
    return sequences;
  }
  // When the next held request is due.
  GstClockTime nextRelease() {
    GstTestClock* clock = gst_harness_get_testclock(harness_);
    const GstClockTime at = gst_test_clock_get_next_entry_time(clock);
    gst_object_unref(clock);
    return at;
  }
  // Runs the next held request's timer, if any.
  bool releaseNext() { return gst_harness_crank_single_clock_wait(harness_); }

  GstHarness* harness_ = nullptr;
};

TEST_F(RequestHold, WaitsOnlyAsLongAsTheLinkHasReorderedAndDropsWhatArrived) {
  arrive(0, 0);
  arrive(2, 10 * kMs);  // 1 goes missing
  request(1);
  EXPECT_EQ(sent(), std::vector<uint16_t>{1});  // nothing reordered yet: at once
  arrive(1, 25 * kMs);  // it was only 15 ms late

  arrive(4, 100 * kMs);  // 3 goes missing
  request(3);
  EXPECT_EQ(sent(), std::vector<uint16_t>{});  // held 15 ms from when it went missing
  EXPECT_EQ(nextRelease(), 115 * kMs);
  arrive(3, 105 * kMs);
  ASSERT_TRUE(releaseNext());
  EXPECT_EQ(sent(), std::vector<uint16_t>{});  // the packet came: never asked for

  arrive(6, 200 * kMs);  // 5 goes missing
  request(5);
  request(5, 1);  // a repeat is never held
  EXPECT_EQ(sent(), std::vector<uint16_t>{5});
  ASSERT_TRUE(releaseNext());
  EXPECT_EQ(sent(), std::vector<uint16_t>{5});  // still missing after the hold: asked for

  arrive(8, 300 * kMs);
  arrive(7, 340 * kMs, true);  // repaired by a resend, which says nothing of reordering
  arrive(10, 400 * kMs);
  request(9);
  EXPECT_EQ(nextRelease(), 415 * kMs);
}

}  // namespace
}  // namespace kx
