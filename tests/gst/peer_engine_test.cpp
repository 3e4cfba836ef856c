// Two real webrtcbin peers in one process over loopback, no ICE servers.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "platform/gst/gst_peer_engine.h"
#include "platform/gst/offer_sdp.h"
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
    engine = makeGstPeerEngine();
    ASSERT_TRUE(engine) << "GStreamer or a needed plugin is missing";
    peers = std::make_unique<testing::LoopbackPeers>(*engine, loop);
    ASSERT_TRUE(peers->created());
  }
  void connect(bool video) {
    auto error = peers->negotiate(video);
    ASSERT_FALSE(error) << error->domain << ": " << error->description;
    ASSERT_TRUE(peers->waitConnected()) << "peers did not connect over loopback";
  }
  bool send(testing::LoopbackSide& side, const Bytes& bytes) { return side.channel->send(bytes.data(), bytes.size()); }

  RunLoop loop;
  std::unique_ptr<PeerEngine> engine;
  std::unique_ptr<testing::LoopbackPeers> peers;
};

Bytes pattern(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

TEST_F(GstPeers, InputChannelCarriesMessagesIntactInOrderBothWaysUpToTheEngineLimit) {
  connect(false);
  EXPECT_GT(peers->client.candidatesSent, 0);
  EXPECT_GT(peers->technician.candidatesSent, 0);
  EXPECT_EQ(peers->technician.channel->label(), "kestrelix-input");
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(send(peers->client, pattern(8192, i)));
    ASSERT_TRUE(send(peers->technician, pattern(8192, 1000 + i)));
  }
  EXPECT_FALSE(send(peers->client, pattern(65537, 1)));
  ASSERT_TRUE(send(peers->client, pattern(65536, 2)));
  ASSERT_TRUE(peers->waitUntil(
      [&] { return peers->technician.messages.size() == kCount + 1 && peers->client.messages.size() == kCount; }, 10));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(peers->technician.messages[i], pattern(8192, i)) << "message " << i;
    EXPECT_EQ(peers->client.messages[i], pattern(8192, 1000 + i)) << "message " << i;
  }
  EXPECT_EQ(peers->technician.messages.back(), pattern(65536, 2));
  // A burst shows as buffered, then drains.
  uint64_t highest = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(send(peers->client, pattern(60000, 7)));
    highest = std::max(highest, peers->client.channel->bufferedAmount());
  }
  EXPECT_GT(highest, 65535u) << "2.4 MB sent at once never showed as buffered";
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.messages.size() == kCount + 41; }, 20));
  EXPECT_TRUE(peers->waitUntil([&] { return peers->client.channel->bufferedAmount() == 0; }, 5));
}

// Messages wait for the remote's observer. Then the technician clears its
// observers and the client closes: the remote hears of it, and neither the
// closed side nor the cleared one hears anything more.
TEST_F(GstPeers, EarlyMessagesWaitForTheObserverAndClearedOrClosedObserversHearNothingMore) {
  peers->technician.observeRemoteChannelsAtOnce = false;
  ASSERT_FALSE(peers->negotiate(false));
  ASSERT_TRUE(peers->waitUntil([&] { return peers->client.channelOpen() && peers->technician.channel; }, 10));
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(peers->client.channel->send(&i, 1));
  ASSERT_TRUE(peers->waitUntil([&] { return peers->client.channel->bufferedAmount() == 0; }, 5));
  EXPECT_TRUE(peers->technician.messages.empty());
  peers->technician.channel->setObserver(&peers->technician);
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.messages.size() == 5; }, 5));
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(peers->technician.messages[i], Bytes{i});

  peers->technician.connection->setObserver(nullptr);
  peers->technician.channel->setObserver(nullptr);
  peers->technician.expectSilence = true;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(send(peers->client, pattern(100, 3)));
  ASSERT_TRUE(peers->waitUntil([&] { return peers->client.channel->bufferedAmount() == 0; }, 5));
  peers->client.expectSilence = true;
  peers->client.connection->close();
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.channel->state() == DataChannelState::kClosed; }, 5))
      << "the remote never saw the channel close";
  EXPECT_EQ(peers->client.callbacksAfterClose, 0);
  EXPECT_EQ(peers->technician.callbacksAfterClose, 0);
  EXPECT_EQ(peers->technician.messages.size(), 5u);
  const uint8_t byte = 1;
  EXPECT_FALSE(peers->client.channel->send(&byte, 1));
}

TEST_F(GstPeers, PendingOperationsCompleteOnceAndMalformedSignallingFails) {
  auto early = peers->client.connection->createDataChannel("early", true);
  const uint8_t byte = 1;
  EXPECT_EQ(early->state(), DataChannelState::kConnecting);
  EXPECT_FALSE(early->send(&byte, 1));  // not open yet
  std::atomic<int> completions{0};
  peers->client.connection->createOffer([&](Expected<std::string>) { ++completions; });
  peers->client.connection->close();
  EXPECT_EQ(completions, 1);  // either the offer came first or close() failed it; never both, never neither
  peers->client.connection->createOffer([&](Expected<std::string> result) { completions += result.ok() ? 100 : 1; });
  EXPECT_EQ(completions, 2);

  auto& technician = *peers->technician.connection;
  EXPECT_FALSE(peers->await<Status>([&](auto done) { technician.setRemoteDescription(SdpType::kOffer, "not sdp", done); }).ok());
  EXPECT_FALSE(peers->await<Status>([&](auto done) {
                      technician.addIceCandidate(IceCandidate{"1 1 UDP 2130706431 127.0.0.1 9 typ host", 0, {}}, done);
                    }).ok());
  EXPECT_FALSE(peers->await<Expected<std::string>>([&](auto done) { technician.createAnswer(done); }).ok())
      << "an answer without an offer";
  EXPECT_FALSE(technician.hasRemoteDescription());
}

TEST_F(GstPeers, VideoArrivesDecodedInItsColours) {
  connect(true);
  // Padded rows (as capture buffers often have) must not shear the picture.
  const int stride = 1440 * 4 + 256;
  auto first = std::make_shared<TestFrame>(1440, 900, stride, Bgra{200, 40, 30});
  first->fillRect(720, 450, 720, 450, Bgra{20, 220, 60});
  std::shared_ptr<const FrameBuffer> showing = first;
  Timer pusher = startRepeating(loop, 0.033, [&] { peers->client.source->push(showing, 0); });  // as the capture does
  auto frameMatches = [&](Bgra topLeft, Bgra bottomRight) {
    auto frame = peers->technician.lastFrame();
    // (760, 850) lies just right of the quadrant's edge: a misread row length moves that edge.
    return frame && frame->width() == 1440 && frame->height() == 900 &&
           testing::near(testing::pixelAt(*frame, 100, 100), topLeft) &&
           testing::near(testing::pixelAt(*frame, 1300, 800), bottomRight) &&
           testing::near(testing::pixelAt(*frame, 760, 850), bottomRight);
  };
  ASSERT_TRUE(peers->waitUntil([&] { return frameMatches(Bgra{200, 40, 30}, Bgra{20, 220, 60}); }, 10))
      << "first picture never arrived";
  showing = std::make_shared<TestFrame>(1440, 900, stride, Bgra{30, 30, 230});
  EXPECT_TRUE(peers->waitUntil([&] { return frameMatches(Bgra{30, 30, 230}, Bgra{30, 30, 230}); }, 5))
      << "the picture did not follow the source";
}

TEST(GstOffer, ProfileLevelIsTheSmallestThatCarriesThePicture) {
  const struct {
    int width, height, fps;
    const char* expected;
  } cases[] = {
      {640, 480, 30, "42e01f"},   {1280, 720, 30, "42e01f"},  {1440, 900, 30, "42e028"},
      {1920, 1080, 30, "42e028"}, {1920, 1080, 60, "42e02a"}, {3840, 2160, 30, "42e033"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gst::constrainedBaselineProfileLevel(c.width, c.height, c.fps), c.expected) << c.width << "x" << c.height;
  }
}

TEST(GstIceState, EitherStateConnectedIsConnectedAndAFailureInEitherWins) {
  const struct {
    GstWebRTCICEConnectionState ice;
    GstWebRTCPeerConnectionState peer;
    IceConnectionState combined;
  } cases[] = {
      // A data-channel-only connection leaves the ICE state at "new".
      {GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED, IceConnectionState::kConnected},
      {GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED, IceConnectionState::kCompleted},
      {GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING, IceConnectionState::kChecking},
      {GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_FAILED, IceConnectionState::kFailed},
      {GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED,
       IceConnectionState::kDisconnected},
      {GST_WEBRTC_ICE_CONNECTION_STATE_FAILED, GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED, IceConnectionState::kClosed},
  };
  for (const auto& c : cases) EXPECT_EQ(gst::combinedIceState(c.ice, c.peer), c.combined) << c.ice << " " << c.peer;
}

}  // namespace
}  // namespace kx
