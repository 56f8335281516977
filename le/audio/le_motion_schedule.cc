#include <algorithm>
#include <cstring>

#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"

namespace le::motion {

void chunkInput(const std::vector<float>& feat, int64_t frames, int64_t k, float* out) {
  const int64_t base = kAdvance * k;
  for (int64_t i = 0; i < kChunk; ++i) {
    const int64_t f = std::min(base + i, frames - 1);
    std::memcpy(out + i * kFeatDim, feat.data() + f * kFeatDim, sizeof(float) * kFeatDim);
  }
}

void appendChunk(std::vector<float>& rows, const float* pred) {
  const int64_t E = static_cast<int64_t>(rows.size() / kMotionDim);
  if (E == 0) {
    rows.assign(pred, pred + size_t{kChunk} * kMotionDim);
    return;
  }
  for (int i = 0; i < kOverlap; ++i) {
    float* old = rows.data() + (E - kOverlap + i) * kMotionDim;
    const float* nw = pred + i * kMotionDim;
    const float a = static_cast<float>(i) / kOverlap;
    for (int c = 0; c < kMotionDim; ++c) old[c] = (1.0f - a) * old[c] + a * nw[c];
  }
  rows.insert(rows.end(), pred + size_t{kOverlap} * kMotionDim, pred + size_t{kChunk} * kMotionDim);
  smoothRows(rows, E - kOverlap, E);
}

void smoothRows(std::vector<float>& rows, int64_t a, int64_t b) {
  const int64_t n = static_cast<int64_t>(rows.size() / kMotionDim);
  const int64_t lo = std::max<int64_t>(a, 0), hi = std::min(b, n);
  if (lo >= hi) return;
  // Neighbours are read from the values before smoothing: copy the span with
  // one row of context either side.
  const int64_t c0 = std::max<int64_t>(lo - 1, 0), c1 = std::min(hi + 1, n);
  std::vector<float> before(rows.begin() + c0 * kMotionDim, rows.begin() + c1 * kMotionDim);
  for (int64_t t = lo; t < hi; ++t) {
    const int64_t r0 = std::max<int64_t>(t - 1, 0), r1 = std::min(t + 1, n - 1);
    const float inv = 1.0f / static_cast<float>(r1 - r0 + 1);
    for (int c = 0; c < kSmoothDim; ++c) {
      float s = 0.0f;
      for (int64_t r = r0; r <= r1; ++r) s += before[(r - c0) * kMotionDim + c];
      rows[t * kMotionDim + c] = s * inv;
    }
  }
}

void clampRow(float* row, const float* vMinMax) {
  for (int c = 0; c < kMotionDim; ++c)
    row[c] = std::min(vMinMax[kMotionDim + c], std::max(vMinMax[c], row[c]));
}

void liveRow(const std::vector<float>& rows, int64_t k, const float* vMinMax, float* out) {
  const int64_t n = static_cast<int64_t>(rows.size() / kMotionDim);
  std::memcpy(out, rows.data() + k * kMotionDim, sizeof(float) * kMotionDim);
  const int64_t r0 = std::max<int64_t>(k - 1, 0), r1 = std::min(k + 1, n - 1);
  const float inv = 1.0f / static_cast<float>(r1 - r0 + 1);
  for (int c = 0; c < kSmoothDim; ++c) {
    float s = 0.0f;
    for (int64_t r = r0; r <= r1; ++r) s += rows[r * kMotionDim + c];
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
