// The teeth pass: replaces the mouth interior of rendered frames with teeth
// blended from a donor bank. Per frame it finds the mouth's shift against the
// bank's canonical centroid, ranks every donor by a coarse (4 x 4 pooled) and
// then an exact distance over the window's teeth pixels, keeps K donors of
// similar opening, and blends them per pixel with the blend head. Frames leave
// one push later, so the next frame's choice steadies the current one.
//
// Coordinates and readings this pass is built on:
// - Canvas positions: window pixel (y, x) is canvas (window_y0 + y,
//   window_x0 + x). A frame with shift (dy, dx) is *retrieved* over the
//   window moved by the shift: pixel (y, x) reads canvas
//   (window_y0 + dy + y, window_x0 + dx + x). The exact term of that pixel
//   compares it with the donor byte gatherWindowsU8 places at the same canvas
//   position, window position (y + dy, x + dx) (0 outside the stored patch).
//   The head's frame input, the alpha and the composition read the unmoved
//   window (window_y0 + y, window_x0 + x), which is where the window goes back.
// - A moved position outside the canvas weighs 0 and reads 0 in retrieval and
//   gets alpha 0 at emission: nothing is read outside the canvas or mask.
// - A donor's canonical window is the window gatherWindowsU8 builds for it at
//   offset (0, 0): its stored patch placed with the band at the band, 0 where
//   the patch does not reach.
// - Pools floor on odd window sides: 4 x 4 blocks cover window_h / 4 by
//   window_w / 4 blocks, 2 x 2 blocks window_h / 2 by window_w / 2; the
//   bilinear upsampling returns to the full window.
// - Pooled means: the 16 (or 4) values added row by row in float, times 1/16
//   (1/4). The normaliser is the weight sum in double, pixel order; an exact
//   distance is the float sum, divided in double by the normaliser, as float.
// - Every sum has a fixed order (retrieval terms by element, convolution taps
//   by channel and tap, softmax sums by candidate, totals by row), so a frame
//   gives the same bytes on every vector target and thread count.
// - FrameResult's statistics are the mean and maximum, over the band pixels,
//   of each pixel's largest softmax weight (how decided the blend is there).
// - Byte conversions: a value not above 0 gives 0, at least 1 gives 255,
//   otherwise value x 255 rounded to nearest, ties to even (NaN gives 0).
// - Orderings are stable with a NaN distance last.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "le/tessera/tessera_pi.h"

namespace le::tessera {

// The donor bank as the pass needs it (loaded members plus the decoded track
// in donor order).
struct BankData {
  std::vector<uint8_t> track;          // n_donors patches of band_h x band_w RGB24
  std::vector<double> cent;            // per donor (x, y), canvas pixels
  std::array<double, 2> c_canon{};     // canonical centroid (x, y)
  std::vector<double> aperture;        // per donor mouth opening
  GeometryStamp stamp;
  int32_t n_donors = 0;
};

// One emitted frame.
struct FrameResult {
  std::vector<uint8_t> window;  // window_w x window_h RGB24; empty when passed through
  bool passthrough = false;
  std::string reason;           // "empty-pi", "shift-out-of-range" or empty
  int32_t donors = 0;           // size of the blended set
  float peakMean = 0.0f;        // mean over the band of the largest softmax weight
  float peakMax = 0.0f;         // its maximum over the band
};

class TeethPass {
 public:
  // Throws std::runtime_error on an incoherent stamp, bank data that does not
  // match it, non-finite or misplaced centroids, or a head or configuration
  // out of range.
  TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config);

  // canvasRgb: canvas_w x canvas_h x 3 bytes; mask: canvas_w x canvas_h bytes;
  // shift: null (derive from the mask) or (dy, dx). Returns true when `out`
  // received the previous frame.
  bool push(int frame, const uint8_t* canvasRgb, const uint8_t* mask, const int* shift,
            FrameResult* out);
  // Emits the pending frame, if any.
  bool flush(FrameResult* out);

  // ---- Steps, in the order a frame meets them (public for tests and tools).

  // Shift of a frame: the given one, or from the mask's centroid (bytes >= 128)
  // against c_canon. False with reason "empty-pi" or "shift-out-of-range".
  bool deriveShift(const uint8_t* mask, const int* shift, int* dy, int* dx,
                   std::string* reason) const;

  // The frame window moved by (dy, dx) with its teeth weights (decayed by the
  // previous frame's), the normaliser and the pooled planes.
  struct Prepared {
    int dy = 0, dx = 0;
    std::vector<uint8_t> rgb;       // window_h x window_w x 3, 0 outside the canvas
    std::vector<float> weight;      // window_h x window_w
    std::vector<uint32_t> active;   // pixels with weight > 0, in pixel order
    double normaliser = 1.0;
    std::vector<uint16_t> pooled;   // 3 half planes of the 4 x 4 pooled window
    std::vector<uint16_t> pooledW;  // half pooled weights
  };
  void retrievePrepare(const uint8_t* canvasRgb, const uint8_t* mask, int dy, int dx);
  const Prepared& prepared() const { return prep_; }

  // Distances and choices of the last retrieval.
  struct Retrieval {
    std::vector<float> coarse;     // per donor
    std::vector<int> shortlist;    // donors by coarse distance
    std::vector<float> exact;      // per shortlisted donor, normalised
    std::vector<int> selection;    // exactly K donors
  };
  // Ranks the donors for the prepared frame; returns the selection.
  const std::vector<int>& retrieve();
  const Retrieval& lastRetrieval() const { return ret_; }

  // Float sum of w x m over the prepared window (not normalised) for donor d,
  // through the byte difference table.
  float exactTermFromBand(int donor) const;

  // K donors from a shortlist ordered by exact distance: the best first, then
  // those within aperture_tol of its opening among the first `cut`, the last
  // kept repeated up to K.
  std::vector<int> retrieveSelect(const std::vector<int>& ordered) const;

  // Per donor of `set`, its window_h x window_w RGB24 window for a frame with
  // shift (dy, dx), into out (set.size() windows back to back).
  void gatherWindowsU8(const std::vector<int>& set, int dy, int dx, uint8_t* out) const;

  // The blend of `count` candidate windows (gatherWindowsU8 layout) against
  // the frame window (RGB24): per pixel the softmax-weighted candidate colour
  // (byte units), the largest softmax weight and per candidate the total
  // softmax weight over the window.
  struct Blend {
    std::vector<float> rgb;     // window_h x window_w x 3
    std::vector<float> peak;    // window_h x window_w
    std::vector<double> total;  // per candidate
  };
  const Blend& headForward(const uint8_t* candidates, int count, const uint8_t* frameWindow);

  // Wall time per step since construction, in seconds: what a frame costs.
  struct StepTimes {
    double prepare = 0, coarse = 0, exact = 0, head = 0, emit = 0;
    int64_t frames = 0;  // pushed
  };
  const StepTimes& stepTimes() const { return times_; }

  // Donors of the last emitted frame's blend and the held set after it.
  const std::vector<int>& lastSet() const { return lastSet_; }
  const std::vector<int>& heldSet() const { return held_; }

  // |round to half (h[b] - h[a])| for bytes a (frame) and b (donor), h[i] the
  // half of i / 255: 256 x 256 floats, built once per process.
  static const float* dTable();

  // A donor's canonical window as 3 half planes of window_h x window_w; the
  // Rows form fills rows [r0, r1) of planes with a row stride of window_w and
  // a plane stride of (r1 - r0) x window_w.
  void canonicalWindowF16(int donor, uint16_t* planes) const;
  void canonicalWindowF16Rows(int donor, int r0, int r1, uint16_t* planes) const;

  int pooledH() const { return pooledH_; }
  int pooledW() const { return pooledW_; }
  const std::vector<uint16_t>& pooledIndex() const { return index_; }

 private:
  struct Pending {
    int frame = 0;
    std::vector<uint8_t> rgb;   // the unmoved window of the canvas
    std::vector<uint8_t> mask;  // the unmoved window of the mask
    bool hasShift = false;
    int dy = 0, dx = 0;
    std::string reason;
    std::vector<int> selection;
  };

  size_t bandBytes() const { return static_cast<size_t>(bandW_) * static_cast<size_t>(bandH_) * 3; }
  void checkBank(const BankData& bank) const;
  void buildIndex();
  void poolPrepared();
  void keepWindow(const uint8_t* canvasRgb, const uint8_t* mask, Pending* p) const;
  std::vector<int> assembleSet(const Pending& p, const std::vector<int>* lookahead) const;
  void emit(const Pending& p, const std::vector<int>* lookahead, FrameResult* out);
  void compose(const Pending& p, FrameResult* out) const;
  void headInputs(const uint8_t* candidates, int count, const uint8_t* frameWindow);
  void convolve();
  void blendRows(const uint8_t* candidates, int y0, int y1);

  GeometryStamp s_;
  ServeConfig cfg_;
  HeadWeights head_;
  std::vector<uint8_t> track_;
  std::vector<double> aperture_;
  std::array<double, 2> cCanon_{};
  int nDonors_ = 0;
  int bandW_ = 0, bandH_ = 0;
  std::vector<int> donorDx_, donorDy_;
  std::vector<uint8_t> bandMask_;
  int pooledH_ = 0, pooledW_ = 0;
  std::vector<uint16_t> index_;  // per donor 3 half planes of pooledH x pooledW

  Prepared prep_;
  std::vector<uint8_t> mouth_;
  std::vector<float> prevWeight_;
  bool havePrev_ = false;
  Retrieval ret_;
  StepTimes times_;

  std::vector<int> held_;
  int64_t heldFrame_ = -2;
  std::vector<int> lastSet_;
  bool havePending_ = false;
  Pending pending_, next_;

  // Head scratch, reused from frame to frame.
  std::vector<uint8_t> candidates_;
  int headCount_ = 0;
  std::vector<float> framePooled_, in7_, hidA_, hidB_, logits_;
  std::vector<double> rowTotals_;
  Blend blend_;
};

}  // namespace le::tessera
