#include "platform/gst/gst_peer_engine.h"

#include <thread>

#include "platform/gst/gst_peer_connection.h"
#include "platform/gst/gst_support.h"

namespace kx {
namespace {

// Every element a connection of either role makes.
constexpr const char* kElements[] = {"webrtcbin", "appsrc", "appsink", "videoconvert", "x264enc", "rtph264pay",
                                     "rtph264depay", "h264parse", "avdec_h264"};

void makeOnce(const char* name) {
  if (GstElement* element = gst_element_factory_make(name, nullptr)) gst_object_unref(gst_object_ref_sink(element));
}

class GstPeerEngine final : public PeerEngine {
 public:
  // Off the loop, before the first session needs them: the DTLS certificate
  // every connection of the process shares (made with the first DTLS
  // element), and the plugins behind the elements, whose first load (the
  // decoder's above all) otherwise stalls the start of the picture.
  GstPeerEngine()
      : warmUp_([] {
          makeOnce("dtlsdec");
          for (const char* name : kElements) makeOnce(name);
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
  for (const char* name : kElements) {
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
