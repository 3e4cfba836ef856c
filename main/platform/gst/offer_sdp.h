// What browsers expect of the screen track in an offer, added to the one
// webrtcbin makes. webrtcbin 1.22 names the track only in the legacy
// "a=ssrc:... msid:" form (with its transceiver's name as the track id) and
// writes no H.264 fmtp until the first frame has been encoded, which a peer
// then reads as packetization-mode 0 (RFC 6184 section 8.1).
#pragma once

#include <gst/sdp/sdp.h>

#include <string>

namespace kx::gst {

struct ScreenTrack {
  std::string streamId;
  std::string trackId;
  int width = 0;
  int height = 0;
  int framesPerSecond = 30;
};

// The constrained-baseline profile-level-id (RFC 6184 section 8.1, "42e0"
// plus the level) for the smallest level that carries the picture size at
// that rate; level 3.1 at least.
std::string constrainedBaselineProfileLevel(int width, int height, int framesPerSecond);

// On every H.264 video m-line that sends: "a=msid:<stream> <track>", the
// ssrc's msid renamed to match, and an fmtp with packetization-mode=1,
// level-asymmetry-allowed=1 and a profile-level-id (an existing one,
// taken from the encoded stream, is kept).
void completeScreenOffer(GstSDPMessage* sdp, const ScreenTrack& track);

}  // namespace kx::gst
