#include "media/realtime_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "media/realtime_frame_sink.h"
#include "peer_test_util.h"
#include "support/fake_peer_engine.h"
#include "support/scratch.h"

namespace kx {
namespace {

class RealtimePeerTest : public ::testing::Test {
 protected:
  RealtimePeerTest()
      : peer(std::make_unique<RealtimePeer>(loop, engine, rec.signal(), rec.receive(), rec.state())),
        pc(engine.last()),
        channel(pc->dataChannel()),
        source(pc->videoSource()) {}

  Json answer(const std::string& sdp = "v=0 answer") { return Json{{"type", "answer"}, {"sdp", sdp}}; }

  VirtualLoop loop;
  FakePeerEngine engine;
  PeerRecorder rec;
  std::unique_ptr<RealtimePeer> peer;
  std::shared_ptr<FakePeerConnection> pc;
  std::shared_ptr<FakeDataChannel> channel;
  std::shared_ptr<FakeVideoSource> source;
  StepRunner steps{loop};  // destroyed first: no step outlives the peer
};

TEST_F(RealtimePeerTest, BuildsScreenTrackAndOrderedInputChannel) {
  ASSERT_TRUE(pc->videoParameters());
  const VideoSendParameters p = *pc->videoParameters();
  EXPECT_EQ(p.trackId, "screen");
  EXPECT_EQ(p.streamId, "kestrelix-screen");
  EXPECT_EQ(p.maxBitrate, 3'000'000);
  EXPECT_EQ(p.maxFramerate, 30);
  EXPECT_TRUE(p.maintainResolution);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->label(), "kestrelix-input");
  EXPECT_EQ(pc->dataChannelOrdered(), true);
  EXPECT_NE(channel->observer(), nullptr);

  peer->configure(1440, 900);
  EXPECT_EQ(source->format(), (FakeVideoSource::Format{1440, 900, 30}));
}

TEST_F(RealtimePeerTest, OfferIsSignalledOnlyOnceItIsTheLocalDescription) {
  pc->setDeferCompletions(true);
  auto& result = steps.start(peer->offer());
  pc->completeNext();  // createOffer
  loop.runUntilIdle();
  EXPECT_TRUE(rec.signals.empty());
  pc->completeAll();  // setLocalDescription
  loop.runUntilIdle();
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->ok());
  EXPECT_EQ(pc->calls(), (std::vector<std::string>{"addVideoTrack", "createDataChannel:kestrelix-input",
                                                    "createOffer", "setLocalDescription:offer"}));
  const std::string sdp = pc->localDescription()->second;
  ASSERT_EQ(rec.signals.size(), 1u);
  EXPECT_EQ(rec.signals[0], (Json{{"type", "offer"}, {"sdp", sdp}}));
}

TEST_F(RealtimePeerTest, EmptyOfferFailsAsWebRtcOffer) {
  pc->setOfferResult(std::string());
  EXPECT_EQ(steps.run(peer->offer()).error(), makeError("WebRTC offer", 1));
  EXPECT_FALSE(pc->localDescription());
  EXPECT_TRUE(rec.signals.empty());
}

TEST_F(RealtimePeerTest, EngineErrorsOfTheOfferPassThrough) {
  const Error engineError = makeError("GStreamer", 7, "no encoder");
  pc->setOfferResult(engineError);
  EXPECT_EQ(steps.run(peer->offer()).error(), engineError);
  pc->setOfferResult(std::string("v=0 offer"));
  pc->setLocalDescriptionResult(engineError);
  EXPECT_EQ(steps.run(peer->offer()).error(), engineError);
  EXPECT_TRUE(rec.signals.empty());
}

TEST_F(RealtimePeerTest, AnswerOfExactly48000BytesIsAppliedOneMoreIsRejected) {
  EXPECT_EQ(steps.run(peer->accept(answer(std::string(48001, 'a')))).error(), makeError("Invalid WebRTC answer", 1));
  EXPECT_FALSE(pc->remoteDescription());
  const std::string sdp(48000, 'a');
  EXPECT_TRUE(steps.run(peer->accept(answer(sdp))).ok());
  EXPECT_EQ(pc->remoteDescription(), std::make_pair(SdpType::kAnswer, sdp));
}

TEST_F(RealtimePeerTest, RepeatedAnswerIsIgnored) {
  ASSERT_TRUE(steps.run(peer->accept(answer("first"))).ok());
  EXPECT_TRUE(steps.run(peer->accept(answer("second"))).ok());
  EXPECT_EQ(pc->remoteDescription()->second, "first");
  int sets = 0;
  for (const auto& call : pc->calls()) sets += call == "setRemoteDescription:answer";
  EXPECT_EQ(sets, 1);
}

TEST_F(RealtimePeerTest, UnknownAndIncompleteSignalsAreIgnored) {
  for (const Json& message : {Json{{"sdp", "x"}}, Json{{"type", "offer"}, {"sdp", "x"}}, Json{{"type", "answer"}},
                              Json{{"type", "answer"}, {"sdp", 5}}, Json{{"type", "candidate"}}, Json{{"type", 3}}}) {
    EXPECT_TRUE(steps.run(peer->accept(message)).ok()) << message;
  }
  EXPECT_FALSE(pc->remoteDescription());
  EXPECT_TRUE(pc->addedCandidates().empty());
}

TEST_F(RealtimePeerTest, EarlyCandidatesFollowTheAnswerInArrivalOrderAndThe129thIsDropped) {
  for (int i = 0; i < 129; ++i) {
    ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:" + std::to_string(i)))).ok());
  }
  EXPECT_TRUE(pc->addedCandidates().empty());

  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  auto added = pc->addedCandidates();
  ASSERT_EQ(added.size(), 128u);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(added[i].candidate, "candidate:" + std::to_string(i));
  EXPECT_LT(pc->log()->indexOf("setRemoteDescription:answer"), pc->log()->indexOf("addIceCandidate:candidate:0"));

  // Later candidates are applied at once.
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:late", 1, "0"))).ok());
  EXPECT_EQ(pc->addedCandidates().back().candidate, "candidate:late");
  EXPECT_EQ(pc->addedCandidates().back().sdpMLineIndex, 1);
}

TEST_F(RealtimePeerTest, FailedCandidateEndsTheFlushAndDropsTheRest) {
  const Error bad = makeError("GStreamer", 3, "bad candidate");
  pc->setCandidateResult([&](const IceCandidate& c) { return c.candidate == "candidate:1" ? Status(bad) : Status(); });
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:" + std::to_string(i)))).ok());

  EXPECT_EQ(steps.run(peer->accept(answer())).error(), bad);
  auto added = pc->addedCandidates();
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[1].candidate, "candidate:1");

  // The dropped ones are gone for good; new ones still go through.
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:9"))).ok());
  EXPECT_EQ(pc->addedCandidates().size(), 3u);
  EXPECT_EQ(steps.run(peer->accept(candidateMessage("candidate:1"))).error(), bad);
}

// The limits themselves are peer_rules_test's; here only that the client's names come out.
TEST_F(RealtimePeerTest, RefusedCandidateIsInvalidWebRtcCandidate) {
  EXPECT_EQ(steps.run(peer->accept(candidateMessage(candidateLine(4097)))).error(),
            makeError("Invalid WebRTC candidate", 1));
  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  EXPECT_TRUE(pc->addedCandidates().empty());  // nothing refused was held back
}

TEST_F(RealtimePeerTest, LocalCandidatesAreSignalledAsTheyAppear) {
  pc->emitLocalCandidate(IceCandidate{"candidate:b", 1, "video"});
  loop.runUntilIdle();
  ASSERT_EQ(rec.signals.size(), 1u);
  EXPECT_EQ(rec.signals[0], localCandidateSignal(IceCandidate{"candidate:b", 1, "video"}));
}

TEST_F(RealtimePeerTest, LocalCandidatesNameTheMediaIdOfTheirMLineInTheOffer) {
  pc->setOfferResult(mediaSdp("9", "screen-video"));
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  rec.signals.clear();
  pc->emitLocalCandidate(IceCandidate{"candidate:a", 0, std::nullopt});
  pc->emitLocalCandidate(IceCandidate{"candidate:b", 1, std::nullopt});
  pc->emitLocalCandidate(IceCandidate{"candidate:c", 0, "engine-id"});  // an engine's own id wins
  pc->emitLocalCandidate(IceCandidate{"candidate:d", 7, std::nullopt});  // no such m-line
  loop.runUntilIdle();
  std::vector<Json> mids;
  for (const Json& s : rec.signals) mids.push_back(s["candidate"]["sdpMid"]);
  EXPECT_EQ(mids, (std::vector<Json>{"screen-video", "application1", "engine-id", "0"}));
}

TEST_F(RealtimePeerTest, RemoteCandidatesGoToTheMLineTheirIdNamesElseTheirIndex) {
  const Error invalid = makeError("Invalid WebRTC candidate", 1);
  // Held back before the answer, resolved when it is applied.
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:early", 9, "application1"))).ok());
  ASSERT_TRUE(steps.run(peer->accept(answer(mediaSdp()))).ok());
  struct Case {
    std::optional<std::string> mid;
    int index;
    std::optional<int> added;  // nullopt: refused
  } cases[] = {
      {"video0", 5, 0}, {"application1", 0, 1}, {"unknown", 1, 1}, {std::nullopt, 0, 0}, {"unknown", 2, std::nullopt},
  };
  for (const Case& c : cases) {
    const size_t before = pc->addedCandidates().size();
    Status result = steps.run(peer->accept(candidateMessage("candidate:x", c.index, c.mid)));
    if (!c.added) {
      EXPECT_EQ(result.error(), invalid) << c.mid.value_or("-") << " " << c.index;
      EXPECT_EQ(pc->addedCandidates().size(), before);
      continue;
    }
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(pc->addedCandidates().back().sdpMLineIndex, *c.added) << c.mid.value_or("-") << " " << c.index;
    EXPECT_EQ(pc->addedCandidates().back().sdpMid, *c.added == 0 ? "video0" : "application1");
  }
  EXPECT_EQ(pc->addedCandidates().front().sdpMLineIndex, 1);
}

TEST_F(RealtimePeerTest, AnswerThatDeclinesTheVideoIsRefused) {
  pc->setOfferResult(mediaSdp());
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  for (const std::string& sdp : {mediaSdp("0"), mediaSdp("9", "video0", "VP8")}) {
    EXPECT_EQ(steps.run(peer->accept(answer(sdp))).error(), makeError("Invalid WebRTC answer", 1));
  }
  EXPECT_FALSE(pc->remoteDescription());
  EXPECT_TRUE(steps.run(peer->accept(answer(mediaSdp()))).ok());
}

TEST_F(RealtimePeerTest, StepsOfTheStartAreNamedAsTheyHappen) {
  std::vector<std::string> named;
  peer->setStepObserver([&](std::string_view s) { named.emplace_back(s); });
  pc->setOfferResult(mediaSdp());
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  pc->emitLocalCandidate(IceCandidate{"candidate:a", 0, std::nullopt});
  peer->push(std::make_shared<FakeFrameBuffer>(2, 2), 1);
  peer->push(std::make_shared<FakeFrameBuffer>(2, 2), 2);
  loop.runUntilIdle();
  ASSERT_TRUE(steps.run(peer->accept(answer(mediaSdp()))).ok());
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:b"))).ok());
  pc->emitIceState(IceConnectionState::kConnected);
  pc->emitDtlsConnected();
  channel->setState(DataChannelState::kOpen);
  loop.runUntilIdle();
  EXPECT_EQ(named, (std::vector<std::string>{"offer made", "first local candidate", "first frame captured",
                                              "answer applied", "first remote candidate", "ICE connected",
                                              "DTLS connected", "data channel open"}));
}

TEST_F(RealtimePeerTest, ReceiverReportsMoveTheEncoderRate) {
  auto reportWith = [&](double rtt) {
    pc->setStats({{{"type", std::string("remote-inbound-rtp")}, {"round-trip-time", rtt}, {"fraction-lost", 0.0}}});
  };
  ASSERT_EQ(source->rates(), (std::vector<std::pair<int, int>>{{1'000'000, 30}}));
  reportWith(0.02);
  loop.advance(0.5);
  reportWith(0.021);
  loop.advance(0.5);
  const size_t clean = source->rates().size();
  EXPECT_GT(source->rates().back().first, 1'000'000);
  loop.advance(1);  // the same report again is no news
  EXPECT_EQ(source->rates().size(), clean);
  reportWith(0.3);  // a queue, seen twice
  loop.advance(0.5);
  reportWith(0.31);
  loop.advance(0.5);
  EXPECT_LT(source->rates().back().first, 850'000);
  peer->close();
  reportWith(0.02);
  loop.advance(2);
  EXPECT_LT(source->rates().back().first, 850'000) << "a closed peer moved the rate";
}

TEST_F(RealtimePeerTest, IceAndChannelStatesMapToStateWords) {
  using S = IceConnectionState;
  for (S s : {S::kNew, S::kChecking, S::kConnected, S::kCompleted, S::kFailed, S::kDisconnected, S::kClosed}) {
    pc->emitIceState(s);
  }
  channel->setState(DataChannelState::kOpen);
  channel->setState(DataChannelState::kClosing);
  channel->setState(DataChannelState::kClosed);
  loop.runUntilIdle();
  EXPECT_EQ(rec.states, (std::vector<std::string>{"connecting", "connecting", "connected", "connected", "failed",
                                                  "disconnected", "closed", "connected", "closed"}));
}

TEST_F(RealtimePeerTest, IncomingMessagesWithinTheLimitAreDelivered) {
  channel->deliver(Bytes(8192, 1));
  channel->deliver(Bytes(8193, 2));
  loop.runUntilIdle();
  ASSERT_EQ(rec.received.size(), 1u);
  EXPECT_EQ(rec.received[0], Bytes(8192, 1));
}

TEST_F(RealtimePeerTest, SendNeedsAnOpenChannelWithAtMost65535BytesWaiting) {
  peer->send(toBytes("early"));
  channel->setState(DataChannelState::kOpen);
  channel->setBufferedAmount(65535);
  peer->send(toBytes("fits"));
  channel->setBufferedAmount(65536);
  peer->send(toBytes("congested"));
  EXPECT_EQ(channel->sent(), std::vector<Bytes>{toBytes("fits")});
}

TEST_F(RealtimePeerTest, CloseTearsDownInOrderAndSilencesEverything) {
  ASSERT_TRUE(steps.run(peer->accept(answer())).ok());
  channel->setState(DataChannelState::kOpen);
  loop.runUntilIdle();
  rec.states.clear();

  // Events the engine reported just before close() are dropped too.
  pc->emitIceState(IceConnectionState::kFailed);
  channel->deliver(Bytes(4, 1));
  peer->close();

  EXPECT_FALSE(source->enabled());
  EXPECT_EQ(channel->observer(), nullptr);
  EXPECT_EQ(channel->closeCalls(), 1);
  EXPECT_EQ(pc->observer(), nullptr);
  EXPECT_TRUE(pc->closed());
  EXPECT_LT(pc->log()->indexOf("setObserver:null"), pc->log()->indexOf("close"));

  pc->emitIceState(IceConnectionState::kClosed);
  pc->emitLocalCandidate(IceCandidate{"candidate:x", 0, std::nullopt});
  channel->setState(DataChannelState::kClosed);
  peer->send(toBytes("after"));
  peer->push(std::make_shared<FakeFrameBuffer>(2, 2), 1);
  loop.runUntilIdle();
  EXPECT_TRUE(rec.silent());
  EXPECT_TRUE(channel->sent().empty());
  EXPECT_EQ(source->pushes(), 0);
}

TEST_F(RealtimePeerTest, OfferCompletingAfterCloseSignalsNothing) {
  pc->setDeferCompletions(true);
  auto& result = steps.start(peer->offer());
  peer->close();
  pc->completeAll();
  loop.runUntilIdle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->error(), connectionClosedError());
  EXPECT_TRUE(rec.signals.empty());
}

TEST_F(RealtimePeerTest, DestroyedPeerLetsItsWaitingStepFinish) {
  pc->setDeferCompletions(true);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:" + std::to_string(i)))).ok());
  auto& result = steps.start(peer->accept(answer()));
  pc->completeNext();  // setRemoteDescription
  loop.runUntilIdle();
  peer.reset();
  pc->completeAll();
  loop.runUntilIdle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->error(), connectionClosedError());
  EXPECT_TRUE(pc->released());
  EXPECT_EQ(pc->addedCandidates().size(), 1u);  // the flush stopped with the peer
}

TEST_F(RealtimePeerTest, StateCallbackMayDestroyThePeer) {
  std::vector<std::string> states;
  std::unique_ptr<RealtimePeer> owned;
  owned = std::make_unique<RealtimePeer>(loop, engine, rec.signal(), rec.receive(), [&](const std::string& s) {
    states.push_back(s);
    if (s == "failed") owned.reset();
  });
  auto second = engine.last();
  second->emitIceState(IceConnectionState::kFailed);
  second->emitIceState(IceConnectionState::kClosed);
  loop.runUntilIdle();
  EXPECT_EQ(states, std::vector<std::string>{"failed"});
  EXPECT_TRUE(second->released());
}

TEST_F(RealtimePeerTest, EngineWithoutConnectionFailsTheOfferAndDropsTheRest) {
  engine.refuseConnections = true;
  RealtimePeer lone(loop, engine, rec.signal(), rec.receive(), rec.state());
  EXPECT_EQ(steps.run(lone.offer()).error(), noConnectionError());
  EXPECT_EQ(steps.run(lone.accept(answer())).error(), noConnectionError());
  lone.configure(10, 10);
  lone.push(std::make_shared<FakeFrameBuffer>(2, 2), 1);
  lone.send(toBytes("x"));
  EXPECT_EQ(lone.framesSubmitted(), 0);
  lone.close();
  EXPECT_TRUE(rec.silent());
}

TEST_F(RealtimePeerTest, MissingDataChannelDropsSendsButOffersStillWork) {
  engine.options.makesDataChannel = false;
  RealtimePeer noChannel(loop, engine, rec.signal(), rec.receive(), rec.state());
  noChannel.send(toBytes("x"));
  EXPECT_TRUE(steps.run(noChannel.offer()).ok());
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST(RealtimeFrameSink, OnlyCompleteFramesWithPixelsReachThePeer) {
  VirtualLoop loop;
  FakePeerEngine engine;
  auto peer = std::make_shared<RealtimePeer>(loop, engine, nullptr, nullptr, nullptr);
  auto source = engine.last()->videoSource();
  RealtimeFrameSink sink(peer);
  auto frame = std::make_shared<FakeFrameBuffer>(4, 2, 7);

  for (FrameStatus s : {FrameStatus::kIdle, FrameStatus::kBlank, FrameStatus::kSuspended, FrameStatus::kStarted,
                        FrameStatus::kStopped}) {
    sink.onFrame(frame, 10, s);
  }
  sink.onFrame(nullptr, 20, FrameStatus::kComplete);
  EXPECT_EQ(source->pushes(), 0);

  sink.onFrame(frame, 33'333'333, FrameStatus::kComplete);
  EXPECT_EQ(source->times(), std::vector<int64_t>{33'333'333});
  EXPECT_EQ(source->lastFrame(), frame);
  EXPECT_EQ(peer->framesSubmitted(), 1);
}

// close() on the loop thread while the frame thread keeps pushing: once
// close() has returned, no frame reaches the engine.
TEST(RealtimePeerFrames, NoFrameReachesTheEngineAfterCloseReturns) {
  VirtualLoop loop;
  FakePeerEngine engine;
  auto peer = std::make_shared<RealtimePeer>(loop, engine, nullptr, nullptr, nullptr);
  auto source = engine.last()->videoSource();
  RealtimeFrameSink sink(peer);
  auto frame = std::make_shared<FakeFrameBuffer>(16, 16);

  std::atomic<bool> stop{false};
  std::atomic<int64_t> attempts{0};
  std::thread frames([&] {
    for (int64_t t = 0; !stop.load(); ++t) {
      sink.onFrame(frame, t, FrameStatus::kComplete);
      attempts.fetch_add(1);
    }
  });
  const bool flowing = testing::waitUntil([&] { return peer->framesSubmitted() >= 50; });
  peer->close();
  const int64_t atClose = source->pushes();
  const int64_t attemptsAtClose = attempts.load();
  const bool kept = testing::waitUntil([&] { return attempts.load() >= attemptsAtClose + 200; });
  stop = true;
  frames.join();

  ASSERT_TRUE(flowing && kept);
  EXPECT_GE(atClose, 50);
  EXPECT_EQ(source->pushes(), atClose);
  EXPECT_EQ(source->pushesWhileDisabled(), 0);
  EXPECT_EQ(peer->framesSubmitted(), atClose);
}

}  // namespace
}  // namespace kx
