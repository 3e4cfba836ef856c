// The client's peer against the fake engine: the shared peer link's
// candidate buffering, resolution, channel rules and teardown are tested here.
#include "media/realtime_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "media/realtime_frame_sink.h"
#include "peer_test_util.h"
#include "support/fake_peer_engine.h"
#include "support/scratch.h"

namespace kx {
namespace {

const Error kInvalidAnswer = makeError("Invalid WebRTC answer", 1);
const Error kInvalidCandidate = makeError("Invalid WebRTC candidate", 1);

class RealtimePeerTest : public ::testing::Test {
 protected:
  RealtimePeerTest()
      : peer(std::make_unique<RealtimePeer>(loop, engine, rec.signal(), rec.receive(), rec.state())),
        pc(engine.last()),
        channel(pc->dataChannel()),
        source(pc->videoSource()) {}

  static Json answer(const std::string& sdp = mediaSdp()) { return Json{{"type", "answer"}, {"sdp", sdp}}; }
  Status candidate(const std::string& line, int index = 0, std::optional<std::string> mid = std::nullopt) {
    return steps.run(peer->accept(candidateMessage(line, index, std::move(mid))));
  }

  VirtualLoop loop;
  FakePeerEngine engine;
  PeerRecorder rec;
  std::unique_ptr<RealtimePeer> peer;
  std::shared_ptr<FakePeerConnection> pc;
  std::shared_ptr<FakeDataChannel> channel;
  std::shared_ptr<FakeVideoSource> source;
  StepRunner steps{loop};  // destroyed first: no step outlives the peer
};

TEST_F(RealtimePeerTest, OffersTheScreenTrackAndInputChannelOnceTheOfferIsTheLocalDescription) {
  EXPECT_EQ(pc->videoParameters()->trackId, "screen");
  peer->configure(1440, 900);
  EXPECT_EQ(source->format(), (FakeVideoSource::Format{1440, 900, 30}));

  pc->setDeferCompletions(true);
  auto& result = steps.start(peer->offer());
  pc->completeNext();  // createOffer
  loop.runUntilIdle();
  EXPECT_TRUE(rec.signals.empty());
  pc->completeAll();  // setLocalDescription
  loop.runUntilIdle();
  ASSERT_TRUE(result && result->ok());
  EXPECT_EQ(rec.signals, std::vector<Json>{(Json{{"type", "offer"}, {"sdp", pc->localDescription()->second}})});

  pc->setDeferCompletions(false);
  pc->setOfferResult(std::string());
  EXPECT_EQ(steps.run(peer->offer()).error(), makeError("WebRTC offer", 1));
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST_F(RealtimePeerTest, OneAnswerIsAppliedIfItTakesTheVideo) {
  pc->setOfferResult(mediaSdp());
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  for (const Json& ignored : {Json{{"sdp", "x"}}, Json{{"type", "offer"}, {"sdp", "x"}}, Json{{"type", "answer"}},
                              Json{{"type", "answer"}, {"sdp", 5}}, Json{{"type", "candidate"}}, Json{{"type", 3}}}) {
    EXPECT_TRUE(steps.run(peer->accept(ignored)).ok()) << ignored;
  }
  EXPECT_EQ(steps.run(peer->accept(answer(mediaSdp("0")))).error(), kInvalidAnswer);  // the rules are peer_rules'
  EXPECT_FALSE(pc->remoteDescription());
  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  EXPECT_TRUE(steps.run(peer->accept(answer(mediaSdp("9", "second")))).ok());
  EXPECT_EQ(pc->remoteDescription()->second, mediaSdp());
  const auto calls = pc->calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "setRemoteDescription:answer"), 1);
}

TEST_F(RealtimePeerTest, EarlyCandidatesFollowTheAnswerInArrivalOrderAndThe129thIsDropped) {
  EXPECT_EQ(candidate(std::string(4097, '1')).error(), kInvalidCandidate);  // refused ones are not held back
  for (int i = 0; i < 129; ++i) ASSERT_TRUE(candidate("candidate:" + std::to_string(i)).ok());
  EXPECT_TRUE(pc->addedCandidates().empty());
  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  auto added = pc->addedCandidates();
  ASSERT_EQ(added.size(), 128u);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(added[i].candidate, "candidate:" + std::to_string(i));
  EXPECT_LT(pc->log()->indexOf("setRemoteDescription:answer"), pc->log()->indexOf("addIceCandidate:candidate:0"));
  ASSERT_TRUE(candidate("candidate:late", 1).ok());  // later ones at once
  EXPECT_EQ(pc->addedCandidates().back().sdpMLineIndex, 1);
}

TEST_F(RealtimePeerTest, CandidatesNameTheMLineOfTheirIdElseTheirIndex) {
  pc->setOfferResult(mediaSdp("9", "screen-video"));
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  rec.signals.clear();
  const std::pair<int, std::optional<std::string>> locals[] = {{0, {}}, {1, {}}, {0, "engine-id"}, {7, {}}};
  for (const auto& [index, mid] : locals) pc->emitLocalCandidate(IceCandidate{"candidate:a", index, mid});
  loop.runUntilIdle();
  std::vector<Json> mids;
  for (const Json& s : rec.signals) mids.push_back(s["candidate"]["sdpMid"]);
  EXPECT_EQ(mids, (std::vector<Json>{"screen-video", "application1", "engine-id", "0"}));

  ASSERT_TRUE(candidate("candidate:early", 9, "application1").ok());  // resolved when the answer comes
  ASSERT_TRUE(steps.run(peer->accept(answer(mediaSdp("9", "video0")))).ok());
  EXPECT_EQ(pc->addedCandidates().front().sdpMLineIndex, 1);
  const struct {
    std::optional<std::string> mid;
    int index;
    std::optional<int> added;  // nullopt: refused
  } cases[] = {{"video0", 5, 0}, {"application1", 0, 1}, {"unknown", 1, 1}, {{}, 0, 0}, {"unknown", 2, {}}};
  for (const auto& c : cases) {
    const bool taken = candidate("candidate:x", c.index, c.mid).ok();
    const IceCandidate last = pc->addedCandidates().back();
    EXPECT_EQ(taken ? std::optional(last.sdpMLineIndex) : std::nullopt, c.added) << c.mid.value_or("-") << c.index;
    if (c.added) {
      EXPECT_EQ(last.sdpMid, *c.added == 0 ? "video0" : "application1");
    }
  }
}

TEST_F(RealtimePeerTest, ChannelTakesSmallBinaryMessagesAndSendsWhileLittleWaits) {
  channel->deliver(Bytes(8192, 1));
  channel->deliver(Bytes(8193, 2));
  loop.runUntilIdle();
  EXPECT_EQ(rec.received, std::vector<Bytes>{Bytes(8192, 1)});
  peer->send(toBytes("early"));
  channel->setState(DataChannelState::kOpen);
  channel->setBufferedAmount(65535);
  peer->send(toBytes("fits"));
  channel->setBufferedAmount(65536);
  peer->send(toBytes("congested"));
  EXPECT_EQ(channel->sent(), std::vector<Bytes>{toBytes("fits")});
}

TEST_F(RealtimePeerTest, ReceiverReportsMoveTheEncoderRateUntilClose) {
  auto reportWith = [&](double rtt) {
    pc->setStats({{{"type", std::string("remote-inbound-rtp")}, {"round-trip-time", rtt}, {"fraction-lost", 0.0}}});
    loop.advance(0.5);
  };
  ASSERT_EQ(source->state().rates.size(), 1u);  // the start, set at once
  const int start = source->state().rates.front().first;
  reportWith(0.02);
  reportWith(0.021);
  const size_t clean = source->state().rates.size();
  const int peak = source->state().rates.back().first;
  EXPECT_GT(peak, start);
  loop.advance(1);  // the same report again is no news
  EXPECT_EQ(source->state().rates.size(), clean);
  reportWith(0.3);  // a queue, seen twice
  reportWith(0.31);
  EXPECT_LT(source->state().rates.back().first, peak * 0.8);
  peer->close();
  reportWith(0.02);
  loop.advance(2);
  EXPECT_LT(source->state().rates.back().first, peak * 0.8) << "a closed peer moved the rate";
}

TEST_F(RealtimePeerTest, CloseTearsDownInOrderAndSilencesEverything) {
  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  channel->setState(DataChannelState::kOpen);
  loop.runUntilIdle();
  rec.states.clear();
  pc->setDeferCompletions(true);
  auto& offered = steps.start(peer->offer());  // a step still waiting ends closed
  // Events the engine reported just before close() are dropped too.
  pc->emitIceState(IceConnectionState::kFailed);
  channel->deliver(Bytes(4, 1));
  peer->close();
  pc->completeAll();
  EXPECT_FALSE(source->state().enabled);
  EXPECT_TRUE(channel->observer() == nullptr && pc->observer() == nullptr);
  EXPECT_EQ(channel->closeCalls(), 1);
  EXPECT_LT(pc->log()->indexOf("setObserver:null"), pc->log()->indexOf("close"));
  pc->emitLocalCandidate(IceCandidate{"candidate:x", 0, std::nullopt});
  channel->setState(DataChannelState::kClosed);
  peer->send(toBytes("after"));
  peer->push(std::make_shared<FakeFrameBuffer>(2, 2), 1);
  loop.runUntilIdle();
  EXPECT_EQ(offered->error(), connectionClosedError());
  EXPECT_TRUE(rec.silent());
  EXPECT_TRUE(channel->sent().empty());
  EXPECT_EQ(source->state().pushes, 0);
}

TEST(RealtimeFrameSink, OnlyCompleteFramesReachThePeerAndNoneAfterCloseReturns) {
  VirtualLoop loop;
  FakePeerEngine engine;
  auto peer = std::make_shared<RealtimePeer>(loop, engine, nullptr, nullptr, nullptr);
  auto source = engine.last()->videoSource();
  RealtimeFrameSink sink(peer);
  auto frame = std::make_shared<FakeFrameBuffer>(4, 2, 7);
  using S = FrameStatus;
  for (S s : {S::kIdle, S::kBlank, S::kSuspended, S::kStarted, S::kStopped}) sink.onFrame(frame, 10, s);
  sink.onFrame(nullptr, 20, S::kComplete);
  sink.onFrame(frame, 33'333'333, S::kComplete);
  EXPECT_EQ(source->state().times, std::vector<int64_t>{33'333'333});
  EXPECT_EQ(source->state().lastFrame, frame);
  // close() on the loop thread while the frame thread keeps pushing.
  std::atomic<bool> stop{false};
  std::atomic<int64_t> attempts{0};
  std::thread frames([&] {
    for (int64_t t = 0; !stop; ++t, ++attempts) sink.onFrame(frame, t, S::kComplete);
  });
  const bool flowing = testing::waitUntil([&] { return peer->framesSubmitted() >= 50; });
  peer->close();
  const int64_t atClose = source->state().pushes, attemptsAtClose = attempts;
  const bool kept = testing::waitUntil([&] { return attempts >= attemptsAtClose + 200; });
  stop = true;
  frames.join();
  ASSERT_TRUE(flowing && kept);
  EXPECT_EQ(source->state().pushes, atClose);
  EXPECT_EQ(source->state().pushesWhileDisabled, 0);
  EXPECT_EQ(peer->framesSubmitted(), atClose);
}

}  // namespace
}  // namespace kx
