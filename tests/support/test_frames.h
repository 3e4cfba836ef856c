// Pictures for media tests: solid or patterned BGRA frames with a chosen
// (possibly padded) row length, and colour checks with codec tolerance.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/peer_engine.h"

namespace kx::testing {

struct Bgra {
  uint8_t b = 0, g = 0, r = 0, a = 255;
};


class TestFrame : public FrameBuffer {
 public:
  TestFrame(int width, int height, int stride, Bgra fill)
      : width_(width), height_(height), stride_(stride), pixels_(size_t(stride) * size_t(height), 0xEE) {
    fillRect(0, 0, width, height, fill);
  }
  void fillRect(int x, int y, int w, int h, Bgra c) {
    for (int row = y; row < y + h && row < height_; ++row) {
      uint8_t* p = pixels_.data() + size_t(row) * size_t(stride_) + size_t(x) * 4;
      for (int col = x; col < x + w && col < width_; ++col, p += 4) {
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
        p[3] = c.a;
      }
    }
  }
  int width() const override { return width_; }
  int height() const override { return height_; }
  int stride() const override { return stride_; }
  const uint8_t* data() const override { return pixels_.data(); }

 private:
  int width_, height_, stride_;
  std::vector<uint8_t> pixels_;
};

inline Bgra pixelAt(const FrameBuffer& frame, int x, int y) {
  const uint8_t* p = frame.data() + size_t(y) * size_t(frame.stride()) + size_t(x) * 4;
  return Bgra{p[0], p[1], p[2], p[3]};
}

// Within `tolerance` per channel (H.264 in 4:2:0 moves colours a little).
inline bool near(Bgra a, Bgra b, int tolerance = 20) {
  return std::abs(a.b - b.b) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.r - b.r) <= tolerance;
}

}  // namespace kx::testing
