// The teeth pass's blend: candidate windows gathered from the donor patches
// and the blend head, a small per-candidate network whose logits, brought
// back to window resolution, weigh the candidates per pixel by a softmax.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "le/runtime/le_pool.h"
#include "le/runtime/tessera_kernels.h"
#include "le/tessera/le_tessera.h"

namespace le::tessera {

namespace {

// Half-resolution source of output index i (half-pixel centres, scale 2).
struct Tap {
  int i0, i1;
  float frac;
};

Tap upsampleTap(int i, int halfSize) {
  const float s = std::max((static_cast<float>(i) + 0.5f) * 0.5f - 0.5f, 0.0f);
  const int i0 = static_cast<int>(s);  // s >= 0: truncation is floor
  return {i0, std::min(i0 + 1, halfSize - 1), s - static_cast<float>(i0)};
}

// Planar 2 x 2 means of an RGB24 window (bytes / 255), plane stride hh x hw.
void avgPool(const uint8_t* rgb, int wh, int ww, float* planes) {
  const int hh = wh / 2, hw = ww / 2;
  const size_t stride = static_cast<size_t>(hh) * static_cast<size_t>(hw);
  auto at = [&](int y, int x, int c) {
    return static_cast<float>(rgb[(static_cast<size_t>(y) * ww + x) * 3 + c]) / 255.0f;
  };
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < hh; ++y)
      for (int x = 0; x < hw; ++x) {
        float s = at(2 * y, 2 * x, c) + at(2 * y, 2 * x + 1, c);
        s += at(2 * y + 1, 2 * x, c);
        s += at(2 * y + 1, 2 * x + 1, c);
        planes[c * stride + static_cast<size_t>(y) * hw + x] = s * 0.25f;
      }
}

}  // namespace

void TeethPass::gatherWindowsU8(const std::vector<int>& set, int dy, int dx, uint8_t* out) const {
  const int64_t ww = s_.window_w, wh = s_.window_h, pad = s_.pad;
  const size_t windowBytes = static_cast<size_t>(ww * wh * 3);
  for (size_t k = 0; k < set.size(); ++k) {
    const int d = set[k];
    uint8_t* win = out + k * windowBytes;
    std::memset(win, 0, windowBytes);
    const int64_t oy = std::clamp<int64_t>(int64_t{donorDy_[d]} - dy, -pad, pad);
    const int64_t ox = std::clamp<int64_t>(int64_t{donorDx_[d]} - dx, -pad, pad);
    const int64_t colShift = int64_t{s_.shift_margin} - s_.band_c0 + ox;  // patch column - x
    const int64_t xa = std::max<int64_t>(0, -colShift), xb = std::min<int64_t>(ww, bandW_ - colShift);
    if (xa >= xb) continue;
    const uint8_t* patch = track_.data() + static_cast<size_t>(d) * bandBytes();
    for (int64_t y = 0; y < wh; ++y) {
      const int64_t pr = y - s_.band_r0 + s_.shift_margin + oy;
      if (pr < 0 || pr >= bandH_) continue;
      std::memcpy(win + static_cast<size_t>(y * ww + xa) * 3,
                  patch + static_cast<size_t>(pr * bandW_ + xa + colShift) * 3, static_cast<size_t>(xb - xa) * 3);
    }
  }
}

// Candidate network over the 7-channel inputs in in7_: two 16-channel 3 x 3
// layers with ReLU and a 1-channel layer; one pool task per output plane.
void TeethPass::convolve() {
  const int k = headCount_, hh = s_.window_h / 2, hw = s_.window_w / 2;
  const size_t plane = static_cast<size_t>(hh) * static_cast<size_t>(hw);
  auto layer = [&](const float* in, int cin, const std::vector<float>& w, const std::vector<float>& b, int cout,
                   float* out, bool relu) {
    pool::parallelRange(static_cast<size_t>(k) * cout, 1, [&](size_t begin, size_t end) {
      simd::conv3x3Range(in, k, cin, hh, hw, w.data(), b.data(), cout, out, static_cast<int>(begin),
                         static_cast<int>(end));
      if (relu)
        for (float* p = out + begin * plane; p != out + end * plane; ++p) *p = std::max(*p, 0.0f);
    });
  };
  layer(in7_.data(), 7, head_.cand0W, head_.cand0B, 16, hidA_.data(), true);
  layer(hidA_.data(), 16, head_.cand2W, head_.cand2B, 16, hidB_.data(), true);
  layer(hidB_.data(), 16, head_.cand4W, head_.cand4B, 1, logits_.data(), false);
}

// 7-channel half-resolution input per candidate: its R, G, B, the frame's
// R, G, B and the mean over channels of |candidate - frame|.
void TeethPass::headInputs(const uint8_t* candidates, int count, const uint8_t* frameWindow) {
  const int wh = s_.window_h, ww = s_.window_w;
  const size_t plane = static_cast<size_t>(wh / 2) * static_cast<size_t>(ww / 2);
  const size_t windowBytes = static_cast<size_t>(wh) * static_cast<size_t>(ww) * 3;
  framePooled_.resize(3 * plane);
  avgPool(frameWindow, wh, ww, framePooled_.data());
  in7_.resize(static_cast<size_t>(count) * 7 * plane);
  pool::parallelRange(static_cast<size_t>(count), 1, [&](size_t begin, size_t end) {
    for (size_t c = begin; c < end; ++c) {
      float* in = in7_.data() + c * 7 * plane;
      avgPool(candidates + c * windowBytes, wh, ww, in);
      std::copy(framePooled_.begin(), framePooled_.end(), in + 3 * plane);
      for (size_t i = 0; i < plane; ++i) {
        float s = std::fabs(in[i] - in[3 * plane + i]) + std::fabs(in[plane + i] - in[4 * plane + i]);
        s += std::fabs(in[2 * plane + i] - in[5 * plane + i]);
        in[6 * plane + i] = s / 3.0f;
      }
    }
  });
}

// Rows [y0, y1) of the blend: per pixel the logits brought to full resolution,
// their softmax, the weighted colour, the largest weight and the row's share
// of every candidate's total weight. Each step runs over a whole row, one
// candidate after another, so every per-pixel sum still adds the candidates
// in order.
void TeethPass::blendRows(const uint8_t* candidates, int y0, int y1) {
  const int k = headCount_, wh = s_.window_h, ww = s_.window_w, hh = wh / 2, hw = ww / 2;
  const size_t plane = static_cast<size_t>(hh) * static_cast<size_t>(hw), w = static_cast<size_t>(ww);
  const size_t windowBytes = static_cast<size_t>(wh) * w * 3;
  std::vector<Tap> cols(w);
  for (int x = 0; x < ww; ++x) cols[static_cast<size_t>(x)] = upsampleTap(x, hw);
  std::vector<float> up(static_cast<size_t>(k) * w), top(w), sum(w), rgb(3 * w), peak(w);
  for (int y = y0; y < y1; ++y) {
    const Tap ty = upsampleTap(y, hh);
    std::fill(top.begin(), top.end(), -INFINITY);
    for (int c = 0; c < k; ++c) {
      const float* l = logits_.data() + static_cast<size_t>(c) * plane;
      const float* r0 = l + static_cast<size_t>(ty.i0) * hw;
      const float* r1 = l + static_cast<size_t>(ty.i1) * hw;
      float* u = &up[static_cast<size_t>(c) * w];
      for (size_t x = 0; x < w; ++x) {
        const Tap& tx = cols[x];
        const float a = (1.0f - tx.frac) * r0[tx.i0] + tx.frac * r0[tx.i1];
        const float b = (1.0f - tx.frac) * r1[tx.i0] + tx.frac * r1[tx.i1];
        u[x] = (1.0f - ty.frac) * a + ty.frac * b;
        top[x] = std::max(top[x], u[x]);
      }
    }
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (int c = 0; c < k; ++c) {
      float* u = &up[static_cast<size_t>(c) * w];
      for (size_t x = 0; x < w; ++x) {
        u[x] = std::exp(u[x] - top[x]);
        sum[x] += u[x];
      }
    }
    std::fill(rgb.begin(), rgb.end(), 0.0f);
    std::fill(peak.begin(), peak.end(), 0.0f);
    const size_t row = static_cast<size_t>(y) * w;
    for (int c = 0; c < k; ++c) {
      const float* u = &up[static_cast<size_t>(c) * w];
      const uint8_t* cand = candidates + static_cast<size_t>(c) * windowBytes + row * 3;
      double total = 0.0;
      for (size_t x = 0; x < w; ++x) {
        const float p = u[x] / sum[x];
        for (size_t ch = 0; ch < 3; ++ch) rgb[3 * x + ch] += p * static_cast<float>(cand[3 * x + ch]);
        peak[x] = std::max(peak[x], p);
        total += p;
      }
      rowTotals_[static_cast<size_t>(y) * k + c] = total;
    }
    std::copy(rgb.begin(), rgb.end(), &blend_.rgb[row * 3]);
    std::copy(peak.begin(), peak.end(), &blend_.peak[row]);
  }
}

const TeethPass::Blend& TeethPass::headForward(const uint8_t* candidates, int count, const uint8_t* frameWindow) {
  const int wh = s_.window_h, ww = s_.window_w;
  const size_t plane = static_cast<size_t>(wh / 2) * static_cast<size_t>(ww / 2);
  const size_t pixels = static_cast<size_t>(wh) * static_cast<size_t>(ww);
  headCount_ = count;
  blend_.rgb.assign(3 * pixels, 0.0f);
  blend_.peak.assign(pixels, 0.0f);
  blend_.total.assign(static_cast<size_t>(count), 0.0);
  if (count < 1) return blend_;
  headInputs(candidates, count, frameWindow);
  hidA_.resize(static_cast<size_t>(count) * 16 * plane);
  hidB_.resize(hidA_.size());
  logits_.resize(static_cast<size_t>(count) * plane);
  convolve();
  rowTotals_.assign(static_cast<size_t>(wh) * count, 0.0);
  // About 256 pixels per task at least.
  const size_t grain = std::max<size_t>(1, (256 + static_cast<size_t>(ww) - 1) / static_cast<size_t>(ww));
  pool::parallelRange(static_cast<size_t>(wh), grain, [&](size_t begin, size_t end) {
    blendRows(candidates, static_cast<int>(begin), static_cast<int>(end));
  });
  // Row shares are added in row order: the totals do not depend on the split.
  for (int y = 0; y < wh; ++y)
    for (int c = 0; c < count; ++c) blend_.total[c] += rowTotals_[static_cast<size_t>(y) * count + c];
  return blend_;
}

}  // namespace le::tessera
