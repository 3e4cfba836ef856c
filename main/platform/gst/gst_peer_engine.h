// The media engine on GStreamer webrtcbin: host candidates only (loopback
// included, so two peers on one machine connect), one bundle, a 50 ms jitter
// buffer, x264 for the outgoing screen and libav for the incoming one.
#pragma once

#include <memory>

#include "protocol/peer_engine.h"

namespace kx {

// Null when GStreamer or one of the needed plugins is missing.
std::unique_ptr<PeerEngine> makeGstPeerEngine();

}  // namespace kx
