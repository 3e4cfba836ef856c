// Holds each first retransmission request a jitter buffer makes for as long
// as its stream's packets have lately come out of order (see ReorderWindow),
// and drops it if the packet arrives meanwhile.
#pragma once

#include <gst/gst.h>

namespace kx::gst {

// Watches what enters `jitterBuffer` and the requests it sends upstream, for
// as long as the element lives.
void holdReorderedRequests(GstElement* jitterBuffer);

}  // namespace kx::gst
