// The paste compositor: sharpens a rendered face crop, resamples it through
// the inverse of the frame's paste matrix and blends it into the RGB24 driver
// frame under the paste mask.
//
// Threads: composite() splits its passes over the worker pool of the calling
// thread, and the planes and column tables are per-object scratch. One Paste
// must therefore be used by one thread at a time; calling it from two threads
// at once is a caller error (give each thread its own Paste).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "le/bundle/manifest.h"

namespace le {

class Paste {
 public:
  static constexpr int kPhases = 32;
  static constexpr int kMaxSide = 1024;

  // mask: side x side bytes, row-major. Throws std::runtime_error on a wrong
  // mask size, an even or out-of-range ksize, or a bad sigma or amount.
  // LE_PASTE_FAST picks the resampler (0 Lanczos-8, 1 bicubic, 2 bilinear);
  // LE_PASTE_KSIZE may shrink the unsharp kernel.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp);

  // Pastes one planar R, G, B crop (side x side floats each, multiplied by
  // scale) into the W x H RGB24 frame in place through M = (a, b, c, d, e, f):
  // frame x = a u + b v + c, y = d u + e v + f. A singular or non-finite M, or
  // one whose inverse leaves the 1/1024 fixed-point range, pastes nothing.
  void composite(const float* crop, float scale, const float M[6], uint8_t* frame, int W, int H);

  // The stages of composite, in order.
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(float* plane);
  // Rows y0 ... y1 and columns x0 ... x1 of the frame; the column tables must
  // already cover x0 ... x1 (composite builds them).
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ib, double ie,
                     double tu, double tv);

  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int padded() const { return padded_; }
  float amount() const { return amount_; }
  int mode() const { return mode_; }
  const std::vector<float>& gauss() const { return gauss_; }
  const float* bilinear() const { return bilinear_.data(); }
  const float* lanczos() const { return lanczos_.data(); }
  const float* cubic() const { return cubic_.data(); }
  float* plane(int c) { return planes_[static_cast<size_t>(c)].data(); }
  const float* plane(int c) const { return planes_[static_cast<size_t>(c)].data(); }

 private:
  void interleave();
  void pasteRowsSeparable(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ib,
                          double ie, double tu, double tv);

  int32_t side_;
  int32_t ksize_;
  int32_t padded_;
  float amount_;
  int32_t mode_;
  std::vector<uint8_t> mask_;
  std::vector<float> gauss_;
  std::array<float, kPhases * 2> bilinear_{};
  std::array<float, kPhases * 8> lanczos_{};
  std::array<float, kPhases * 4> cubic_{};
  std::array<std::vector<float>, 3> planes_;
  std::vector<float> rgba_;
  std::vector<float> pad_;
  std::vector<float> blur_;
  std::vector<int32_t> colU_;
  std::vector<int32_t> colV_;
};

}  // namespace le
