// Both peers against the fake engine, and the limits and readers they share:
// the shared rules are tested once, in their own tables; each peer's tests
// check that it applies them, and its own answering, channel, track and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "console/admin_peer.h"
#include "media/peer_rules.h"
#include "media/realtime_frame_sink.h"
#include "media/realtime_peer.h"
#include "runtime/basic_loop.h"
#include "runtime/task.h"
#include "support/fake_peer_engine.h"

namespace kx {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::SaveArg;

// Peer steps started on the loop; a result is set once the engine's completions have run.
struct Steps {
  explicit Steps(VirtualLoop& l) : loop(l) {}
  std::optional<Status>& start(Task<Status> step) {
    auto& out = results.emplace_back();
    scope.spawn([](Task<Status> task, std::optional<Status>* result) -> Task<void> {
      result->emplace(co_await std::move(task));
    }(std::move(step), &out));
    return out;
  }
  Status run(Task<Status> step) {
    auto& out = start(std::move(step));
    loop.runUntilIdle();
    return out.value_or(makeError("test", 0, "step did not finish"));
  }

  VirtualLoop& loop;
  std::deque<std::optional<Status>> results;
  TaskScope scope;  // destroyed first: no step writes a result that is gone
};

struct PeerRecorder {
  std::vector<Json> signals;
  std::vector<Bytes> received;
  std::vector<std::string> states;

  PeerSignalCallback signal() { return [this](const Json& m) { signals.push_back(m); }; }
  PeerReceiveCallback receive() { return [this](const Bytes& b) { received.push_back(b); }; }
  PeerStateCallback state() { return [this](const std::string& s) { states.push_back(s); }; }
  bool silent() const { return signals.empty() && received.empty() && states.empty(); }
};

Json candidateMessage(const std::string& line, std::optional<Json> index = 0, std::optional<std::string> mid = {}) {
  Json inner{{"candidate", line}};
  if (index) inner["sdpMLineIndex"] = *index;
  if (mid) inner["sdpMid"] = *mid;
  return Json{{"type", "candidate"}, {"candidate", inner}};
}

// Descriptions shaped like the engines' own: video then data channel, bundled.
std::string mediaSdp(const std::string& videoPort = "9", const std::string& videoMid = "video0",
                     const std::string& codec = "H264") {
  return "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE " + videoMid +
         " application1\r\nm=video " + videoPort + " UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 " + codec +
         "/90000\r\na=mid:" + videoMid + "\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:application1\r\n";
}

TEST(PeerLimits, CandidatesDescriptionsAndMessagesUpToTheirLimits) {
  const Error invalid = makeError("Invalid candidate", 1);
  const std::string line = "candidate:" + std::string(4086, '1');
  const struct {
    Json message;
    std::optional<int> index;  // nullopt: refused
  } cases[] = {
      {candidateMessage("candidate:1", 16), 16}, {candidateMessage("candidate:1", -1), {}},
      {candidateMessage("candidate:1", 17), {}}, {candidateMessage("candidate:1", "3"), 0},  // not an integer: 0
      {candidateMessage(line), 0}, {candidateMessage(line + "1"), {}},
  };
  for (const auto& c : cases) {
    const auto result = readRemoteCandidate(c.message, invalid);
    ASSERT_TRUE(result) << c.message.dump().substr(0, 80);
    EXPECT_EQ(result->ok() ? std::optional((*result)->sdpMLineIndex) : std::nullopt, c.index) << c.message.dump().substr(0, 80);
  }
  EXPECT_TRUE(sdpWithinLimit(std::string(48000, 'a')));
  EXPECT_FALSE(sdpWithinLimit(std::string(48001, 'a')));
  EXPECT_TRUE(acceptsIncomingMessage(8192, true));
  EXPECT_FALSE(acceptsIncomingMessage(8193, true));
  EXPECT_FALSE(acceptsIncomingMessage(2, false));  // text messages are not the protocol's
}

TEST(SdpMedia, AnAnswerMustTakeEveryOfferedVideoWithH264) {
  const auto offer = readSdpMedia(mediaSdp());
  const std::pair<std::string, bool> answers[] = {
      {mediaSdp(), true},
      {mediaSdp("0"), false},                   // video rejected
      {mediaSdp("9", "video0", "VP8"), false},  // no H.264 payload
      {"v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", false},
  };
  for (const auto& [answer, accepted] : answers) EXPECT_EQ(answerAcceptsVideo(offer, readSdpMedia(answer)), accepted) << answer;
}

// The technician's peer: answering, its channel and track, and teardown.
struct MockVideoTrack : VideoTrack {
  MOCK_METHOD(void, addRenderer, (VideoRenderer*), (override));
  MOCK_METHOD(void, removeRenderer, (VideoRenderer*), (override));
};
struct CountingRenderer : VideoRenderer {
  void onFrame(std::shared_ptr<const FrameBuffer>) override { ++frames; }
  int frames = 0;
};

class AdminPeerTest : public ::testing::Test {
 protected:
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
  std::unique_ptr<AdminPeer> peer =
      std::make_unique<AdminPeer>(loop, engine, &renderer, rec.signal(), rec.receive(), rec.state());
  std::shared_ptr<FakePeerConnection> pc = engine.last();
  Steps steps{loop};
};

// Early candidates are the shared link's, tested with the client's peer.
TEST_F(AdminPeerTest, OneOfferIsAnsweredAndFailuresLeaveThePeerUsable) {
  EXPECT_EQ(accept(offer(std::string(48001, 'o'))).error(), makeError("Invalid offer", 1));
  pc->setRemoteDescriptionResult(makeError("GStreamer", 9, "bad sdp"));
  EXPECT_EQ(accept(offer()).error(), makeError("GStreamer", 9, "bad sdp"));
  pc->setRemoteDescriptionResult(Status{});
  ASSERT_TRUE(accept(offer()).ok());
  EXPECT_TRUE(accept(offer("second")).ok());
  EXPECT_TRUE(accept(offer(std::string(48001, 'o'))).ok());  // ignored before its size is looked at
  EXPECT_THAT(pc->calls(), ElementsAre("setRemoteDescription:offer", "setRemoteDescription:offer", "createAnswer",
                                       "setLocalDescription:answer"));
  EXPECT_EQ(rec.signals, std::vector<Json>{(Json{{"type", "answer"}, {"sdp", pc->localDescription()->second}})});
}

TEST_F(AdminPeerTest, OnlyTheNewestInputChannelIsUsed) {
  EXPECT_FALSE(peer->send(toBytes("no channel")));
  auto stranger = openChannel("something-else");
  EXPECT_TRUE(stranger->closeCalls() == 1 && stranger->observer() == nullptr);
  auto first = openChannel();
  auto second = openChannel();
  EXPECT_EQ(first->observer(), nullptr);
  second->deliver(Bytes(1, 2));
  loop.runUntilIdle();
  EXPECT_EQ(rec.received, std::vector<Bytes>{Bytes(1, 2)});
  EXPECT_TRUE(peer->send(toBytes("y")));
  EXPECT_EQ(second->sent(), std::vector<Bytes>{toBytes("y")});
}

TEST_F(AdminPeerTest, ANewTrackReplacesTheOldAndCloseDetachesEverythingAndSilencesCallbacks) {
  auto first = std::make_shared<NiceMock<MockVideoTrack>>(), second = std::make_shared<NiceMock<MockVideoTrack>>();
  VideoRenderer* attached = nullptr;
  {
    InSequence order;
    EXPECT_CALL(*first, addRenderer(_));
    EXPECT_CALL(*first, removeRenderer(_));
    EXPECT_CALL(*second, addRenderer(_)).WillOnce(SaveArg<0>(&attached));
    EXPECT_CALL(*second, removeRenderer(_)).WillOnce([&](VideoRenderer*) { EXPECT_TRUE(pc->observer() && !pc->closed()); });
  }
  pc->emitVideoTrack(first);
  pc->emitVideoTrack(second);
  loop.runUntilIdle();
  ASSERT_TRUE(attached);
  attached->onFrame(std::make_shared<FakeFrameBuffer>(2, 2));
  auto channel = openChannel();
  ASSERT_TRUE(accept(offer()).ok());
  rec.signals.clear();
  pc->emitIceState(IceConnectionState::kConnected);  // reported before, handled after close()
  peer->close();  // the link's own teardown order is the client peer's test
  EXPECT_TRUE(channel->observer() == nullptr && channel->closeCalls() == 1);
  pc->emitIceState(IceConnectionState::kFailed);
  pc->emitLocalCandidate(IceCandidate{"candidate:z", 0, std::nullopt});
  pc->emitDataChannel(std::make_shared<FakeDataChannel>("kestrelix-input", DataChannelState::kOpen));
  peer->statistics([&](const StatsEntry&) { ADD_FAILURE() << "statistics after close"; });
  loop.runUntilIdle();
  EXPECT_EQ(renderer.frames, 1);
  EXPECT_TRUE(rec.silent());
  EXPECT_FALSE(peer->send(toBytes("y")));
}

// The client's peer: the shared peer link's candidate buffering, resolution,
// channel rules and teardown are tested here.
class RealtimePeerTest : public ::testing::Test {
 protected:
  static Json answer(const std::string& sdp = mediaSdp()) { return Json{{"type", "answer"}, {"sdp", sdp}}; }
  Status accept(const Json& message) { return steps.run(peer->accept(message)); }
  Status candidate(const std::string& line, int index = 0, std::optional<std::string> mid = std::nullopt) {
    return accept(candidateMessage(line, index, std::move(mid)));
  }

  VirtualLoop loop;
  FakePeerEngine engine;
  PeerRecorder rec;
  std::unique_ptr<RealtimePeer> peer =
      std::make_unique<RealtimePeer>(loop, engine, rec.signal(), rec.receive(), rec.state());
  std::shared_ptr<FakePeerConnection> pc = engine.last();
  std::shared_ptr<FakeDataChannel> channel = pc->dataChannel();
  std::shared_ptr<FakeVideoSource> source = pc->videoSource();
  Steps steps{loop};  // destroyed first: no step outlives the peer
};

TEST_F(RealtimePeerTest, EarlyCandidatesFollowTheOneAnswerThatTakesTheVideoAndThe129thIsDropped) {
  pc->setOfferResult(mediaSdp());
  ASSERT_TRUE(steps.run(peer->offer()).ok());
  EXPECT_EQ(candidate(std::string(4097, '1')).error(), makeError("Invalid WebRTC candidate", 1));  // not held back
  for (int i = 0; i < 129; ++i) ASSERT_TRUE(candidate("candidate:" + std::to_string(i)).ok());
  for (const Json& ignored : {Json{{"type", "offer"}, {"sdp", "x"}}, Json{{"type", "answer"}}, Json{{"type", 3}}}) {
    EXPECT_TRUE(accept(ignored).ok()) << ignored;
  }
  EXPECT_EQ(accept(answer(mediaSdp("0"))).error(), makeError("Invalid WebRTC answer", 1));
  EXPECT_TRUE(pc->addedCandidates().empty());
  ASSERT_TRUE(accept(answer()).ok());
  EXPECT_TRUE(accept(answer(mediaSdp("9", "second"))).ok());
  EXPECT_EQ(pc->remoteDescription()->second, mediaSdp());
  std::vector<std::string> expected = {"setRemoteDescription:answer"};
  for (int i = 0; i < 128; ++i) expected.push_back("addIceCandidate:candidate:" + std::to_string(i));
  const auto& calls = pc->calls();
  EXPECT_EQ(std::vector(calls.begin() + pc->indexOf("setRemoteDescription:answer"), calls.end()), expected);
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
  EXPECT_THAT(mids, ElementsAre("screen-video", "application1", "engine-id", "0"));

  ASSERT_TRUE(candidate("candidate:early", 9, "application1").ok());  // resolved when the answer comes
  ASSERT_TRUE(accept(answer(mediaSdp("9", "video0"))).ok());
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

TEST_F(RealtimePeerTest, OffersTheScreenTrackWhoseRateFollowsReceiverReportsUpToItsMaximumUntilClose) {
  EXPECT_GE(pc->indexOf("addVideoTrack:screen"), 0);
  int64_t sent = 0;
  auto reportWith = [&](double rtt) {
    pc->setStats({{{"type", std::string("remote-inbound-rtp")}, {"local-id", std::string("video")},
                   {"round-trip-time", rtt}, {"fraction-lost", 0.0}},
                  {{"type", std::string("outbound-rtp")}, {"id", std::string("video")}, {"bytes-sent", sent += 200'000}}});
    loop.advance(0.5);
  };
  for (int i = 0; i < 20; ++i) reportWith(0.02 + i % 2 * 0.001);  // a report that repeats the last is no news
  EXPECT_EQ(source->state().rates.back(), std::pair(3'000'000, 30));
  reportWith(0.3);  // a queue, seen twice
  reportWith(0.31);
  EXPECT_LT(source->state().rates.back().first, 2'400'000);
  const size_t cut = source->state().rates.size();
  peer->close();
  reportWith(0.02);
  EXPECT_EQ(source->state().rates.size(), cut) << "a closed peer moved the rate";
}

TEST_F(RealtimePeerTest, CloseTearsDownInOrderAndSilencesEverything) {
  ASSERT_TRUE(accept(answer()).ok());
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
  EXPECT_TRUE(channel->observer() == nullptr && pc->observer() == nullptr && channel->closeCalls() == 1);
  EXPECT_LT(pc->indexOf("setObserver:null"), pc->indexOf("close"));
  pc->emitLocalCandidate(IceCandidate{"candidate:x", 0, std::nullopt});
  channel->setState(DataChannelState::kClosed);
  peer->send(toBytes("after"));
  peer->push(std::make_shared<FakeFrameBuffer>(2, 2), 1);
  loop.runUntilIdle();
  EXPECT_EQ(offered->error(), connectionClosedError());
  EXPECT_TRUE(rec.silent());
  EXPECT_TRUE(channel->sent().empty());
  EXPECT_TRUE(source->state().times.empty());
}

TEST(RealtimeFrameSink, OnlyCompleteFramesReachThePeer) {
  VirtualLoop loop;
  FakePeerEngine engine;
  auto peer = std::make_shared<RealtimePeer>(loop, engine, nullptr, nullptr, nullptr);
  RealtimeFrameSink sink(peer);
  auto frame = std::make_shared<FakeFrameBuffer>(4, 2, 7);
  using S = FrameStatus;
  for (S s : {S::kIdle, S::kBlank, S::kSuspended, S::kStarted, S::kStopped}) sink.onFrame(frame, 10, s);
  sink.onFrame(nullptr, 20, S::kComplete);
  sink.onFrame(frame, 33'333'333, S::kComplete);
  EXPECT_EQ(engine.last()->videoSource()->state().times, std::vector<int64_t>{33'333'333});
}

}  // namespace
}  // namespace kx
