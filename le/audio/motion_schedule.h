// The chunk schedule of the motion generator as plain functions over row-major
// motion rows (265 floats each): overlap blending, three-frame smoothing,
// clamping, the chunk's feature input and the driver-index walk. A table's
// first row is frame `base` (a stream lets its oldest rows go); frames are
// absolute, the table's ends are frame 0 and its last row.
#pragma once

#include <cstdint>
#include <vector>

namespace le::motion {

inline constexpr int kChunk = 80;
inline constexpr int kAdvance = 70;
inline constexpr int kOverlap = 10;

// Feature rows 70 k .. 70 k + 79 of `feat` (frames rows of 1103); frames past
// the last available one repeat it. frames must be at least 1.
void chunkInput(const std::vector<float>& feat, int64_t frames, int64_t k, float* out, int64_t base = 0);

// Appends one generated chunk (80 x 265) to rows, E = rows so far: the first
// chunk is taken whole; later ones cross-fade their first 10 rows into rows
// E-10 .. E-1, append the other 70 and smooth rows E-10 .. E-1.
void appendChunk(std::vector<float>& rows, const float* pred, int64_t base = 0);

// Three-frame centred box over the first 202 values of rows [a, b) (clipped to
// the table), reading the values as they were before this call.
void smoothRows(std::vector<float>& rows, int64_t a, int64_t b, int64_t base = 0);

// Row k as emission sees it before finish: its first 202 values boxed with its
// neighbours (shortened at the table's ends), then clamped.
void liveRow(const std::vector<float>& rows, int64_t k, const float* vMinMax, float* out, int64_t base = 0);

// Each value into [lower, upper] of v_min_max (lower row first).
void clampRow(float* row, const float* vMinMax);

// Driver index walk: the first frame uses the start index, then steps, wrapping
// (loop) or bouncing off the ends without repeating them.
struct IndexWalk {
  int64_t nt = 1;
  int64_t cur = 0;
  int step = 1;
  bool loop = true;
  bool started = false;
  void reset(int64_t ntIn, int64_t start, int direction, bool loopIn);
  int64_t next();
};

}  // namespace le::motion
