// Two real webrtcbin peers in one process over loopback, no ICE servers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "platform/gst/gst_peer_engine.h"
#include "platform/gst/offer_sdp.h"
#include "platform/gst/webrtc_values.h"
#include "support/loopback_peers.h"
#include "support/test_frames.h"

namespace kx {
namespace {

using testing::Bgra;
using testing::LoopbackPeers;
using testing::TestFrame;

class GstPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = makeGstPeerEngine();
    ASSERT_TRUE(engine) << "GStreamer or a needed plugin is missing";
    peers = std::make_unique<LoopbackPeers>(*engine, loop);
    ASSERT_TRUE(peers->created());
  }
  void connect(bool video) {
    auto error = peers->negotiate(video);
    ASSERT_FALSE(error) << error->domain << ": " << error->description;
    ASSERT_TRUE(peers->waitConnected()) << "peers did not connect over loopback";
  }

  // Pushes a frame every 33 ms from another thread, as the capture does, until destroyed.
  class Pusher {
   public:
    Pusher(std::shared_ptr<VideoSource> source, std::function<std::shared_ptr<const FrameBuffer>()> next)
        : thread_([this, source, next] {
            std::unique_lock lock(mutex_);
            while (!stopped_.wait_for(lock, std::chrono::milliseconds(33), [this] { return stop_; })) {
              source->push(next(), 0);
            }
          }) {}
    ~Pusher() {
      {
        std::lock_guard lock(mutex_);
        stop_ = true;
      }
      stopped_.notify_all();
      thread_.join();
    }

   private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
  };

  RunLoop loop;
  std::unique_ptr<PeerEngine> engine;
  std::unique_ptr<LoopbackPeers> peers;
};

Bytes pattern(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = uint8_t(random());
  return bytes;
}

TEST_F(GstPeers, ConnectWithoutIceServersAndOpenTheInputChannel) {
  connect(false);
  EXPECT_GT(peers->client.candidatesSent, 0);
  EXPECT_GT(peers->technician.candidatesSent, 0);
  ASSERT_EQ(peers->technician.remoteChannelLabels.size(), 1u);
  EXPECT_EQ(peers->technician.remoteChannelLabels[0], "kestrelix-input");
  EXPECT_EQ(peers->client.channel->label(), "kestrelix-input");
  EXPECT_TRUE(peers->client.connection->hasRemoteDescription());
  EXPECT_TRUE(peers->technician.connection->hasRemoteDescription());
}

TEST_F(GstPeers, BinaryMessagesArriveIntactAndInOrderBothWays) {
  connect(false);
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(peers->client.channel->send(pattern(8192, i).data(), 8192));
    ASSERT_TRUE(peers->technician.channel->send(pattern(8192, 1000 + i).data(), 8192));
  }
  ASSERT_TRUE(peers->waitUntil(
      [&] { return peers->technician.messages.size() == kCount && peers->client.messages.size() == kCount; }, 10));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(peers->technician.messages[i], pattern(8192, i)) << "message " << i;
    EXPECT_EQ(peers->client.messages[i], pattern(8192, 1000 + i)) << "message " << i;
  }
}

TEST_F(GstPeers, BufferedAmountRisesUnderABurstAndDrains) {
  connect(false);
  const Bytes big = pattern(60000, 7);
  uint64_t highest = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(peers->client.channel->send(big.data(), big.size()));
    highest = std::max(highest, peers->client.channel->bufferedAmount());
  }
  EXPECT_GT(highest, 65535u) << "2.4 MB sent at once never showed as buffered";
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.messages.size() == 40; }, 20));
  EXPECT_TRUE(peers->waitUntil([&] { return peers->client.channel->bufferedAmount() == 0; }, 5));
}

TEST_F(GstPeers, MessagesBeforeTheRemoteObserverIsSetAreKeptInOrder) {
  peers->technician.observeRemoteChannelsAtOnce = false;
  ASSERT_FALSE(peers->negotiate(false));
  ASSERT_TRUE(peers->waitUntil([&] { return peers->client.channelOpen() && peers->technician.channel; }, 10));
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(peers->client.channel->send(&i, 1));
  loop.runUntil([] { return false; }, 0.3);
  EXPECT_TRUE(peers->technician.messages.empty());
  peers->technician.channel->setObserver(&peers->technician);
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.messages.size() == 5; }, 5));
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(peers->technician.messages[i], Bytes{i});
}

TEST_F(GstPeers, MessagesOverTheEngineLimitAreRefused) {
  connect(false);
  const Bytes tooBig = pattern(65537, 1);
  EXPECT_FALSE(peers->client.channel->send(tooBig.data(), tooBig.size()));
  const Bytes largest = pattern(65536, 2);
  EXPECT_TRUE(peers->client.channel->send(largest.data(), largest.size()));
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.messages.size() == 1; }, 5));
  EXPECT_EQ(peers->technician.messages[0], largest);
}

TEST_F(GstPeers, SendingBeforeTheChannelOpensIsRefused) {
  auto channel = peers->client.connection->createDataChannel("early", true);
  ASSERT_TRUE(channel);
  const uint8_t byte = 1;
  EXPECT_EQ(channel->state(), DataChannelState::kConnecting);
  EXPECT_FALSE(channel->send(&byte, 1));
}

TEST_F(GstPeers, ClosingTellsTheRemoteAndSilencesTheClosedSide) {
  connect(false);
  peers->client.expectSilence = true;
  peers->client.connection->close();
  // Everything the engine does from here on must stay away from the observers.
  ASSERT_TRUE(peers->waitUntil(
      [&] {
        auto& states = peers->technician.channelStates;
        return !states.empty() && states.back() == DataChannelState::kClosed;
      },
      5))
      << "the remote never saw the channel close";
  loop.runUntil([] { return false; }, 0.5);
  EXPECT_EQ(peers->client.callbacksAfterClose, 0);
  EXPECT_EQ(peers->client.channel->state(), DataChannelState::kClosed);
  const uint8_t byte = 1;
  EXPECT_FALSE(peers->client.channel->send(&byte, 1));
}

TEST_F(GstPeers, ClearedObserversHearNothingMore) {
  connect(false);
  peers->technician.connection->setObserver(nullptr);
  peers->technician.channel->setObserver(nullptr);
  peers->technician.expectSilence = true;
  const Bytes message = pattern(100, 3);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(peers->client.channel->send(message.data(), message.size()));
  peers->client.connection->close();
  loop.runUntil([] { return false; }, 0.5);
  EXPECT_EQ(peers->technician.callbacksAfterClose, 0);
  EXPECT_TRUE(peers->technician.messages.empty());
}

TEST_F(GstPeers, PendingOperationsCompleteOnceWhenClosed) {
  std::atomic<int> completions{0};
  peers->client.connection->createOffer([&](Expected<std::string>) { ++completions; });
  peers->client.connection->close();
  // Either the offer came first or close() failed it; never both, never neither.
  EXPECT_EQ(completions, 1);
  peers->client.connection->createOffer([&](Expected<std::string> result) {
    ++completions;
    EXPECT_FALSE(result.ok());
  });
  EXPECT_EQ(completions, 2);
}

TEST_F(GstPeers, MalformedSignallingFails) {
  auto garbage = peers->await<Status>(
      [&](auto done) { peers->technician.connection->setRemoteDescription(SdpType::kOffer, "not sdp", done); });
  EXPECT_FALSE(garbage.ok());
  auto candidate = peers->await<Status>([&](auto done) {
    peers->technician.connection->addIceCandidate(IceCandidate{"1 1 UDP 2130706431 127.0.0.1 9 typ host", 0, {}}, done);
  });
  EXPECT_FALSE(candidate.ok());
  auto answer = peers->await<Expected<std::string>>([&](auto done) { peers->technician.connection->createAnswer(done); });
  EXPECT_FALSE(answer.ok()) << "an answer without an offer";
  EXPECT_FALSE(peers->technician.connection->hasRemoteDescription());
}

TEST_F(GstPeers, VideoArrivesDecodedInItsColours) {
  connect(true);
  // Padded rows (as capture buffers often have) must not shear the picture.
  const int stride = 1440 * 4 + 256;
  std::atomic<int> phase{0};
  auto first = std::make_shared<TestFrame>(1440, 900, stride, Bgra{200, 40, 30});
  first->fillRect(720, 450, 720, 450, Bgra{20, 220, 60});
  auto second = std::make_shared<TestFrame>(1440, 900, stride, Bgra{30, 30, 230});
  Pusher pusher(peers->client.source, [&]() -> std::shared_ptr<const FrameBuffer> {
    if (phase == 0) return first;
    return second;
  });

  // The track appears with the first media packets.
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.track != nullptr; }, 5)) << "no remote video track";
  auto frameMatches = [&](Bgra topLeft, Bgra bottomRight) {
    auto frame = peers->technician.lastFrame();
    // (760, 850) lies just right of the quadrant's edge: a misread row length
    // moves that edge, so it lands outside.
    return frame && testing::near(testing::pixelAt(*frame, 100, 100), topLeft) &&
           testing::near(testing::pixelAt(*frame, 1300, 800), bottomRight) &&
           testing::near(testing::pixelAt(*frame, 760, 850), bottomRight);
  };
  ASSERT_TRUE(peers->waitUntil([&] { return frameMatches(Bgra{200, 40, 30}, Bgra{20, 220, 60}); }, 10))
      << "first picture never arrived; last top-left "
      << (peers->technician.lastFrame() ? testing::pixelAt(*peers->technician.lastFrame(), 100, 100) : Bgra{});
  auto frame = peers->technician.lastFrame();
  EXPECT_EQ(frame->width(), 1440);
  EXPECT_EQ(frame->height(), 900);
  EXPECT_GE(frame->stride(), 1440 * 4);

  phase = 1;
  EXPECT_TRUE(peers->waitUntil([&] { return frameMatches(Bgra{30, 30, 230}, Bgra{30, 30, 230}); }, 5))
      << "the picture did not follow the source";
}

TEST_F(GstPeers, StatisticsNameInboundAndOutboundVideo) {
  connect(true);
  auto frame = std::make_shared<TestFrame>(1440, 900, 1440 * 4, Bgra{90, 90, 90});
  Pusher pusher(peers->client.source, [&] { return frame; });
  ASSERT_TRUE(peers->waitUntil([&] { return peers->technician.framesRendered > 5; }, 10));

  auto hasEntry = [](const std::vector<StatsEntry>& entries, const std::string& type) {
    for (const auto& e : entries) {
      auto t = e.find("type");
      auto k = e.find("kind");
      if (t != e.end() && k != e.end() && std::get<std::string>(t->second) == type &&
          std::get<std::string>(k->second) == "video") {
        return true;
      }
    }
    return false;
  };
  auto inbound = peers->await<std::vector<StatsEntry>>([&](auto done) { peers->technician.connection->getStats(done); });
  EXPECT_TRUE(hasEntry(inbound, "inbound-rtp"));
  auto outbound = peers->await<std::vector<StatsEntry>>([&](auto done) { peers->client.connection->getStats(done); });
  EXPECT_TRUE(hasEntry(outbound, "outbound-rtp"));
}

TEST_F(GstPeers, OfferNamesTheScreenTrackAndTheH264FormatBrowsersExpect) {
  auto source = peers->client.connection->addVideoTrack(VideoSendParameters{});
  ASSERT_TRUE(source);
  source->configure(1440, 900, 30);
  auto offer = peers->await<Expected<std::string>>([&](auto done) { peers->client.connection->createOffer(done); });
  ASSERT_TRUE(offer.ok());
  EXPECT_NE(offer->find("a=msid:kestrelix-screen screen\r\n"), std::string::npos) << *offer;
  EXPECT_NE(offer->find("a=fmtp:96 packetization-mode=1;profile-level-id=42e028;level-asymmetry-allowed=1\r\n"),
            std::string::npos)
      << *offer;
  EXPECT_EQ(offer->find("webrtctransceiver"), std::string::npos) << "another track id is named";
  // webrtcbin takes the completed offer as its local description.
  auto set = peers->await<Status>(
      [&](auto done) { peers->client.connection->setLocalDescription(SdpType::kOffer, *offer, done); });
  EXPECT_TRUE(set.ok());
}

TEST(GstOffer, ProfileLevelIsTheSmallestThatCarriesThePicture) {
  struct Case {
    int width, height, fps;
    const char* expected;
  } cases[] = {
      {640, 480, 30, "42e01f"},   {1280, 720, 30, "42e01f"},  {1440, 900, 30, "42e028"},
      {1920, 1080, 30, "42e028"}, {1920, 1080, 60, "42e02a"}, {3840, 2160, 30, "42e033"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gst::constrainedBaselineProfileLevel(c.width, c.height, c.fps), c.expected) << c.width << "x" << c.height;
  }
}

TEST(GstIceState, EitherStateConnectedIsConnected) {
  using gst::combinedIceState;
  // A data-channel-only connection leaves the ICE state at "new".
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED),
            IceConnectionState::kConnected);
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED),
            IceConnectionState::kCompleted);
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_NEW, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING),
            IceConnectionState::kChecking);
}

TEST(GstIceState, AFailureInEitherStateWins) {
  using gst::combinedIceState;
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_FAILED),
            IceConnectionState::kFailed);
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED, GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED),
            IceConnectionState::kDisconnected);
  EXPECT_EQ(combinedIceState(GST_WEBRTC_ICE_CONNECTION_STATE_FAILED, GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED),
            IceConnectionState::kClosed);
}

}  // namespace
}  // namespace kx
