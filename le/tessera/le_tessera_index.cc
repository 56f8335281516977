// Donor data the teeth pass prepares once: the byte difference table and the
// 4 x 4 pooled canonical window of every donor (the coarse index).
#include <algorithm>
#include <array>
#include <cstring>

#include "le/runtime/le_pool.h"
#include "le/runtime/retrieve_term.h"
#include "le/runtime/tessera_kernels.h"
#include "le/tessera/le_tessera.h"
#include "le/tessera/teeth_math.h"

namespace le::tessera {

const float* TeethPass::dTable() {
  // Function-local static: built by the first caller, thread-safe.
  static const std::vector<float> table = [] {
    std::array<float, 256> h{};
    for (int i = 0; i < 256; ++i) h[i] = retrieve::roundHalf(static_cast<float>(i) / 255.0f);
    std::vector<float> t(256 * 256);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) t[a * 256 + b] = retrieve::channelTerm(h[b], h[a]);
    return t;
  }();
  return table.data();
}

void TeethPass::canonicalWindowF16Rows(int donor, int r0, int r1, uint16_t* planes) const {
  const size_t ww = static_cast<size_t>(s_.window_w);
  const size_t rows = static_cast<size_t>(r1 - r0);
  const size_t planeStride = rows * ww;
  std::fill(planes, planes + 3 * planeStride, uint16_t{0});
  // Window column x shows patch column x - band_c0 + shift_margin.
  const int64_t colShift = int64_t{s_.shift_margin} - s_.band_c0;
  const int64_t xa = std::max<int64_t>(0, -colShift);
  const int64_t xb = std::min<int64_t>(static_cast<int64_t>(ww), bandW_ - colShift);
  if (xa >= xb) return;
  const uint8_t* patch = track_.data() + static_cast<size_t>(donor) * bandBytes();
  for (int y = r0; y < r1; ++y) {
    const int64_t pr = int64_t{y} - s_.band_r0 + s_.shift_margin;
    if (pr < 0 || pr >= bandH_) continue;
    const uint8_t* src = patch + (static_cast<size_t>(pr) * bandW_ + static_cast<size_t>(xa + colShift)) * 3;
    simd::rgb8ToPlanarF16(src, planes + static_cast<size_t>(y - r0) * ww + static_cast<size_t>(xa), planeStride,
                          static_cast<size_t>(xb - xa));
  }
}

void TeethPass::canonicalWindowF16(int donor, uint16_t* planes) const {
  canonicalWindowF16Rows(donor, 0, s_.window_h, planes);
}

void TeethPass::buildIndex() {
  pooledH_ = s_.window_h / 4;
  pooledW_ = s_.window_w / 4;
  const size_t ww = static_cast<size_t>(s_.window_w);
  const size_t pooled = static_cast<size_t>(pooledH_) * static_cast<size_t>(pooledW_);
  index_.assign(static_cast<size_t>(nDonors_) * 3 * pooled, 0);
  pool::parallelRange(static_cast<size_t>(nDonors_), 1, [&](size_t begin, size_t end) {
    std::vector<uint16_t> block(3 * 4 * ww);  // four window rows, three planes
    for (size_t d = begin; d < end; ++d) {
      uint16_t* out = index_.data() + d * 3 * pooled;
      for (int py = 0; py < pooledH_; ++py) {
        canonicalWindowF16Rows(static_cast<int>(d), 4 * py, 4 * py + 4, block.data());
        for (size_t c = 0; c < 3; ++c)
          teeth::pool4x4Row(block.data() + c * 4 * ww, ww,
                            out + c * pooled + static_cast<size_t>(py) * static_cast<size_t>(pooledW_));
      }
    }
  });
}

}  // namespace le::tessera
