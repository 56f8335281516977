// Kept apart from the ring: the walk rules are pure and tested on their own.
#include "le/render/source_cone.h"

namespace le {

int32_t ConePredictor::next(int32_t si, int32_t N) {
  const int32_t last = lastSi;
  lastSi = si;
  if (N < 2) return -1;
  if (last == N - 1 && si == 0) {
    wrap = true;
    if (last == 1) step = -1;  // N = 2: 1 -> 0 is as much a step back as a wrap
    const int32_t t = (si + step) % N;
    return t < 0 ? t + N : t;
  }
  if (last >= 0 && (si - last == 1 || si - last == -1)) step = si - last;
  int32_t t = si + step;
  if (wrap) {
    t %= N;
    return t < 0 ? t + N : t;
  }
  if (t >= N) return N - 2;
  if (t < 0) return 1;
  return t;
}

}  // namespace le
