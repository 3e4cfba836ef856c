// Shared by the peer tests: running peer steps on the virtual loop and
// recording what the peers report.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media/peer_rules.h"
#include "runtime/basic_loop.h"
#include "runtime/task.h"

namespace kx {

// Starts a peer step; the result appears once the loop has run the engine's completions.
class StepRunner {
 public:
  explicit StepRunner(VirtualLoop& loop) : loop_(loop) {}

  std::optional<Status>& start(Task<Status> step) {
    results_.push_back(std::make_unique<std::optional<Status>>());
    scope_.spawn([](Task<Status> task, std::optional<Status>* out) -> Task<void> {
      out->emplace(co_await std::move(task));
    }(std::move(step), results_.back().get()));
    return *results_.back();
  }
  // Runs the step to its end; a step still waiting counts as a test failure.
  Status run(Task<Status> step) {
    auto& result = start(std::move(step));
    loop_.runUntilIdle();
    if (!result) ADD_FAILURE() << "step did not finish";
    return result.value_or(makeError("test", 0, "step did not finish"));
  }

 private:
  VirtualLoop& loop_;
  std::vector<std::unique_ptr<std::optional<Status>>> results_;
  TaskScope scope_;
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

inline Json candidateMessage(const std::string& line, std::optional<Json> index = 0,
                             std::optional<std::string> mid = std::nullopt) {
  Json inner{{"candidate", line}};
  if (index) inner["sdpMLineIndex"] = *index;
  if (mid) inner["sdpMid"] = *mid;
  return Json{{"type", "candidate"}, {"candidate", inner}};
}

// Descriptions shaped like the engines' own: video then data channel, bundled.
inline std::string mediaSdp(const std::string& videoPort = "9", const std::string& videoMid = "video0",
                            const std::string& codec = "H264") {
  return "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE " + videoMid +
         " application1\r\nm=video " + videoPort + " UDP/TLS/RTP/SAVPF 96\r\na=rtpmap:96 " + codec +
         "/90000\r\na=mid:" + videoMid + "\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:application1\r\n";
}

}  // namespace kx
