// The lip contour: a closed polygon from the bundle's lip template, deformed
// per frame onto the lip keypoints (by the canonical shape scaled to the lip
// extents, or by the template's linear lip map), filled and feathered outward
// into a soft mask; and the delivered borrow mask, the pi mask limited by it.
//
// Working buffers are reused between calls: one instance serves one thread at
// a time (copy it for another thread). Per-frame functions never fail: a
// frame with non-finite anchors or a polygon off the canvas gives an empty
// mask.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/tessera/tessera_pi.h"

namespace le::tessera {

class LipContour {
 public:
  // Reads lip_template.v1.json for an engine canvas; throws std::runtime_error
  // "lip_template.v1.json: ..." naming the first fault.
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  // u_canon: nv (u, v) pairs in units of the lip half-extents; lip_idx: n
  // keypoint rows 0..20. feather_px within (0, canvas]; canvas 1..8192.
  LipContour(int canvas, float feather_px, const double* u_canon, int nv, const int* lip_idx, int n);

  // Attaches a linear lip map: W is rows x cols (row-major), b has rows
  // entries; rows must be 2 nv, cols 2k with k anchor rows (1..8, each 0..20).
  // The map's anchors replace lip_idx.
  void attachMap(const double* W, const double* b, int rows, int cols, const int* lip_idx, int k);

  int canvas() const { return canvas_; }
  float featherPx() const { return feather_px_; }
  int nv() const { return nv_; }
  int mapCols() const { return mapCols_; }  // 0 without a map
  const std::vector<int32_t>& lipIdx() const { return lip_idx_; }

  // nv (x, y) vertices in canvas pixels.
  void polygon(const float* kp, double* out) const;
  // Vertex bounds grown by feather_px + 2, clamped to the canvas; empty for
  // non-finite vertices.
  Box box(const double* poly) const;
  // 0/255 fill of the box (clamped to the canvas), box-sized, row-major.
  void fillScanline(const double* poly, const Box& box, uint8_t* out) const;
  // The feathered mask over the box region of a canvas x canvas float array
  // (1 inside, falling to 0 over feather_px outside); nothing else written.
  void contourF32(const double* poly, const Box& box, float* out) const;
  // The same over the whole canvas, zeros outside the box.
  void contourF32Canvas(const float* kp, float* out) const;

  // canvas x canvas bytes: the pi mask limited by the contour.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) const;
  // Limits `mask` (canvas x canvas) inside `box` to the contour; pixels of
  // the box outside the contour box become 0. True when any byte stays lit.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) const;
  // pi.piU8AndShift, then the contour limit over the pi support box; the
  // shift is the pi mask's. True when a centroid was found and a byte stays.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon,
                           uint8_t* out, int* dy, int* dx) const;

 private:
  void checkPi(const UnifiedPi& pi) const;
  const float* contourOver(const float* kp, Box* box) const;

  int32_t canvas_ = 0;
  float feather_px_ = 0.f;
  int32_t nv_ = 0;
  std::vector<double> u_canon_;   // nv x 2
  std::vector<int32_t> lip_idx_;  // anchor rows
  std::vector<double> W_;         // 2nv x mapCols_
  std::vector<double> b_;         // 2nv
  int32_t mapCols_ = 0;

  mutable std::vector<double> poly_;
  mutable std::vector<uint8_t> fill_;   // box-sized
  mutable std::vector<float> dist_;     // box-sized
  mutable std::vector<float> canvasF_;  // canvas x canvas
};

}  // namespace le::tessera
