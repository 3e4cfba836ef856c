// The technician's peer against the fake engine: answering, its channel and
// track, and teardown. The shared limits are peer_rules_test's.
#include "console/admin_peer.h"

#include <gtest/gtest.h>

#include "peer_test_util.h"
#include "support/fake_peer_engine.h"

namespace kx {
namespace {

const Error kInvalidCandidate = makeError("Invalid candidate", 1);

struct CountingRenderer : VideoRenderer {
  void onFrame(std::shared_ptr<const FrameBuffer>) override { ++frames; }
  int frames = 0;
};

class AdminPeerTest : public ::testing::Test {
 protected:
  AdminPeerTest()
      : peer(std::make_unique<AdminPeer>(loop, engine, &renderer, rec.signal(), rec.receive(), rec.state())),
        pc(engine.last()) {}

  static Json offer(const std::string& sdp = "v=0 offer") { return Json{{"type", "offer"}, {"sdp", sdp}}; }
  Status accept(const Json& message) { return steps.run(peer->accept(message)); }
  // The client's channel as it arrives at the console, already open.
  std::shared_ptr<FakeDataChannel> openChannel(const std::string& label = "kestrelix-input") {
    auto channel = std::make_shared<FakeDataChannel>(label, DataChannelState::kOpen);
    pc->emitDataChannel(channel);
    loop.runUntilIdle();
    return channel;
  }

  VirtualLoop loop;
  FakePeerEngine engine;
  PeerRecorder rec;
  CountingRenderer renderer;
  std::unique_ptr<AdminPeer> peer;
  std::shared_ptr<FakePeerConnection> pc;
  StepRunner steps{loop};
};

TEST_F(AdminPeerTest, EarlyCandidatesAreAddedBeforeOneAnswerIsMade) {
  EXPECT_EQ(accept(candidateMessage("candidate:1", 17)).error(), kInvalidCandidate);
  ASSERT_TRUE(accept(candidateMessage("candidate:a", 0, "0")).ok());
  ASSERT_TRUE(accept(candidateMessage("candidate:b", 1)).ok());
  EXPECT_TRUE(pc->calls().empty());
  EXPECT_EQ(accept(offer(std::string(48001, 'o'))).error(), makeError("Invalid offer", 1));
  ASSERT_TRUE(accept(offer()).ok());
  EXPECT_TRUE(accept(offer("second")).ok());
  EXPECT_TRUE(accept(offer(std::string(48001, 'o'))).ok());  // ignored before its size is looked at
  EXPECT_EQ(pc->calls(), (std::vector<std::string>{"setRemoteDescription:offer", "addIceCandidate:candidate:a",
                                                    "addIceCandidate:candidate:b", "createAnswer",
                                                    "setLocalDescription:answer"}));
  EXPECT_EQ(rec.signals, std::vector<Json>{(Json{{"type", "answer"}, {"sdp", pc->localDescription()->second}})});
}

TEST_F(AdminPeerTest, FailuresOfTheAnswerLeaveThePeerUsable) {
  pc->setRemoteDescriptionResult(makeError("GStreamer", 9, "bad sdp"));
  EXPECT_EQ(accept(offer("broken")).error(), makeError("GStreamer", 9, "bad sdp"));
  pc->setRemoteDescriptionResult(Status{});
  ASSERT_TRUE(accept(offer("good")).ok());
  for (const Expected<std::string>& answer : {Expected<std::string>(""), Expected<std::string>(makeError("GStreamer", 5, "no"))}) {
    AdminPeer other(loop, engine, nullptr, rec.signal(), rec.receive(), rec.state());
    engine.last()->setAnswerResult(answer);
    EXPECT_EQ(steps.run(other.accept(offer())).error(), answer ? makeError("Answer failed", 1) : answer.error());
  }
  EXPECT_EQ(rec.signals.size(), 1u);
}

TEST_F(AdminPeerTest, OnlyTheNewestInputChannelIsUsed) {
  EXPECT_FALSE(peer->send(toBytes("no channel")));
  auto stranger = openChannel("something-else");
  EXPECT_TRUE(stranger->closeCalls() == 1 && stranger->observer() == nullptr);
  EXPECT_FALSE(peer->send(toBytes("x")));
  auto first = openChannel();
  auto second = openChannel();
  EXPECT_EQ(first->observer(), nullptr);
  first->deliver(Bytes(1, 1));
  first->setState(DataChannelState::kClosed);
  second->deliver(Bytes(1, 2));
  loop.runUntilIdle();
  EXPECT_EQ(rec.received, std::vector<Bytes>{Bytes(1, 2)});
  EXPECT_TRUE(rec.states.empty());
  EXPECT_TRUE(peer->send(toBytes("y")));
  EXPECT_EQ(second->sent(), std::vector<Bytes>{toBytes("y")});
  using S = IceConnectionState;
  for (S s : {S::kNew, S::kChecking, S::kConnected, S::kCompleted, S::kFailed, S::kDisconnected, S::kClosed}) {
    pc->emitIceState(s);
  }
  second->setState(DataChannelState::kClosing);
  second->setState(DataChannelState::kClosed);
  loop.runUntilIdle();
  EXPECT_EQ(rec.states, (std::vector<std::string>{"connecting", "connecting", "connected", "connected", "closed",
                                                  "closed", "closed", "closed"}));
}

TEST_F(AdminPeerTest, SecondVideoTrackReplacesTheFirst) {
  auto log = std::make_shared<FakeCallLog>();
  auto first = std::make_shared<FakeVideoTrack>("first", log), second = std::make_shared<FakeVideoTrack>("second", log);
  pc->emitVideoTrack(first);
  pc->emitVideoTrack(second);
  loop.runUntilIdle();
  EXPECT_EQ(log->entries, (std::vector<std::string>{"first.add", "first.remove", "second.add"}));
  auto frame = std::make_shared<FakeFrameBuffer>(2, 2);
  for (auto* track : {first.get(), second.get(), second.get()}) track->render(frame);
  loop.runUntilIdle();
  EXPECT_EQ(renderer.frames, 2);
}

TEST_F(AdminPeerTest, CloseDetachesEverythingAndSilencesCallbacks) {
  auto track = std::make_shared<FakeVideoTrack>("video", pc->log());
  pc->emitVideoTrack(track);
  auto channel = openChannel();
  ASSERT_TRUE(accept(offer()).ok());
  rec.signals.clear();
  pc->emitIceState(IceConnectionState::kConnected);  // reported before, handled after close()
  peer->close();
  const auto log = pc->log();
  ASSERT_GE(log->indexOf("video.remove"), 0);
  EXPECT_LT(log->indexOf("video.remove"), log->indexOf("setObserver:null"));
  EXPECT_LT(log->indexOf("setObserver:null"), log->indexOf("close"));
  EXPECT_TRUE(channel->observer() == nullptr && channel->closeCalls() == 1);
  pc->emitIceState(IceConnectionState::kFailed);
  pc->emitLocalCandidate(IceCandidate{"candidate:z", 0, std::nullopt});
  pc->emitDataChannel(std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen));
  peer->statistics([&](const StatsEntry&) { ADD_FAILURE() << "statistics after close"; });
  loop.runUntilIdle();
  EXPECT_TRUE(rec.silent());
  EXPECT_FALSE(peer->send(toBytes("y")));
}

}  // namespace
}  // namespace kx
