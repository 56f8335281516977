// Compose geometry of the teeth borrow: the geometry stamp (where the teeth
// window and its blended band lie on the render canvas) and the unified
// compose descriptor, which rebuilds per frame the soft mouth mask ("pi") the
// renderer composes with, its centroid and the donor shift.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
 public:
  int32_t x0 = 0;
  int32_t y0 = 0;
  int32_t x1 = 0;
  int32_t y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  // Saturating, so a caller's extreme box cannot overflow.
  int32_t width() const { return span(x0, x1); }
  int32_t height() const { return span(y0, y1); }

 private:
  static int32_t span(int32_t a, int32_t b) {
    const int64_t d = int64_t(b) - int64_t(a);
    return d <= 0 ? 0 : d > INT32_MAX ? INT32_MAX : int32_t(d);
  }
};

// A pi geometry of the built-in corpus a bank may have been built against.
struct PiGeometry {
  const char* name;
  float pad_x;
  float pad_y;
  float down;
};
inline constexpr PiGeometry kPiCorpus[] = {
    {"v1", 0.05f, 0.08f, 0.015f},
    {"v2", 0.10f, 0.08f, 0.074f},
    {"v3", 0.14f, 0.08f, 0.074f},
};

// The unified compose descriptor: a lip ellipse around the lip keypoints plus
// a teeth gate that opens with the mouth, evaluated on a canvas x canvas grid.
// Keypoint frames are 21 x (x, y, z) floats, x and y normalised to [-1, 1];
// masks are canvas x canvas, row-major. Immutable once built: every function
// is const and may run concurrently on separate outputs. A frame whose lip
// keypoints are not finite gives an empty mask and box and no centroid.
struct UnifiedPi {
  int32_t canvas = 0;
  std::string mode;
  bool corner_recovery = false;
  float prop_gate_scale = 1.0f;
  std::vector<int32_t> lip_idx;
  float pad_x = 0.f;  // lip_geom_params
  float pad_y = 0.f;
  float down = 0.f;
  std::vector<float> gridX;  // column i: 2i / (canvas - 1) - 1
  std::vector<float> gridY;

  // Reads the manifest's `unified` block; canvas is the engine's render size
  // (1..8192). Throws std::runtime_error naming the first fault.
  static UnifiedPi fromManifestJson(const std::string& manifestJson, int canvas);
  // The manifest's descriptor with the corpus geometry whose canonical
  // centroid over the bundle's own frames (nFrames x 63 floats) lies within
  // 8 px of the bank's cCanon, unambiguously (next one at least 3 px further).
  static UnifiedPi corpusFromManifestJson(const std::string& manifestJson, int canvas,
                                          const float* xsTarget, int nFrames,
                                          const double* cCanon, std::string* chosenName);

  EllParams lipParams(const float* kp) const;
  // Also returns the aperture gate in *gate (0 closed .. 1 open; may be null).
  EllParams gateParams(const float* kp, float* gate) const;

  // Soft ellipse over the whole canvas (floats 0..1).
  void ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale,
               float down, float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  // Pixel boxes, clamped to the canvas; empty for non-finite parameters.
  Box ellBox(const EllParams& p) const;
  Box supportBox(const float* kp) const;

  // The pi mask as bytes over the whole canvas.
  void piU8(const float* kp, uint8_t* out) const;
  // The same, computed only inside the support box (zero elsewhere).
  void piU8Boxed(const float* kp, uint8_t* out) const;
  // Zero everywhere but where `box` meets the support box and shrink > 0:
  // there min(shrink, pi) as a byte. shrink is canvas x canvas.
  void piU8ShrunkBy(const float* kp, const float* shrink, const Box& box, uint8_t* out) const;

  // Mean column and row of the bytes >= 128 (inside `box`, clamped to the
  // canvas); false when there are none.
  bool piU8Centroid(const uint8_t* mask, double* cx, double* cy) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const;

  // piU8Boxed, then the whole-pixel shift (dy, dx) that moves cCanon onto the
  // mask's centroid, rounded half to even. False (shift 0) without a centroid
  // or with a non-finite cCanon.
  bool piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int* dy, int* dx) const;

  // Mean centroid over frames (n x 63 floats) that have one; throws when none.
  void canonicalCentroid(const float* frames, int nFrames, double* cx, double* cy) const;
};

}  // namespace le::tessera
