// When each step of a session's start happened (approval, display picked,
// offer, answer, candidates, ICE, DTLS, data channel, first frames), for the
// diagnostics of both roles and for start-up measurements. Times are uptime
// seconds, which the two roles on one machine share. Each step keeps its
// first occurrence; the record is replaced at every new session.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/json.h"

namespace kx {

// A step name a peer reports to its owner ("ICE connected"...). Loop thread.
using PeerStepCallback = std::function<void(std::string_view step)>;

class SessionTimeline {
 public:
  // Forgets the previous session and records `step` as the first of a new one.
  void start(std::string_view step, double uptime);
  // Records `step` unless it already happened; ignored before start().
  void mark(std::string_view step, double uptime);
  bool has(std::string_view step) const;
  // [{"step": name, "uptime": seconds}, ...] in the order the steps happened.
  Json toJson() const;

 private:
  bool started_ = false;
  std::vector<std::pair<std::string, double>> steps_;
};

}  // namespace kx
