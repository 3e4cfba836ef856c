// Translations from webrtcbin's values to the engine interface's.
#pragma once

#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <vector>

#include "protocol/peer_engine.h"

namespace kx::gst {

// webrtcbin keeps two states. With only a data channel the ICE state can stay
// "new" while the connection state reaches "connected", and a broken
// transport may show in either; the worse of the two wins and either one being
// connected is enough.
IceConnectionState combinedIceState(GstWebRTCICEConnectionState ice, GstWebRTCPeerConnectionState connection);

// The reply of "get-stats": one entry per report, with "id", "type" (the
// report type's name, e.g. "inbound-rtp") and, for RTP reports, "kind".
std::vector<StatsEntry> flattenStats(const GstStructure* reply);

}  // namespace kx::gst
