// Small packets sent twice.
//
// The input channel is ordered: a lost message holds every later one until
// SCTP repairs it, which takes three later packets or a time-out. At a message
// every 100 ms over a 150 ms link with 3 % loss, one loss delayed four pings by
// 350-650 ms. A copy of each small DTLS record (input, pings, SACKs) makes a
// loss need both copies lost; the receiving DTLS drops the second one to
// arrive as a replay, so the peer, a browser included, sees each record once.
// The video receiver's reports go twice for the same reason: they carry its
// retransmission and key frame requests, and a lost request left its packet
// lost for good whenever a queue had made a second request too late (the
// picture froze for a second and waited for a key frame). SRTCP drops the
// replayed copy. Video goes as SRTP and bulk messages as large records: each
// once.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>

namespace kx::gst {

// Records up to this size go twice: a sealed input event or ping with its
// SCTP and DTLS headers fits with room to spare.
constexpr size_t kMaxRecordSentTwice = 400;

// Whether a packet on the ICE transport goes twice: a DTLS application-data
// record (content type 23; STUN starts below 4) or an RTCP compound that
// opens with a receiver report (a sender's opens with its sender report), of
// up to kMaxRecordSentTwice bytes. Reads at most the first two bytes.
bool sentTwice(const uint8_t* packet, size_t size);

// Every packet that sentTwice() accepts, of every ICE transport `webrtc`
// makes, now or later, goes out twice in a row.
void sendSmallRecordsTwice(GstElement* webrtc);

}  // namespace kx::gst
