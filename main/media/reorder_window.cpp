#include "media/reorder_window.h"

#include <algorithm>

namespace kx {
namespace {

// Sequence numbers wrap: `a` is after `b` when it is less than half the space ahead.
bool after(uint16_t a, uint16_t b) { return a != b && uint16_t(a - b) < 0x8000; }

}  // namespace

void ReorderWindow::arrived(uint16_t sequence, double now, bool retransmitted) {
  if (!started_) {
    started_ = true;
    highest_ = sequence;
    return;
  }
  if (after(sequence, highest_)) {
    // Everything skipped went missing now; a jump longer than the tracking
    // keeps only its newest part (the jitter buffer gives the rest up anyway).
    const uint16_t gap = uint16_t(sequence - highest_ - 1);
    for (uint16_t i = gap > kMaxMissing ? uint16_t(gap - kMaxMissing) : 0; i < gap; ++i) {
      missingSince_.emplace(uint16_t(highest_ + 1 + i), now);
    }
    highest_ = sequence;
  } else if (auto it = missingSince_.find(sequence); it != missingSince_.end()) {
    if (!retransmitted) {
      lateness_.emplace_back(now, now - it->second);
      if (lateness_.size() > kSamples) lateness_.pop_front();
    }
    missingSince_.erase(it);
  }
  // Forget what is too old to be waited for.
  std::erase_if(missingSince_, [&](const auto& m) { return now - m.second > 1.0 || !after(highest_ + 1, m.first); });
  while (missingSince_.size() > kMaxMissing) missingSince_.erase(missingSince_.begin());
}

double ReorderWindow::hold(double now) const {
  double longest = 0;
  for (const auto& [when, late] : lateness_) {
    if (now - when <= kMemorySeconds) longest = std::max(longest, late);
  }
  return std::min(longest, kMaxHoldSeconds);
}

double ReorderWindow::holdFor(uint16_t sequence, double now) const {
  auto it = missingSince_.find(sequence);
  if (it == missingSince_.end()) return 0;
  return std::max(0.0, it->second + hold(now) - now);
}

}  // namespace kx
