// The stream borrow: drives one teeth pass over a live stream of rendered
// crops. Per crop it builds the delivery mask (the lip contour when the bundle
// has a lip template, otherwise the unified pi mask) and the donor shift,
// hands the frame to the pass and gives back the frame the pass emits, one
// push later. The write-back puts a returned window into the crop.
//
// Readings this class is built on:
// - writeWindowDelta's planes lie back to back: plane c starts at
//   planes + c x stride x canvas_h, rows `stride` floats apart.
// - writeWindowDeltaRgba's stride counts pixels (4 bytes each).
// - The lip template is the session manifest's lipTemplateJson text; an empty
//   text means the bundle has none.
// - Float to byte: clamp to [0, 1], times 255, rounded to nearest with ties
//   to even; NaN and values not above 0 give 0.
//
// One thread drives an instance; the plane conversion and the pass use the
// worker pool internally and join before returning. The instance owns its
// LipContour (whose scratch is not shared between threads).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "le/tessera/le_tessera.h"
#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_pi.h"

namespace le::tessera {

class StreamBorrow {
 public:
  // Builds the pass (its refusals propagate) and refuses a non-square stamp
  // canvas or a descriptor canvas other than the stamp's; logs which delivery
  // mask this session serves. Throws std::runtime_error.
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
               const UnifiedPi& pi, const std::string& lipTemplateJson);
  ~StreamBorrow();
  StreamBorrow(const StreamBorrow&) = delete;
  StreamBorrow& operator=(const StreamBorrow&) = delete;

  // planes: R, G, B planes of canvas x canvas floats in [0, 1]; kp: the
  // frame's 63 keypoint floats. True when `out` received the previous frame.
  bool push(const float* planes, const float* kp, FrameResult* out);
  // rgba: canvas x canvas RGBA bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out);
  // Pushes the frame already in the RGB buffer (see rgbBuffer()).
  bool pushSynth(const float* kp, FrameResult* out);
  // Emits the pending frame, if any.
  bool flush(FrameResult* out);

  // Writes a returned window into float planes (back to back, stride x
  // canvas_h floats each): v becomes clamp(v + w/255 - q(v), 0, 1), q(v) the
  // byte the pass saw, so only the 8-bit content changes. A non-finite v
  // becomes w/255. Nothing for a pass-through result; a window of the wrong
  // size throws and leaves the planes unchanged.
  static void writeWindowDelta(float* planes, int stride, const FrameResult& r,
                               const GeometryStamp& stamp);
  // The same for canvas RGBA bytes (stride in pixels): R, G, B of the window
  // rectangle replaced, alpha kept.
  static void writeWindowDeltaRgba(uint8_t* rgba, int stride, const FrameResult& r,
                                   const GeometryStamp& stamp);

  // This pass does no host-side split: 0 (and *seconds, when given, 0).
  int hostSplit(double* seconds) const;
  const char* backend() const { return "cpu"; }

  int canvas() const { return canvas_; }
  int32_t frames() const { return frame_; }
  bool hasContour() const { return contour_.has_value(); }
  // The canvas x canvas x 3 RGB buffer pushSynth reads (and push fills).
  uint8_t* rgbBuffer() { return rgb_.data(); }
  const uint8_t* rgbBuffer() const { return rgb_.data(); }
  // The delivery mask of the last pushed frame, canvas x canvas bytes.
  const uint8_t* maskBuffer() const { return mask_.data(); }
  // The shift handed to the pass with the last pushed frame; false when the
  // mask gave none (the pass then derived it or passed the frame through).
  bool lastShift(int* dy, int* dx) const;
  const TeethPass& pass() const { return *pass_; }

 private:
  std::unique_ptr<TeethPass> pass_;
  UnifiedPi pi_;
  double cCanon_[2] = {0.0, 0.0};
  std::optional<LipContour> contour_;
  int32_t canvas_ = 0;
  int32_t frame_ = 0;
  bool hasShift_ = false;
  int shift_[2] = {0, 0};
  std::vector<uint8_t> rgb_;
  std::vector<uint8_t> mask_;
};

}  // namespace le::tessera
