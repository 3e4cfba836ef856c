#include "media/peer_rules.h"

#include <gtest/gtest.h>

#include "peer_test_util.h"

namespace kx {
namespace {

const Error kInvalid = makeError("Invalid candidate", 1);

std::optional<Expected<IceCandidate>> read(const Json& message) { return readRemoteCandidate(message, kInvalid); }

bool refused(const std::optional<Expected<IceCandidate>>& result) {
  return result && !result->ok() && result->error() == kInvalid;
}

TEST(RemoteCandidate, MLineIndexMustLieWithinZeroToSixteen) {
  EXPECT_TRUE(refused(read(candidateMessage("candidate:1", -1))));
  EXPECT_TRUE(refused(read(candidateMessage("candidate:1", 17))));
  for (int index : {0, 16}) {
    auto result = read(candidateMessage("candidate:1", index));
    ASSERT_TRUE(result && result->ok()) << index;
    EXPECT_EQ((*result)->sdpMLineIndex, index);
  }
}

TEST(RemoteCandidate, MissingOrNonIntegerIndexCountsAsZero) {
  for (auto index : {std::optional<Json>(), std::optional<Json>(2.5), std::optional<Json>("3"),
                     std::optional<Json>(Json())}) {
    auto result = read(candidateMessage("candidate:1", index));
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ((*result)->sdpMLineIndex, 0);
  }
}

TEST(RemoteCandidate, IntegerBeyondInt64IsRefusedNotTakenAsZero) {
  EXPECT_TRUE(refused(read(candidateMessage("candidate:1", Json(uint64_t{18446744073709551615u})))));
}

TEST(RemoteCandidate, LineOfAtMost4096BytesIsAccepted) {
  auto atLimit = read(candidateMessage(candidateLine(4096)));
  ASSERT_TRUE(atLimit && atLimit->ok());
  EXPECT_EQ((*atLimit)->candidate.size(), 4096u);
  EXPECT_TRUE(refused(read(candidateMessage(candidateLine(4097)))));
  // Bytes, not characters: 2048 two-byte characters fill the limit exactly.
  std::string wide;
  for (int i = 0; i < 2048; ++i) wide += "\xC3\xA9";
  EXPECT_TRUE(read(candidateMessage(wide))->ok());
  EXPECT_TRUE(refused(read(candidateMessage(wide + "x"))));
}

TEST(RemoteCandidate, MissingObjectOrLineIsIgnored) {
  EXPECT_FALSE(read(Json{{"type", "candidate"}}));
  EXPECT_FALSE(read(Json{{"type", "candidate"}, {"candidate", "candidate:1"}}));
  EXPECT_FALSE(read(Json{{"type", "candidate"}, {"candidate", {{"sdpMLineIndex", 0}}}}));
  EXPECT_FALSE(read(Json{{"type", "candidate"}, {"candidate", {{"candidate", 7}}}}));
  // Ignoring wins over a bad index: there is nothing to apply.
  EXPECT_FALSE(read(Json{{"type", "candidate"}, {"candidate", {{"sdpMLineIndex", 99}}}}));
}

TEST(RemoteCandidate, MediaIdIsKeptOnlyWhenText) {
  EXPECT_EQ((*read(candidateMessage("candidate:1", 0, "video")))->sdpMid, "video");
  Json numeric = candidateMessage("candidate:1");
  numeric["candidate"]["sdpMid"] = 0;
  EXPECT_EQ((*read(numeric))->sdpMid, std::nullopt);
}

TEST(PeerLimits, DescriptionsAndMessagesUpToTheirLimit) {
  EXPECT_TRUE(sdpWithinLimit(std::string(48000, 'a')));
  EXPECT_FALSE(sdpWithinLimit(std::string(48001, 'a')));
  EXPECT_TRUE(acceptsIncomingMessage(8192, true));
  EXPECT_FALSE(acceptsIncomingMessage(8193, true));
  EXPECT_FALSE(acceptsIncomingMessage(2, false));  // text messages are not the protocol's
}

TEST(SdpMedia, ReadsKindPortIdAndListedEncodingsPerMLine) {
  const std::string sdp =
      "v=0\r\na=mid:session-level\r\n"
      "m=video 9 UDP/TLS/RTP/SAVPF 96 97\r\na=rtpmap:96 h264/90000\r\na=rtpmap:97 VP8/90000\r\n"
      "a=rtpmap:98 AV1/90000\r\na=mid:v\r\n"
      "m=audio 0 RTP/AVP 0\r\n"
      "m=application 9/2 UDP/DTLS/SCTP webrtc-datachannel\na=mid:data\n"
      "m=video x\r\n";
  EXPECT_EQ(readSdpMedia(sdp), (std::vector<SdpMedia>{
                                   {"video", 9, "v", {"H264", "VP8"}},  // 98 is not on the m-line
                                   {"audio", 0, std::nullopt, {}},
                                   {"application", 9, "data", {}},
                                   {"video", -1, std::nullopt, {}},
                               }));
  EXPECT_TRUE(readSdpMedia("not sdp at all").empty());
}

TEST(SdpMedia, AnAnswerMustTakeEveryOfferedVideoLineWithH264) {
  const auto offer = readSdpMedia(mediaSdp());
  struct Case {
    std::string answer;
    bool accepted;
  } cases[] = {
      {mediaSdp(), true},
      {mediaSdp("0"), false},                 // video rejected
      {mediaSdp("9", "video0", "VP8"), false},  // no H.264 payload
      {"v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", false},  // video line missing
      {"v=0\r\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(answerAcceptsVideo(offer, readSdpMedia(c.answer)), c.accepted) << c.answer;
  // An offer without video asks nothing of the answer.
  EXPECT_TRUE(answerAcceptsVideo(readSdpMedia("v=0\r\nm=application 9 X y\r\n"), {}));
}

TEST(SessionTimeline, KeepsTheFirstOfEachStepOfTheCurrentSessionOnly) {
  SessionTimeline timeline;
  timeline.mark("too early", 1);
  timeline.start("approved", 10);
  timeline.mark("ICE connected", 11);
  timeline.mark("ICE connected", 12);
  EXPECT_EQ(timeline.toJson(), Json::parse(R"([{"step":"approved","uptime":10},{"step":"ICE connected","uptime":11}])"));
  timeline.start("approved", 20);
  EXPECT_FALSE(timeline.has("ICE connected"));
  EXPECT_EQ(timeline.toJson().size(), 1u);
}

TEST(LocalCandidate, MissingMediaIdIsSentAsZero) {
  IceCandidate candidate{"candidate:9 1 udp 1 10.0.0.1 5000 typ host", 2, std::nullopt};
  EXPECT_EQ(localCandidateSignal(candidate),
            Json::parse(R"({"type":"candidate","candidate":{"candidate":"candidate:9 1 udp 1 10.0.0.1 5000 typ host",
                            "sdpMid":"0","sdpMLineIndex":2}})"));
  candidate.sdpMid = "video0";
  EXPECT_EQ(localCandidateSignal(candidate)["candidate"]["sdpMid"], "video0");
}

}  // namespace
}  // namespace kx
