#include "platform/gst/gst_peer_engine.h"

#include <thread>

#include "platform/gst/gst_peer_connection.h"
#include "platform/gst/gst_support.h"

namespace kx {
namespace {

class GstPeerEngine final : public PeerEngine {
 public:
  // The DTLS certificate every connection of the process shares is made when
  // the first DTLS element is: done here, off the loop, it no longer delays
  // the first offer by the key generation.
  GstPeerEngine()
      : warmUp_([] {
          if (GstElement* dtls = gst_element_factory_make("dtlsdec", nullptr)) gst_object_unref(gst_object_ref_sink(dtls));
        }) {}
  ~GstPeerEngine() override { warmUp_.join(); }

  std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                       PeerConnectionObserver* observer) override {
    return gst::GstPeerConnection::create(configuration, observer);
  }

 private:
  std::thread warmUp_;
};

bool pluginsPresent() {
  for (const char* name : {"webrtcbin", "appsrc", "appsink", "videoconvert", "x264enc", "rtph264pay",
                           "rtph264depay", "h264parse", "avdec_h264"}) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory) return false;
    gst_object_unref(factory);
  }
  return true;
}

}  // namespace

std::unique_ptr<PeerEngine> makeGstPeerEngine() {
  if (!gst::ensureInitialized() || !pluginsPresent()) return nullptr;
  return std::make_unique<GstPeerEngine>();
}

}  // namespace kx
