// Small data-channel packets sent twice.
//
// The input channel is ordered: a lost message holds every later one until
// SCTP repairs it, which takes three later packets or a time-out. At a message
// every 100 ms over a 150 ms link with 3 % loss, one loss delayed four pings by
// 350-650 ms. A copy of each small DTLS record (input, pings, SACKs) makes a
// loss need both copies lost; the receiving DTLS drops the second one to
// arrive as a replay, so the peer, a browser included, sees each record once.
// Video goes as SRTP and bulk messages as large records: each once.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>

namespace kx::gst {

// Records up to this size go twice: a sealed input event or ping with its
// SCTP and DTLS headers fits with room to spare.
constexpr size_t kMaxRecordSentTwice = 400;

// Whether a packet on the ICE transport is a DTLS application-data record
// (content type 23; RTP and RTCP start at 128, STUN below 4) small enough to
// send twice.
bool sentTwice(const uint8_t* packet, size_t size);

// Every packet that sentTwice() accepts, of every ICE transport `webrtc`
// makes, now or later, goes out twice in a row.
void sendSmallRecordsTwice(GstElement* webrtc);

}  // namespace kx::gst
