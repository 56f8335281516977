// Per-frame retrieval of the teeth pass: the frame's shift, its weighted
// window, the coarse ranking of every donor, the exact distance of the
// shortlist and the selection of K donors of similar opening.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "le/runtime/le_pool.h"
#include "le/runtime/retrieve_term.h"
#include "le/runtime/tessera_kernels.h"
#include "le/tessera/le_tessera.h"
#include "le/tessera/teeth_math.h"

namespace le::tessera {

namespace {

// A shift is judged by comparison, never through an absolute value: |INT_MIN|
// does not exist.
bool withinPad(double dy, double dx, int64_t pad) {
  const double p = static_cast<double>(pad);
  return dy >= -p && dy <= p && dx >= -p && dx <= p;
}

}  // namespace

bool TeethPass::deriveShift(const uint8_t* mask, const int* shift, int* dy, int* dx,
                            std::string* reason) const {
  reason->clear();
  if (shift != nullptr) {
    if (!withinPad(shift[0], shift[1], s_.pad)) {
      *reason = "shift-out-of-range";
      return false;
    }
    *dy = shift[0];
    *dx = shift[1];
    return true;
  }
  // Centroid of the mask bytes >= 128; sums stay far inside 64 bits
  // (canvas sides are at most 8192).
  const size_t cw = static_cast<size_t>(s_.canvas_w), ch = static_cast<size_t>(s_.canvas_h);
  uint64_t count = 0, sumRow = 0, sumCol = 0;
  for (size_t r = 0; r < ch; ++r) {
    const uint8_t* row = mask + r * cw;
    for (size_t c = 0; c < cw; ++c)
      if (row[c] >= 128) {
        ++count;
        sumRow += r;
        sumCol += c;
      }
  }
  if (count == 0) {
    *reason = "empty-pi";
    return false;
  }
  const double y = std::nearbyint(static_cast<double>(sumRow) / static_cast<double>(count) - cCanon_[1]);
  const double x = std::nearbyint(static_cast<double>(sumCol) / static_cast<double>(count) - cCanon_[0]);
  if (!withinPad(y, x, s_.pad)) {
    *reason = "shift-out-of-range";
    return false;
  }
  *dy = static_cast<int>(y);
  *dx = static_cast<int>(x);
  return true;
}

// Moved window, teeth test, mouth fallback and decay; then the normaliser and
// the pooled planes.
void TeethPass::retrievePrepare(const uint8_t* canvasRgb, const uint8_t* mask, int dy, int dx) {
  const int64_t ww = s_.window_w, wh = s_.window_h, cw = s_.canvas_w, ch = s_.canvas_h;
  const size_t n = static_cast<size_t>(ww * wh);
  prep_.dy = dy;
  prep_.dx = dx;
  prep_.rgb.assign(3 * n, 0);
  prep_.weight.assign(n, 0.0f);
  std::vector<uint8_t>& mouth = mouth_;
  mouth.assign(n, 0);
  int64_t teethCount = 0;
  for (int64_t y = 0; y < wh; ++y) {
    const int64_t cy = int64_t{s_.window_y0} + dy + y;
    if (cy < 0 || cy >= ch) continue;
    for (int64_t x = 0; x < ww; ++x) {
      const int64_t cx = int64_t{s_.window_x0} + dx + x;
      if (cx < 0 || cx >= cw) continue;
      const size_t i = static_cast<size_t>(y * ww + x);
      const uint8_t* px = canvasRgb + static_cast<size_t>(cy * cw + cx) * 3;
      std::copy(px, px + 3, &prep_.rgb[3 * i]);
      if (mask[cy * cw + cx] < 128) continue;  // byte / 255 > 0.5
      mouth[i] = 1;
      const double luma = 0.299 * px[0] + 0.587 * px[1] + 0.114 * px[2];
      if (luma >= cfg_.teethLumaMin && std::abs(int{px[1]} - int{px[0]}) < cfg_.teethGreenRedMax) {
        prep_.weight[i] = 1.0f;
        ++teethCount;
      }
    }
  }
  if (teethCount < cfg_.teethMinPixels)
    for (size_t i = 0; i < n; ++i) prep_.weight[i] = mouth[i] ? 1.0f : 0.0f;
  if (havePrev_) {
    const float decay = static_cast<float>(cfg_.maskDecay);
    for (size_t i = 0; i < n; ++i) prep_.weight[i] = std::max(prep_.weight[i], decay * prevWeight_[i]);
  }
  prevWeight_ = prep_.weight;
  havePrev_ = true;

  double sum = 0.0;
  prep_.active.clear();
  for (size_t i = 0; i < n; ++i) {
    sum += prep_.weight[i];
    if (prep_.weight[i] > 0.0f) prep_.active.push_back(static_cast<uint32_t>(i));
  }
  prep_.normaliser = sum < 1.0 ? 1.0 : sum;
  poolPrepared();
}

// The moved window and its weights pooled over 4 x 4 blocks.
void TeethPass::poolPrepared() {
  const size_t ww = static_cast<size_t>(s_.window_w), pw = static_cast<size_t>(pooledW_);
  const size_t pooled = static_cast<size_t>(pooledH_) * pw;
  prep_.pooled.assign(3 * pooled, 0);
  prep_.pooledW.assign(pooled, 0);
  std::vector<uint16_t> block(3 * 4 * ww);
  for (size_t py = 0; py < static_cast<size_t>(pooledH_); ++py) {
    simd::rgb8ToPlanarF16(&prep_.rgb[4 * py * ww * 3], block.data(), 4 * ww, 4 * ww);
    for (size_t c = 0; c < 3; ++c)
      teeth::pool4x4Row(block.data() + c * 4 * ww, ww, &prep_.pooled[c * pooled + py * pw]);
    for (size_t px = 0; px < pw; ++px) {
      float s = 0.0f;
      for (size_t r = 0; r < 4; ++r)
        for (size_t c = 0; c < 4; ++c) s += prep_.weight[(4 * py + r) * ww + 4 * px + c];
      prep_.pooledW[py * pw + px] = half::fromFloat(s * 0.0625f);
    }
  }
}

float TeethPass::exactTermFromBand(int donor) const {
  const float* table = dTable();
  const int64_t ww = s_.window_w, pad = s_.pad;
  // The donor byte at window position (y + dy, x + dx) as gatherWindowsU8
  // places it: patch row y + dy - band_r0 + shift_margin + oy.
  const int64_t oy = std::clamp<int64_t>(int64_t{donorDy_[donor]} - prep_.dy, -pad, pad);
  const int64_t ox = std::clamp<int64_t>(int64_t{donorDx_[donor]} - prep_.dx, -pad, pad);
  const int64_t rowOff = int64_t{prep_.dy} - s_.band_r0 + s_.shift_margin + oy;
  const int64_t colOff = int64_t{prep_.dx} - s_.band_c0 + s_.shift_margin + ox;
  const uint8_t* patch = track_.data() + static_cast<size_t>(donor) * bandBytes();
  float sum = 0.0f;
  for (const uint32_t i : prep_.active) {
    const int64_t pr = int64_t{i} / ww + rowOff, pc = int64_t{i} % ww + colOff;
    static constexpr uint8_t kOutside[3] = {0, 0, 0};
    const uint8_t* b = (pr >= 0 && pr < bandH_ && pc >= 0 && pc < bandW_)
                           ? patch + static_cast<size_t>(pr * bandW_ + pc) * 3
                           : kOutside;
    const uint8_t* f = &prep_.rgb[3 * size_t{i}];
    float s = table[f[0] * 256 + b[0]] + table[f[1] * 256 + b[1]];
    s += table[f[2] * 256 + b[2]];
    const float m = retrieve::roundHalf(s / 3.0f);
    const float p = prep_.weight[i] * m;
    sum += p;
  }
  return sum;
}

std::vector<int> TeethPass::retrieveSelect(const std::vector<int>& ordered) const {
  std::vector<int> kept;
  if (ordered.empty()) return kept;
  const size_t k = static_cast<size_t>(cfg_.K);
  // The best donor is kept whatever its opening: a NaN could not match itself.
  const int best = ordered[0];
  const double ab = aperture_[best];
  const double tol = cfg_.aperture_tol * std::max(ab, 1e-6);
  kept.push_back(best);
  const size_t walk = std::min(ordered.size(), static_cast<size_t>(std::max(cfg_.cut, 1)));
  for (size_t i = 1; i < walk && kept.size() < k; ++i)
    if (std::fabs(aperture_[ordered[i]] - ab) <= tol) kept.push_back(ordered[i]);
  while (kept.size() < k) kept.push_back(kept.back());
  return kept;
}

const std::vector<int>& TeethPass::retrieve() {
  const size_t n = static_cast<size_t>(nDonors_);
  const size_t pooled = static_cast<size_t>(pooledH_) * static_cast<size_t>(pooledW_);
  teeth::StepClock clock;
  ret_.coarse.resize(n);
  pool::parallelRange(n, 1, [&](size_t begin, size_t end) {
    for (size_t d = begin; d < end; ++d)
      ret_.coarse[d] = retrieve::roundHalf(simd::retrieveTermPooled(
          prep_.pooled.data(), index_.data() + d * 3 * pooled, prep_.pooledW.data(), pooled));
  });
  std::vector<int> order = teeth::stableOrder(ret_.coarse);
  order.resize(std::min(n, static_cast<size_t>(cfg_.kshort)));
  ret_.shortlist = order;
  clock.lap(&times_.coarse);
  ret_.exact.resize(order.size());
  pool::parallelRange(order.size(), 1, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j)
      ret_.exact[j] = static_cast<float>(static_cast<double>(exactTermFromBand(order[j])) / prep_.normaliser);
  });
  std::vector<int> byExact;
  for (const int j : teeth::stableOrder(ret_.exact)) byExact.push_back(order[static_cast<size_t>(j)]);
  ret_.selection = retrieveSelect(byExact);
  clock.lap(&times_.exact);
  return ret_.selection;
}

}  // namespace le::tessera
