// Two real webrtcbin peers in one process over loopback, no ICE servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>

#include "platform/gst/gst_peer_connection.h"
#include "platform/gst/gst_peer_engine.h"
#include "platform/gst/offer_sdp.h"
#include "platform/gst/small_records.h"
#include "platform/gst/webrtc_values.h"
#include "support/loopback_peers.h"
#include "support/test_frames.h"

namespace kx {
namespace {

using testing::Bgra;
using testing::TestFrame;

class GstPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(engine) << "GStreamer or a needed plugin is missing";
    peers = std::make_unique<testing::LoopbackPeers>(*engine, loop);
    ASSERT_TRUE(peers->created());
  }
  bool send(testing::LoopbackSide& side, const Bytes& bytes) { return side.channel->send(bytes.data(), bytes.size()); }
  bool drained() {
    return peers->waitUntil([&] { return client().channel->bufferedAmount() == 0; }, 5);
  }
  testing::LoopbackSide& client() { return peers->client; }
  testing::LoopbackSide& technician() { return peers->technician; }

  RunLoop loop;
  std::unique_ptr<PeerEngine> engine = makeGstPeerEngine();
  std::unique_ptr<testing::LoopbackPeers> peers;
};

Bytes pattern(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

// Messages wait for the remote's observer, then cross intact and in order both
// ways up to the engine's limit. Then the technician clears its observers and
// the client closes: the remote hears of it, and neither the closed side nor
// the cleared one hears anything more.
TEST_F(GstPeers, InputChannelCarriesMessagesIntactAndClearedOrClosedObserversHearNothingMore) {
  technician().observeRemoteChannelsAtOnce = false;
  ASSERT_FALSE(peers->negotiate(false));
  ASSERT_TRUE(peers->waitConnected()) << "peers did not connect over loopback";
  EXPECT_EQ(technician().channel->label(), "kestrelix-input");
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(send(client(), Bytes{i}));
  ASSERT_TRUE(drained());
  EXPECT_TRUE(technician().messages.empty());
  technician().channel->setObserver(&technician());
  ASSERT_TRUE(peers->waitUntil([&] { return technician().messages.size() == 5; }, 5));
  EXPECT_EQ(technician().messages, (std::vector<Bytes>{{0}, {1}, {2}, {3}, {4}}));
  technician().messages.clear();
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(send(client(), pattern(8192, i)));
    ASSERT_TRUE(send(technician(), pattern(8192, 1000 + i)));
  }
  EXPECT_FALSE(send(client(), pattern(65537, 1)));
  ASSERT_TRUE(send(client(), pattern(65536, 2)));
  ASSERT_TRUE(peers->waitUntil([&] { return technician().messages.size() == 41 && client().messages.size() == 40; }, 10));
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(technician().messages[i], pattern(8192, i)) << "message " << i;
    EXPECT_EQ(client().messages[i], pattern(8192, 1000 + i)) << "message " << i;
  }
  EXPECT_EQ(technician().messages.back(), pattern(65536, 2));
  // A burst shows as buffered, then drains.
  uint64_t highest = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(send(client(), pattern(60000, 7)));
    highest = std::max(highest, client().channel->bufferedAmount());
  }
  EXPECT_GT(highest, 65535u) << "2.4 MB sent at once never showed as buffered";
  ASSERT_TRUE(peers->waitUntil([&] { return technician().messages.size() == 81; }, 20));
  ASSERT_TRUE(drained());

  technician().connection->setObserver(nullptr);
  technician().channel->setObserver(nullptr);
  technician().expectSilence = true;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(send(client(), pattern(100, 3)));
  ASSERT_TRUE(drained());
  client().expectSilence = true;
  client().connection->close();
  ASSERT_TRUE(peers->waitUntil([&] { return technician().channel->state() == DataChannelState::kClosed; }, 5))
      << "the remote never saw the channel close";
  EXPECT_EQ(client().callbacksAfterClose + technician().callbacksAfterClose, 0);
  EXPECT_FALSE(send(client(), Bytes{1}));
}

// Counts what arrives from the network at `side` that the sender sends twice.
class SmallRecordCounter {
 public:
  explicit SmallRecordCounter(testing::LoopbackSide& side) {
    auto* connection = dynamic_cast<gst::GstPeerConnection*>(side.connection.get());
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(connection->pipeline()));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
      auto* element = GST_ELEMENT(g_value_get_object(&item));
      GstElementFactory* factory = gst_element_get_factory(element);
      if (factory && std::string(GST_OBJECT_NAME(factory)) == "nicesrc") {
        GstPad* src = gst_element_get_static_pad(element, "src");
        probes_.emplace_back(src, gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, count, &counted_, nullptr));
      }
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
  }
  // The pipeline outlives the counter.
  ~SmallRecordCounter() {
    for (auto [pad, id] : probes_) {
      gst_pad_remove_probe(pad, id);
      gst_object_unref(pad);
    }
  }
  size_t sources() const { return probes_.size(); }
  int counted() const { return counted_; }

 private:
  static GstPadProbeReturn count(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstMapInfo map;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      if (gst::sentTwice(map.data, map.size)) ++*static_cast<std::atomic<int>*>(data);
      gst_buffer_unmap(buffer, &map);
    }
    return GST_PAD_PROBE_OK;
  }
  std::atomic<int> counted_{0};
  std::vector<std::pair<GstPad*, gulong>> probes_;
};

// Small messages cross the network twice and reach the remote once each, in
// order; large ones are not in small records at all.
TEST_F(GstPeers, SmallMessagesGoTwiceOnTheWireAndArriveOnce) {
  ASSERT_FALSE(peers->negotiate(false));
  ASSERT_TRUE(peers->waitConnected()) << "peers did not connect over loopback";
  SmallRecordCounter arriving(technician());
  ASSERT_EQ(arriving.sources(), 1u) << "one bundled transport";
  std::vector<Bytes> sent;
  for (uint32_t i = 0; i < 20; ++i) {
    sent.push_back(pattern(150, i));
    ASSERT_TRUE(send(client(), sent.back()));
  }
  ASSERT_TRUE(peers->waitUntil([&] { return technician().messages.size() >= 20 && arriving.counted() >= 40; }, 5))
      << arriving.counted() << " small records arrived for 20 messages";
  const int small = arriving.counted();
  for (uint32_t i = 0; i < 5; ++i) {
    sent.push_back(pattern(1000, 100 + i));
    ASSERT_TRUE(send(client(), sent.back()));
  }
  ASSERT_TRUE(peers->waitUntil([&] { return technician().messages.size() >= 25; }, 5));
  ASSERT_TRUE(drained());
  EXPECT_EQ(technician().messages, sent);
  EXPECT_LT(arriving.counted() - small, 5) << "large messages went in small records";
}

TEST(GstSmallRecords, OnlySmallDtlsDataAndReceiverReportsAreSentTwice) {
  const struct {
    uint8_t first, second;
    size_t size;
    bool twice;
  } cases[] = {
      {23, 0, 1, true},  {23, 0, gst::kMaxRecordSentTwice, true}, {23, 0, gst::kMaxRecordSentTwice + 1, false},
      {22, 0, 100, false},          // handshake: DTLS retransmits it itself
      {21, 0, 40, false},           // alert
      {0x80, 201, 100, true},       // RTCP receiver report (with its requests)
      {0x81, 201, 1400, false},     // ...unless large
      {0x80, 200, 100, false},      // RTCP sender report
      {0x80, 96, 100, false},       // RTP
      {0x80, 96 | 0x80, 100, false},  // RTP, marker set
      {0x40, 201, 100, false},      // not version 2
      {0x80, 0, 1, false},          // too short to tell
      {0x00, 0, 100, false},        // STUN
  };
  for (const auto& c : cases) {
    Bytes packet(c.size, 0);
    packet[0] = c.first;
    if (c.size > 1) packet[1] = c.second;
    EXPECT_EQ(gst::sentTwice(packet.data(), packet.size()), c.twice)
        << int(c.first) << "/" << int(c.second) << ", " << c.size << " bytes";
  }
  EXPECT_FALSE(gst::sentTwice(nullptr, 0));
}

TEST_F(GstPeers, PendingOperationsCompleteOnceAlsoWhenClosed) {
  std::atomic<int> completions{0};
  client().connection->createOffer([&](Expected<std::string>) { ++completions; });
  client().connection->close();
  EXPECT_EQ(completions, 1);  // either the offer came first or close() failed it; never both, never neither
  client().connection->createOffer([&](Expected<std::string> result) { completions += result.ok() ? 100 : 1; });
  EXPECT_EQ(completions, 2);
}

TEST_F(GstPeers, VideoWithPaddedRowsArrivesDecodedInItsColours) {
  ASSERT_FALSE(peers->negotiate(true));
  ASSERT_TRUE(peers->waitConnected()) << "peers did not connect over loopback";
  const int stride = 1440 * 4 + 256;  // as capture buffers often have
  auto first = std::make_shared<TestFrame>(1440, 900, stride, Bgra{200, 40, 30});
  first->fillRect(720, 450, 720, 450, Bgra{20, 220, 60});
  std::shared_ptr<const FrameBuffer> showing = first;
  Timer pusher = startRepeating(loop, 0.033, [&] { client().source->push(showing, 0); });  // as the capture does
  auto frameMatches = [&](Bgra topLeft, Bgra bottomRight) {
    auto frame = technician().lastFrame();
    // (760, 850) lies just right of the quadrant's edge: a misread row length moves that edge.
    return frame && frame->width() == 1440 && frame->height() == 900 &&
           testing::near(testing::pixelAt(*frame, 100, 100), topLeft) &&
           testing::near(testing::pixelAt(*frame, 1300, 800), bottomRight) &&
           testing::near(testing::pixelAt(*frame, 760, 850), bottomRight);
  };
  ASSERT_TRUE(peers->waitUntil([&] { return frameMatches(Bgra{200, 40, 30}, Bgra{20, 220, 60}); }, 10))
      << "first picture never arrived";

  // The sender reads the receiver's report about the video itself, with the
  // round trip worked out from the time of its own sender report.
  auto roundTrip = std::make_shared<std::atomic<double>>(-1);
  Timer asking = startRepeating(loop, 0.2, [&, roundTrip] {
    client().connection->getStats([roundTrip](std::vector<StatsEntry> entries) {
      auto text = [](const StatsEntry& e, const char* key) {
        auto it = e.find(key);
        return it != e.end() && std::holds_alternative<std::string>(it->second) ? std::get<std::string>(it->second) : "";
      };
      std::map<std::string, int64_t> sentBytes;  // outbound stream id: bytes sent
      for (const StatsEntry& e : entries) {
        auto bytes = e.find("bytes-sent");
        if (text(e, "type") == "outbound-rtp" && bytes != e.end()) sentBytes[text(e, "id")] = std::get<int64_t>(bytes->second);
      }
      const auto video = std::ranges::max_element(sentBytes, {}, &std::pair<const std::string, int64_t>::second);
      for (const StatsEntry& e : entries) {
        if (video != sentBytes.end() && text(e, "type") == "remote-inbound-rtp" && text(e, "local-id") == video->first &&
            e.contains("round-trip-time")) {
          *roundTrip = std::get<double>(e.at("round-trip-time"));
        }
      }
    });
  });
  ASSERT_TRUE(peers->waitUntil([&] { return *roundTrip > 0; }, 5)) << "no round trip in a report about the video";
  EXPECT_LT(*roundTrip, 0.5);
}

TEST(GstOffer, ProfileLevelIsTheSmallestThatCarriesThePicture) {
  const struct {
    int width, height, fps;
    const char* expected;
  } cases[] = {
      {1280, 720, 30, "42e01f"}, {1440, 900, 30, "42e028"}, {1920, 1080, 60, "42e02a"}, {3840, 2160, 30, "42e033"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gst::constrainedBaselineProfileLevel(c.width, c.height, c.fps), c.expected) << c.width << "x" << c.height;
  }
}

TEST(GstIceState, EitherStateConnectedIsConnectedAndAFailureInEitherWins) {
  using I = IceConnectionState;
  const std::tuple<GstWebRTCICEConnectionState, GstWebRTCPeerConnectionState, I> cases[] = {
      // A data-channel-only connection leaves the ICE state at "new".
      {GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED, I::kConnected},
      {GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED, I::kCompleted},
      {GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING, I::kChecking},
      {GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_FAILED, I::kFailed},
      {GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED, I::kDisconnected},
      {GST_WEBRTC_ICE_CONNECTION_STATE_FAILED, GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED, I::kClosed},
  };
  for (const auto& [ice, peer, combined] : cases) EXPECT_EQ(gst::combinedIceState(ice, peer), combined) << ice << " " << peer;
}

}  // namespace
}  // namespace kx
