// Compose geometry of the teeth borrow: the geometry stamp (where the teeth
// window and its blended band lie on the render canvas) and the unified
// compose descriptor, which rebuilds per frame the soft mouth mask ("pi") the
// renderer composes with, its centroid and the donor shift.
#pragma once

#include <cstdint>

namespace le::tessera {

// Twelve int32 in the order the bank sidecar stores them. The band is
// end-exclusive, in window coordinates; a stored donor patch is the band grown
// by shift_margin on every side.
struct GeometryStamp {
  int32_t canvas_w = 0;
  int32_t canvas_h = 0;
  int32_t window_x0 = 0;
  int32_t window_y0 = 0;
  int32_t window_w = 0;
  int32_t window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0;
  int32_t band_r1 = 0;
  int32_t band_c0 = 0;
  int32_t band_c1 = 0;
  int32_t shift_margin = 0;

  // Returns, or throws std::runtime_error
  // "teeth: GeometryStamp incoherent: <problem>; <problem>; ..." naming every
  // problem in rule order. Arithmetic is 64-bit, so no sum wraps.
  void validate() const;
};

// An ellipse in normalised canvas units: centre, radii and edge sharpness
// soft = sqrt(rx * ry) * 256.
struct EllParams {
  float cx = 0.f;
  float cy = 0.f;
  float rx = 0.f;
  float ry = 0.f;
  float soft = 0.f;
};

// A pixel rectangle, end-exclusive.
struct Box {
  int32_t x0 = 0;
  int32_t y0 = 0;
  int32_t x1 = 0;
  int32_t y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  int32_t width() const { return x1 > x0 ? x1 - x0 : 0; }
  int32_t height() const { return y1 > y0 ? y1 - y0 : 0; }
};

}  // namespace le::tessera
