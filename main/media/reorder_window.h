// How late reordered packets come on the link a stream crosses, so a first
// retransmission request can wait that long instead of asking for a packet
// that is only behind its successors.
//
// The jitter buffer asks the moment a gap is seen behind a queue. A link
// that reorders by up to 20 ms then had nine requests in ten answered by the
// original packet a few milliseconds later: each resend cost a packet's worth
// of the link (a seventh of poor Wi-Fi's 2 Mbit/s), and behind a queue the
// resends deepened the queue that caused them. Holding a first request for
// the longest reordering seen lately lets those go unsent; a link that keeps
// order holds nothing, and a real loss waits at most kMaxHoldSeconds more.
//
// A pure value: the owner passes its clock's time (seconds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>

namespace kx {

class ReorderWindow {
 public:
  static constexpr double kMaxHoldSeconds = 0.05;
  // Reorderings older than this no longer count, nor more than kSamples.
  static constexpr double kMemorySeconds = 10;
  static constexpr size_t kSamples = 32;
  // Missing packets tracked at most (a burst of loss asks for the rest at once).
  static constexpr size_t kMaxMissing = 512;

  // A packet of the stream arrived; a retransmitted one repairs its gap but
  // says nothing about reordering.
  void arrived(uint16_t sequence, double now, bool retransmitted);
  // How much longer a first request for `sequence` should wait: 0 to send it now.
  double holdFor(uint16_t sequence, double now) const;
  // Whether `sequence` went missing and has not arrived since.
  bool missing(uint16_t sequence) const { return missingSince_.contains(sequence); }

 private:
  double hold(double now) const;

  bool started_ = false;
  uint16_t highest_ = 0;
  std::map<uint16_t, double> missingSince_;
  std::deque<std::pair<double, double>> lateness_;  // (when, how late) of recent reordered packets
};

}  // namespace kx
