// Follows the link the video crosses, from what the receiver reports in its
// RTCP receiver reports (loss fraction and round-trip time): backs off at
// once on heavy loss or a growing queue, probes up slowly while the link is
// clean. Under pressure the picture keeps its size; the frame rate falls with
// the bitrate, and the encoder's quality with both.
//
// A pure value: the owner feeds reports with its clock's time and applies
// the target to the encoder.
#pragma once

#include <optional>

namespace kx {

struct LinkReport {
  double lossFraction = 0;      // 0...1, of the packets sent since the last report
  double roundTripSeconds = 0;  // as the last receiver report measured it
};

struct VideoTarget {
  int bitrate = 0;  // bits per second
  int framesPerSecond = 0;
  bool operator==(const VideoTarget&) const = default;
};

class BitrateController {
 public:
  static constexpr int kMinBitrate = 150'000;
  static constexpr int kStartBitrate = 1'000'000;
  static constexpr int kMinFramesPerSecond = 10;

  BitrateController(int maxBitrate, int maxFramesPerSecond);

  // One receiver report at `now` (seconds); returns the new target.
  VideoTarget update(const LinkReport& report, double now);
  VideoTarget target() const;

 private:
  const int maxBitrate_;
  const int maxFramesPerSecond_;
  double bitrate_;
  std::optional<double> baseRoundTrip_;  // the smallest round trip seen: the link without a queue
  std::optional<double> lastUpdate_;
};

}  // namespace kx
