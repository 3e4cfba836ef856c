// The limits and readers both peers share; the peers' own tests check only
// that they apply them.
#include "media/peer_rules.h"

#include <gtest/gtest.h>

#include "peer_test_util.h"

namespace kx {
namespace {

TEST(RemoteCandidate, LineAndIndexWithinTheirLimits) {
  const Error invalid = makeError("Invalid candidate", 1);
  std::string line = "candidate:";
  line.resize(4096, '1');
  std::string wide;  // bytes, not characters: 2048 two-byte characters fill the limit
  for (int i = 0; i < 2048; ++i) wide += "\xC3\xA9";
  const struct {
    Json message;
    std::optional<int> index;  // nullopt: refused
  } cases[] = {
      {candidateMessage("candidate:1", 0), 0},
      {candidateMessage("candidate:1", 16), 16},
      {candidateMessage("candidate:1", -1), {}},
      {candidateMessage("candidate:1", 17), {}},
      {candidateMessage("candidate:1", Json(uint64_t{18446744073709551615u})), {}},
      {candidateMessage("candidate:1", std::nullopt), 0},  // missing or not an integer: 0
      {candidateMessage("candidate:1", 2.5), 0},
      {candidateMessage("candidate:1", "3"), 0},
      {candidateMessage(line), 0},
      {candidateMessage(line + "1"), {}},
      {candidateMessage(wide), 0},
      {candidateMessage(wide + "x"), {}},
  };
  for (const auto& c : cases) {
    const auto result = readRemoteCandidate(c.message, invalid);
    ASSERT_TRUE(result) << c.message.dump().substr(0, 80);
    EXPECT_EQ(result->ok() ? std::optional((*result)->sdpMLineIndex) : std::nullopt, c.index) << c.message.dump().substr(0, 80);
    if (!result->ok()) {
      EXPECT_EQ(result->error(), invalid);
    }
  }
  // Nothing to apply is ignored, whatever the index says.
  for (const Json& candidate : {Json(), Json("candidate:1"), Json{{"sdpMLineIndex", 99}}, Json{{"candidate", 7}}}) {
    EXPECT_FALSE(readRemoteCandidate(Json{{"type", "candidate"}, {"candidate", candidate}}, invalid)) << candidate;
  }
  EXPECT_EQ((*readRemoteCandidate(candidateMessage("candidate:1", 0, "video"), invalid))->sdpMid, "video");
  Json numeric = candidateMessage("candidate:1");
  numeric["candidate"]["sdpMid"] = 0;
  EXPECT_EQ((*readRemoteCandidate(numeric, invalid))->sdpMid, std::nullopt);
}

TEST(PeerLimits, DescriptionsAndMessagesUpToTheirLimit) {
  EXPECT_TRUE(sdpWithinLimit(std::string(48000, 'a')));
  EXPECT_FALSE(sdpWithinLimit(std::string(48001, 'a')));
  EXPECT_TRUE(acceptsIncomingMessage(8192, true));
  EXPECT_FALSE(acceptsIncomingMessage(8193, true));
  EXPECT_FALSE(acceptsIncomingMessage(2, false));  // text messages are not the protocol's
}

TEST(SdpMedia, ReadsEachMLineAndAnAnswerMustTakeEveryOfferedVideoWithH264) {
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
  const auto offer = readSdpMedia(mediaSdp());
  const std::pair<std::string, bool> answers[] = {
      {mediaSdp(), true},
      {mediaSdp("0"), false},                   // video rejected
      {mediaSdp("9", "video0", "VP8"), false},  // no H.264 payload
      {"v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", false},
  };
  for (const auto& [answer, accepted] : answers) EXPECT_EQ(answerAcceptsVideo(offer, readSdpMedia(answer)), accepted) << answer;
  EXPECT_TRUE(answerAcceptsVideo(readSdpMedia("v=0\r\nm=application 9 X y\r\n"), {}));
}

}  // namespace
}  // namespace kx
