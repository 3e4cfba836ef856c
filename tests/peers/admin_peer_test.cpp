#include "console/admin_peer.h"

#include <gtest/gtest.h>

#include "peer_test_util.h"
#include "support/fake_peer_engine.h"

namespace kx {
namespace {

struct CountingRenderer : VideoRenderer {
  void onFrame(std::shared_ptr<const FrameBuffer>) override { ++frames; }
  int frames = 0;
};

class AdminPeerTest : public ::testing::Test {
 protected:
  AdminPeerTest()
      : peer(std::make_unique<AdminPeer>(loop, engine, &renderer, rec.signal(), rec.receive(), rec.state())),
        pc(engine.last()) {}

  Json offer(const std::string& sdp = "v=0 offer") { return Json{{"type", "offer"}, {"sdp", sdp}}; }

  // The client's channel as it arrives at the console, already open.
  std::shared_ptr<FakeDataChannel> openChannel(const std::string& label = "kestrelix-input") {
    auto channel = std::make_shared<FakeDataChannel>(label, DataChannelState::kOpen);
    pc->emitDataChannel(channel);
    loop.runUntilIdle();
    return channel;
  }

  int count(const std::string& call) {
    int n = 0;
    for (const auto& c : pc->calls()) n += c == call;
    return n;
  }

  VirtualLoop loop;
  FakePeerEngine engine;
  PeerRecorder rec;
  CountingRenderer renderer;
  std::unique_ptr<AdminPeer> peer;
  std::shared_ptr<FakePeerConnection> pc;
  StepRunner steps{loop};
};

TEST_F(AdminPeerTest, WaitsForTheOfferWithNothingOfItsOwn) {
  loop.runUntilIdle();
  EXPECT_TRUE(pc->calls().empty());
  EXPECT_TRUE(rec.silent());
}

TEST_F(AdminPeerTest, EarlyCandidatesAreAddedBeforeTheAnswerIsMade) {
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:a", 0, "0"))).ok());
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:b", 1))).ok());
  EXPECT_TRUE(pc->addedCandidates().empty());

  ASSERT_TRUE(steps.run(peer->accept(offer())).ok());
  EXPECT_EQ(pc->calls(), (std::vector<std::string>{"setRemoteDescription:offer", "addIceCandidate:candidate:a",
                                                    "addIceCandidate:candidate:b", "createAnswer",
                                                    "setLocalDescription:answer"}));
  EXPECT_EQ(pc->addedCandidates()[1].sdpMLineIndex, 1);
  ASSERT_EQ(rec.signals.size(), 1u);
  EXPECT_EQ(rec.signals[0], (Json{{"type", "answer"}, {"sdp", pc->localDescription()->second}}));
}

TEST_F(AdminPeerTest, CandidatesUseTheMediaIdsOfOfferAndAnswer) {
  pc->setAnswerResult(mediaSdp("9", "answer-video"));
  ASSERT_TRUE(steps.run(peer->accept(offer(mediaSdp("9", "offer-video")))).ok());
  ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:a", 0, "application1"))).ok());
  EXPECT_EQ(pc->addedCandidates().back().sdpMLineIndex, 1);
  EXPECT_EQ(steps.run(peer->accept(candidateMessage("candidate:b", 2, "none"))).error(),
            makeError("Invalid candidate", 1));
  pc->emitLocalCandidate(IceCandidate{"candidate:l", 0, std::nullopt});
  loop.runUntilIdle();
  EXPECT_EQ(rec.signals.back()["candidate"]["sdpMid"], "answer-video");
}

TEST_F(AdminPeerTest, StepsIncludeTheFirstDecodedFrameOnce) {
  std::vector<std::string> named;
  peer->setStepObserver([&](std::string_view s) { named.emplace_back(s); });
  ASSERT_TRUE(steps.run(peer->accept(offer())).ok());
  openChannel();
  auto track = std::make_shared<FakeVideoTrack>("video");
  pc->emitVideoTrack(track);
  loop.runUntilIdle();
  for (int i = 0; i < 2; ++i) track->render(std::make_shared<FakeFrameBuffer>(2, 2));
  loop.runUntilIdle();
  EXPECT_EQ(renderer.frames, 2);
  EXPECT_EQ(named, (std::vector<std::string>{"offer received", "answer made", "data channel open",
                                              "first frame decoded"}));
}

TEST_F(AdminPeerTest, AnswerIsSignalledOnlyAfterItIsTheLocalDescription) {
  pc->setDeferCompletions(true);
  auto& result = steps.start(peer->accept(offer()));
  for (int step = 0; step < 2; ++step) {  // setRemoteDescription, createAnswer
    pc->completeNext();
    loop.runUntilIdle();
  }
  EXPECT_TRUE(rec.signals.empty());
  pc->completeNext();
  loop.runUntilIdle();
  ASSERT_TRUE(result && result->ok());
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST_F(AdminPeerTest, OfferOfExactly48000BytesIsAnsweredOneMoreFails) {
  EXPECT_EQ(steps.run(peer->accept(offer(std::string(48001, 'o')))).error(), makeError("Invalid offer", 1));
  EXPECT_TRUE(pc->calls().empty());
  EXPECT_TRUE(steps.run(peer->accept(offer(std::string(48000, 'o')))).ok());
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST_F(AdminPeerTest, SecondOfferChangesNothing) {
  ASSERT_TRUE(steps.run(peer->accept(offer("first"))).ok());
  EXPECT_TRUE(steps.run(peer->accept(offer("second"))).ok());
  // Ignored before its size is even looked at.
  EXPECT_TRUE(steps.run(peer->accept(offer(std::string(48001, 'o')))).ok());
  EXPECT_EQ(count("setRemoteDescription:offer"), 1);
  EXPECT_EQ(count("createAnswer"), 1);
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST_F(AdminPeerTest, AnswerFailures) {
  pc->setAnswerResult(std::string());
  EXPECT_EQ(steps.run(peer->accept(offer())).error(), makeError("Answer failed", 1));

  AdminPeer other(loop, engine, nullptr, rec.signal(), rec.receive(), rec.state());
  const Error engineError = makeError("GStreamer", 5, "answer refused");
  engine.last()->setAnswerResult(engineError);
  EXPECT_EQ(steps.run(other.accept(offer())).error(), engineError);
  EXPECT_TRUE(rec.signals.empty());
}

TEST_F(AdminPeerTest, FailedCandidateDuringFlushMeansNoAnswer) {
  const Error bad = makeError("GStreamer", 3, "bad candidate");
  pc->setCandidateResult([&](const IceCandidate& c) { return c.candidate == "candidate:0" ? Status(bad) : Status(); });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(steps.run(peer->accept(candidateMessage("candidate:" + std::to_string(i)))).ok());
  EXPECT_EQ(steps.run(peer->accept(offer())).error(), bad);
  EXPECT_EQ(pc->addedCandidates().size(), 1u);
  EXPECT_EQ(count("createAnswer"), 0);
  EXPECT_TRUE(rec.signals.empty());
  // Still usable: later candidates go straight in.
  EXPECT_TRUE(steps.run(peer->accept(candidateMessage("candidate:7"))).ok());
  EXPECT_EQ(pc->addedCandidates().back().candidate, "candidate:7");
}

TEST_F(AdminPeerTest, FailedRemoteDescriptionStillAcceptsALaterOffer) {
  const Error refused = makeError("GStreamer", 9, "bad sdp");
  pc->setRemoteDescriptionResult(refused);
  EXPECT_EQ(steps.run(peer->accept(offer("broken"))).error(), refused);
  pc->setRemoteDescriptionResult(Status{});
  EXPECT_TRUE(steps.run(peer->accept(offer("good"))).ok());
  EXPECT_EQ(pc->remoteDescription()->second, "good");
  EXPECT_EQ(rec.signals.size(), 1u);
}

// The limits themselves are peer_rules_test's; here only that the console's names come out.
TEST_F(AdminPeerTest, RefusedCandidateIsInvalidCandidate) {
  EXPECT_EQ(steps.run(peer->accept(candidateMessage("candidate:1", 17))).error(), makeError("Invalid candidate", 1));
  ASSERT_TRUE(steps.run(peer->accept(offer())).ok());
  EXPECT_TRUE(pc->addedCandidates().empty());
}

TEST_F(AdminPeerTest, LocalCandidatesAreSignalledAsTheyAppear) {
  pc->emitLocalCandidate(IceCandidate{"candidate:l", 0, std::nullopt});
  loop.runUntilIdle();
  ASSERT_EQ(rec.signals.size(), 1u);
  EXPECT_EQ(rec.signals[0], localCandidateSignal(IceCandidate{"candidate:l", 0, std::nullopt}));
}

TEST_F(AdminPeerTest, ChannelWithAnotherLabelIsClosedAtOnce) {
  auto stranger = openChannel("something-else");
  EXPECT_EQ(stranger->closeCalls(), 1);
  EXPECT_EQ(stranger->observer(), nullptr);
  EXPECT_FALSE(peer->send(toBytes("x")));
  EXPECT_TRUE(stranger->sent().empty());
  EXPECT_TRUE(rec.states.empty());
}

TEST_F(AdminPeerTest, SendNeedsTheOpenChannelThatTakesIt) {
  EXPECT_FALSE(peer->send(toBytes("no channel")));
  auto channel = openChannel();
  EXPECT_TRUE(peer->send(toBytes("a")));
  channel->setBufferedAmount(65536);
  EXPECT_FALSE(peer->send(toBytes("b")));
  channel->setBufferedAmount(0);
  channel->setAcceptSends(false);
  EXPECT_FALSE(peer->send(toBytes("d")));
  channel->setAcceptSends(true);
  channel->setState(DataChannelState::kClosing);
  EXPECT_FALSE(peer->send(toBytes("e")));
  EXPECT_EQ(channel->sent(), (std::vector<Bytes>{toBytes("a")}));
}

TEST_F(AdminPeerTest, ReplacedChannelNoLongerReports) {
  auto first = openChannel();
  auto second = openChannel();
  EXPECT_EQ(first->observer(), nullptr);
  first->deliver(Bytes(1, 1));
  first->setState(DataChannelState::kClosed);
  second->deliver(Bytes(1, 2));
  loop.runUntilIdle();
  EXPECT_EQ(rec.received, std::vector<Bytes>{Bytes(1, 2)});
  EXPECT_TRUE(rec.states.empty());
  EXPECT_TRUE(peer->send(toBytes("x")));
  EXPECT_EQ(second->sent().size(), 1u);
}

TEST_F(AdminPeerTest, LossesOfTheConnectionAllReportClosed) {
  using S = IceConnectionState;
  for (S s : {S::kNew, S::kChecking, S::kConnected, S::kCompleted, S::kFailed, S::kDisconnected, S::kClosed}) {
    pc->emitIceState(s);
  }
  auto channel = openChannel();
  channel->setState(DataChannelState::kClosing);
  channel->setState(DataChannelState::kClosed);
  loop.runUntilIdle();
  EXPECT_EQ(rec.states, (std::vector<std::string>{"connecting", "connecting", "connected", "connected", "closed",
                                                  "closed", "closed", "closed"}));
}

TEST_F(AdminPeerTest, SecondVideoTrackReplacesTheFirst) {
  auto log = std::make_shared<FakeCallLog>();
  auto first = std::make_shared<FakeVideoTrack>("first", log);
  auto second = std::make_shared<FakeVideoTrack>("second", log);
  pc->emitVideoTrack(first);
  loop.runUntilIdle();
  pc->emitVideoTrack(second);
  loop.runUntilIdle();
  EXPECT_EQ(log->entries(), (std::vector<std::string>{"first.add", "first.remove", "second.add"}));

  auto frame = std::make_shared<FakeFrameBuffer>(2, 2);
  first->render(frame);
  second->render(frame);
  EXPECT_EQ(renderer.frames, 1);
}

TEST_F(AdminPeerTest, CloseDetachesEverythingAndSilencesCallbacks) {
  auto track = std::make_shared<FakeVideoTrack>("video", pc->log());
  pc->emitVideoTrack(track);
  auto channel = openChannel();
  ASSERT_TRUE(steps.run(peer->accept(offer())).ok());
  rec.signals.clear();

  pc->emitIceState(IceConnectionState::kConnected);  // reported before, handled after close()
  peer->close();

  const int removed = pc->log()->indexOf("video.remove");
  ASSERT_GE(removed, 0);
  EXPECT_LT(removed, pc->log()->indexOf("setObserver:null"));
  EXPECT_LT(pc->log()->indexOf("setObserver:null"), pc->log()->indexOf("close"));
  EXPECT_TRUE(track->renderers().empty());
  EXPECT_EQ(channel->observer(), nullptr);
  EXPECT_EQ(channel->closeCalls(), 1);
  EXPECT_FALSE(peer->send(toBytes("x")));

  pc->emitIceState(IceConnectionState::kFailed);
  pc->emitLocalCandidate(IceCandidate{"candidate:z", 0, std::nullopt});
  pc->emitDataChannel(std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen));
  channel->setState(DataChannelState::kClosed);
  int statisticsCalls = 0;
  peer->statistics([&](const StatsEntry&) { ++statisticsCalls; });
  loop.runUntilIdle();
  EXPECT_TRUE(rec.silent());
  EXPECT_EQ(statisticsCalls, 0);
  EXPECT_FALSE(peer->send(toBytes("y")));
}

TEST_F(AdminPeerTest, CandidateCompletingAfterCloseEndsWithoutTouchingThePeer) {
  ASSERT_TRUE(steps.run(peer->accept(offer())).ok());
  pc->setDeferCompletions(true);
  auto& result = steps.start(peer->accept(candidateMessage("candidate:late")));
  peer.reset();
  pc->completeAll();
  loop.runUntilIdle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->error(), connectionClosedError());
}

TEST_F(AdminPeerTest, StatisticsPassesInboundVideoEntriesInOrder) {
  pc->setStats({
      {{"type", std::string("outbound-rtp")}, {"kind", std::string("video")}},
      {{"type", std::string("inbound-rtp")}, {"kind", std::string("video")}, {"framesDecoded", int64_t{10}}},
      {{"type", std::string("inbound-rtp")}, {"kind", std::string("audio")}},
      {{"type", std::string("inbound-rtp")}},
      {{"type", std::string("inbound-rtp")}, {"kind", std::string("video")}, {"framesDecoded", int64_t{20}}},
  });
  std::vector<int64_t> decoded;
  peer->statistics([&](const StatsEntry& e) { decoded.push_back(std::get<int64_t>(e.at("framesDecoded"))); });
  loop.runUntilIdle();
  EXPECT_EQ(decoded, (std::vector<int64_t>{10, 20}));
}

}  // namespace
}  // namespace kx
