#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"

namespace le::motion {

namespace {

// Row f of a table whose first row is frame base; a frame already let go is a
// caller's error, never a read before the array.
template <class V>
auto rowOf(V& rows, int64_t f, int64_t base, int64_t width) {
  if (f < base) throw std::logic_error("motion frame " + std::to_string(f) + " was let go (rows from " +
                                       std::to_string(base) + ")");
  return rows.data() + (f - base) * width;
}

int64_t endOf(const std::vector<float>& rows, int64_t base) {
  return base + static_cast<int64_t>(rows.size() / kMotionDim);
}

}  // namespace

void chunkInput(const std::vector<float>& feat, int64_t frames, int64_t k, float* out, int64_t base) {
  const int64_t first = kAdvance * k;
  for (int64_t i = 0; i < kChunk; ++i) {
    const int64_t f = std::min(first + i, frames - 1);
    std::memcpy(out + i * kFeatDim, rowOf(feat, f, base, kFeatDim), sizeof(float) * kFeatDim);
  }
}

void appendChunk(std::vector<float>& rows, const float* pred, int64_t base) {
  const int64_t E = endOf(rows, base);
  if (E == 0) {
    rows.assign(pred, pred + size_t{kChunk} * kMotionDim);
    return;
  }
  for (int i = 0; i < kOverlap; ++i) {
    float* old = rowOf(rows, E - kOverlap + i, base, kMotionDim);
    const float* nw = pred + i * kMotionDim;
    const float a = static_cast<float>(i) / kOverlap;
    for (int c = 0; c < kMotionDim; ++c) old[c] = (1.0f - a) * old[c] + a * nw[c];
  }
  rows.insert(rows.end(), pred + size_t{kOverlap} * kMotionDim, pred + size_t{kChunk} * kMotionDim);
  smoothRows(rows, E - kOverlap, E, base);
}

void smoothRows(std::vector<float>& rows, int64_t a, int64_t b, int64_t base) {
  const int64_t n = endOf(rows, base);
  const int64_t lo = std::max<int64_t>(a, 0), hi = std::min(b, n);
  if (lo >= hi) return;
  // Neighbours are read from the values before smoothing: copy the span with
  // one row of context either side.
  const int64_t c0 = std::max<int64_t>(lo - 1, 0), c1 = std::min(hi + 1, n);
  const float* from = rowOf(rows, c0, base, kMotionDim);
  std::vector<float> before(from, from + (c1 - c0) * kMotionDim);
  for (int64_t t = lo; t < hi; ++t) {
    const int64_t r0 = std::max<int64_t>(t - 1, 0), r1 = std::min(t + 1, n - 1);
    const float inv = 1.0f / static_cast<float>(r1 - r0 + 1);
    float* dst = rowOf(rows, t, base, kMotionDim);
    for (int c = 0; c < kSmoothDim; ++c) {
      float s = 0.0f;
      for (int64_t r = r0; r <= r1; ++r) s += before[(r - c0) * kMotionDim + c];
      dst[c] = s * inv;
    }
  }
}

void clampRow(float* row, const float* vMinMax) {
  for (int c = 0; c < kMotionDim; ++c)
    row[c] = std::min(vMinMax[kMotionDim + c], std::max(vMinMax[c], row[c]));
}

void liveRow(const std::vector<float>& rows, int64_t k, const float* vMinMax, float* out, int64_t base) {
  const int64_t n = endOf(rows, base);
  std::memcpy(out, rowOf(rows, k, base, kMotionDim), sizeof(float) * kMotionDim);
  const int64_t r0 = std::max<int64_t>(k - 1, 0), r1 = std::min(k + 1, n - 1);
  const float inv = 1.0f / static_cast<float>(r1 - r0 + 1);
  for (int c = 0; c < kSmoothDim; ++c) {
    float s = 0.0f;
    for (int64_t r = r0; r <= r1; ++r) s += rowOf(rows, r, base, kMotionDim)[c];
    out[c] = s * inv;
  }
  clampRow(out, vMinMax);
}

void IndexWalk::reset(int64_t ntIn, int64_t start, int direction, bool loopIn) {
  nt = std::max<int64_t>(ntIn, 1);
  cur = std::min(std::max<int64_t>(start, 0), nt - 1);
  step = direction < 0 ? -1 : 1;
  loop = loopIn;
  started = false;
}

int64_t IndexWalk::next() {
  if (!started) {
    started = true;
    return cur;
  }
  int64_t n = cur + step;
  if (loop) {
    n = ((n % nt) + nt) % nt;
  } else if (n < 0) {
    n = 1;
    step = 1;
  } else if (n >= nt) {
    n = nt - 2;
    step = -1;
  }
  cur = std::min(std::max<int64_t>(n, 0), nt - 1);
  return cur;
}

}  // namespace le::motion
