// Int8 convolution kernels. AVX3_DL multiplies unsigned by signed bytes with
// the VNNI dot product (4 products summed per 32-bit lane); the other vector
// targets read a 16-bit quantised image and 16-bit weights and multiply pairs
// (ReorderWidenMulAccumulate); the scalar target loops.
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/render/le_int8_kernels.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "le/render/int8_kernels.h"

#undef LE_INT8_VNNI
#undef LE_INT8_ATTR
#if HWY_TARGET == HWY_AVX3_DL
#define LE_INT8_VNNI 1
// Highway 1.0.3 enables only the VEX form of VNNI for this target; the
// dispatcher's AVX3_DL check already requires the 512-bit one.
#define LE_INT8_ATTR __attribute__((target(HWY_TARGET_STR ",avx512vnni")))
#else
#define LE_INT8_VNNI 0
#define LE_INT8_ATTR
#endif

HWY_BEFORE_NAMESPACE();
namespace le::int8 {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || LE_INT8_VNNI
using Elem = uint8_t;
#else
using Elem = uint16_t;
#endif

size_t QuantElemBytes() { return sizeof(Elem); }

inline int32_t quantize(float x, float sx, int32_t zp) {
  // |x / sx| <= 255 for every x inside the measured range, so the cast is safe.
  const int32_t v = static_cast<int32_t>(std::nearbyint(x / sx)) + zp;
  return std::clamp(v, 0, 255);
}

void MinMax(const float* HWY_RESTRICT x, size_t n, float* lo, float* hi) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  auto vmin = hn::Set(d, kInf);
  auto vmax = hn::Set(d, -kInf);
  // v - v is 0 for every finite v and NaN otherwise; min and max alone would
  // drop a NaN depending on operand order.
  auto bad = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(d, x + i);
    vmin = hn::Min(vmin, v);
    vmax = hn::Max(vmax, v);
    bad = hn::Add(bad, hn::Sub(v, v));
  }
  float mn = hn::GetLane(hn::MinOfLanes(d, vmin));
  float mx = hn::GetLane(hn::MaxOfLanes(d, vmax));
  float b = hn::GetLane(hn::SumOfLanes(d, bad));
  for (; i < n; ++i) {
    mn = std::min(mn, x[i]);
    mx = std::max(mx, x[i]);
    b += x[i] - x[i];
  }
  if (b != 0 || std::isnan(b)) mn = mx = std::numeric_limits<float>::quiet_NaN();
  *lo = mn;
  *hi = mx;
}

void QuantizeRows(const Plan& p, const float* HWY_RESTRICT x, void* qv, size_t r0, size_t r1) {
  Elem* q = static_cast<Elem*>(qv);
  const hn::CappedTag<float, 16> df;
  const hn::RebindToSigned<decltype(df)> di;
  const size_t N = hn::Lanes(df);
  const auto vsx = hn::Set(df, p.sx);
  const auto vzp = hn::Set(di, p.zp);
  const auto v0 = hn::Zero(di);
  const auto v255 = hn::Set(di, 255);
  HWY_ALIGN int32_t tmp[16];
  const size_t pv = static_cast<size_t>(p.pixelValues());
  const size_t rowValues = static_cast<size_t>(p.wp) * pv;
  const size_t hp = static_cast<size_t>(p.hp);
  const size_t h = static_cast<size_t>(p.h), w = static_cast<size_t>(p.w);
  for (size_t r = r0; r < r1; ++r) {
    Elem* row = q + r * rowValues;
    std::fill(row, row + rowValues, static_cast<Elem>(p.zp));
    const size_t n = r / hp, yp = r % hp;
    if (yp < static_cast<size_t>(p.padTop) || yp - static_cast<size_t>(p.padTop) >= h) continue;
    const size_t y = yp - static_cast<size_t>(p.padTop);
    Elem* px0 = row + static_cast<size_t>(p.padLeft) * pv;
    for (int64_t c = 0; c < p.c; ++c) {
      const float* src = x + ((n * static_cast<size_t>(p.c) + static_cast<size_t>(c)) * h + y) * w;
      Elem* dst = px0 + static_cast<size_t>((c / p.cg) * p.cg4 + c % p.cg);
      size_t i = 0;
      for (; i + N <= w; i += N) {
        auto v = hn::Add(hn::NearestInt(hn::Div(hn::LoadU(df, src + i), vsx)), vzp);
        hn::Store(hn::Min(hn::Max(v, v0), v255), di, tmp);
        for (size_t l = 0; l < N; ++l) dst[(i + l) * pv] = static_cast<Elem>(tmp[l]);
      }
      for (; i < w; ++i) dst[i * pv] = static_cast<Elem>(quantize(src[i], p.sx, p.zp));
    }
  }
}

#if HWY_TARGET == HWY_SCALAR

void ProductRows(const Plan& p, const void* qv, float* HWY_RESTRICT y, size_t i0, size_t i1) {
  const Elem* q = static_cast<const Elem*>(qv);
  const int64_t pv = p.pixelValues(), taps = p.taps(), quads = p.cg4 / 4;
  const int64_t image = p.hp * p.wp * pv, plane = p.ho * p.wo;
  for (size_t it = i0; it < i1; ++it) {
    const int64_t n = static_cast<int64_t>(it) / p.ho, oy = static_cast<int64_t>(it) % p.ho;
    for (int64_t g = 0; g < p.group; ++g) {
      for (int64_t m = 0; m < p.mg; ++m) {
        const int64_t pm = g * p.blocks * 16 + m;
        const int8_t* wm = p.w8 + ((g * p.blocks + m / 16) * taps * quads) * 64 + (m % 16) * 4;
        float* out = y + (n * p.group * p.mg + g * p.mg + m) * plane + oy * p.wo;
        for (int64_t ox = 0; ox < p.wo; ++ox) {
          const Elem* win = q + n * image + ((oy * p.strideH) * p.wp + ox * p.strideW) * pv + g * p.cg4;
          int32_t acc = 0;
          for (int64_t t = 0; t < taps; ++t) {
            const Elem* px = win + p.tapOffset[t] * pv;
            const int8_t* wt = wm + t * quads * 64;
            for (int64_t c = 0; c < p.cg; ++c) acc += int32_t{px[c]} * wt[(c / 4) * 64 + c % 4];
          }
          out[ox] = static_cast<float>(acc - p.corr[pm]) * p.scale[pm] + p.bias[pm];
        }
      }
    }
  }
}

#else  // vector targets

using D32 = hn::CappedTag<int32_t, 16>;  // one column: up to 16 output channels
using DF = hn::Rebind<float, D32>;
using DU32 = hn::RebindToUnsigned<D32>;
using V32 = hn::Vec<D32>;

#if LE_INT8_VNNI
using WElem = int8_t;
constexpr int64_t kStepValues = 4;  // input channels per k-step
using DW = hn::Repartition<int8_t, D32>;

LE_INT8_ATTR HWY_INLINE V32 Mac(D32, V32 acc, V32& /*odd*/, hn::Vec<DU32> x, hn::Vec<DW> w) {
  return V32{_mm512_dpbusd_epi32(acc.raw, x.raw, w.raw)};
}
#else
using WElem = int16_t;
constexpr int64_t kStepValues = 2;
using DW = hn::Repartition<int16_t, D32>;

HWY_INLINE V32 Mac(D32 d, V32 acc, V32& odd, hn::Vec<DU32> x, hn::Vec<DW> w) {
  return hn::ReorderWidenMulAccumulate(d, hn::BitCast(DW(), x), w, acc, odd);
}
#endif

// Weights of one k-step: 16 channels x kStepValues, 64 bytes.
constexpr int64_t kStepW = 64 / static_cast<int64_t>(sizeof(WElem));

HWY_INLINE hn::Vec<DU32> Broadcast(const Elem* px) {
  uint32_t word;  // kStepValues input channels of one pixel
  std::memcpy(&word, px, sizeof word);
  return hn::Set(DU32(), word);
}

struct Tile {
  const Plan* p;
  const Elem* win[4];   // window origin of each pixel, this group's channels
  const WElem* w[3];    // first tap, first step of each column
  int64_t steps;        // k-steps per tap
  int64_t tapStride;    // weight elements per tap
};

// Dequantises one accumulator (one pixel, one column) into the row buffer,
// which holds each pixel's channels contiguously.
HWY_INLINE void StoreColumn(const Plan& p, V32 acc, int64_t pm, float* dst) {
  const D32 d32;
  const DF df;
  const auto v = hn::Sub(acc, hn::LoadU(d32, p.corr + pm));
  hn::StoreU(hn::Add(hn::Mul(hn::ConvertTo(df, v), hn::LoadU(df, p.scale + pm)), hn::LoadU(df, p.bias + pm)),
             df, dst);
}

template <int kCols>
LE_INT8_ATTR void RunTile(const Tile& t, const int64_t pm[3], int valid, float* row, int64_t ld) {
  const D32 d32;
  const DW dw;
  const Plan& p = *t.p;
  const int64_t pv = p.pixelValues();
  auto a00 = hn::Zero(d32), a01 = a00, a02 = a00, a10 = a00, a11 = a00, a12 = a00;
  auto a20 = a00, a21 = a00, a22 = a00, a30 = a00, a31 = a00, a32 = a00;
  auto b00 = a00, b01 = a00, b02 = a00, b10 = a00, b11 = a00, b12 = a00;
  auto b20 = a00, b21 = a00, b22 = a00, b30 = a00, b31 = a00, b32 = a00;
  const int64_t taps = p.taps();
  for (int64_t tap = 0; tap < taps; ++tap) {
    const int64_t off = p.tapOffset[tap] * pv;
    const Elem* x0 = t.win[0] + off;
    const Elem* x1 = t.win[1] + off;
    const Elem* x2 = t.win[2] + off;
    const Elem* x3 = t.win[3] + off;
    const WElem* w0 = t.w[0] + tap * t.tapStride;
    const WElem* w1 = t.w[1] + tap * t.tapStride;
    const WElem* w2 = t.w[2] + tap * t.tapStride;
    for (int64_t k = 0; k < t.steps; ++k) {
      const auto c0 = hn::LoadU(dw, w0 + k * kStepW);
      const auto c1 = kCols > 1 ? hn::LoadU(dw, w1 + k * kStepW) : c0;
      const auto c2 = kCols > 2 ? hn::LoadU(dw, w2 + k * kStepW) : c0;
      const auto v0 = Broadcast(x0 + k * kStepValues);
      a00 = Mac(d32, a00, b00, v0, c0);
      if constexpr (kCols > 1) a01 = Mac(d32, a01, b01, v0, c1);
      if constexpr (kCols > 2) a02 = Mac(d32, a02, b02, v0, c2);
      const auto v1 = Broadcast(x1 + k * kStepValues);
      a10 = Mac(d32, a10, b10, v1, c0);
      if constexpr (kCols > 1) a11 = Mac(d32, a11, b11, v1, c1);
      if constexpr (kCols > 2) a12 = Mac(d32, a12, b12, v1, c2);
      const auto v2 = Broadcast(x2 + k * kStepValues);
      a20 = Mac(d32, a20, b20, v2, c0);
      if constexpr (kCols > 1) a21 = Mac(d32, a21, b21, v2, c1);
      if constexpr (kCols > 2) a22 = Mac(d32, a22, b22, v2, c2);
      const auto v3 = Broadcast(x3 + k * kStepValues);
      a30 = Mac(d32, a30, b30, v3, c0);
      if constexpr (kCols > 1) a31 = Mac(d32, a31, b31, v3, c1);
      if constexpr (kCols > 2) a32 = Mac(d32, a32, b32, v3, c2);
    }
  }
  // Pixels past the row's end repeated the last one and are not stored.
#define LE_INT8_STORE(P, C) \
  if (P < valid && C < kCols) StoreColumn(p, hn::RearrangeToOddPlusEven(a##P##C, b##P##C), pm[C], row + P * ld + pm[C]);
  LE_INT8_STORE(0, 0) LE_INT8_STORE(0, 1) LE_INT8_STORE(0, 2)
  LE_INT8_STORE(1, 0) LE_INT8_STORE(1, 1) LE_INT8_STORE(1, 2)
  LE_INT8_STORE(2, 0) LE_INT8_STORE(2, 1) LE_INT8_STORE(2, 2)
  LE_INT8_STORE(3, 0) LE_INT8_STORE(3, 1) LE_INT8_STORE(3, 2)
#undef LE_INT8_STORE
}

LE_INT8_ATTR void ProductRows(const Plan& p, const void* qv, float* HWY_RESTRICT y, size_t i0, size_t i1) {
  const Elem* q = static_cast<const Elem*>(qv);
  const int64_t NL = static_cast<int64_t>(hn::Lanes(D32()));
  const int64_t pv = p.pixelValues(), taps = p.taps();
  const int64_t steps = p.cg4 / kStepValues;
  const int64_t image = p.hp * p.wp * pv, plane = p.ho * p.wo;
  const int64_t cols = (p.mg + NL - 1) / NL;
  // One output row, channel-last, before its transposition into the planes:
  // scattering straight into planes 4 KiB apart stalls on store aliasing.
  const int64_t ld = p.group * p.blocks * 16;
  std::vector<float> rowBuf(static_cast<size_t>(p.wo * ld));
  const WElem* weights;
#if LE_INT8_VNNI
  weights = p.w8;
#else
  weights = p.w16;
#endif
  for (size_t it = i0; it < i1; ++it) {
    const int64_t n = static_cast<int64_t>(it) / p.ho, oy = static_cast<int64_t>(it) % p.ho;
    const Elem* rowOrigin = q + n * image + (oy * p.strideH) * p.wp * pv;
    for (int64_t g = 0; g < p.group; ++g) {
      for (int64_t col0 = 0; col0 < cols; col0 += 3) {
        const int kCols = static_cast<int>(std::min<int64_t>(3, cols - col0));
        Tile t;
        t.p = &p;
        t.steps = steps;
        t.tapStride = steps * kStepW;
        int64_t pm[3];  // first channel of each column in the padded channel order
        for (int c = 0; c < 3; ++c) {
          const int64_t m0 = (col0 + std::min(c, kCols - 1)) * NL;
          pm[c] = g * p.blocks * 16 + m0;
          t.w[c] = weights + ((g * p.blocks + m0 / 16) * taps) * t.tapStride + (m0 % 16) * kStepValues;
        }
        for (int64_t ox0 = 0; ox0 < p.wo; ox0 += 4) {
          const int valid = static_cast<int>(std::min<int64_t>(4, p.wo - ox0));
          for (int i = 0; i < 4; ++i) {
            const int64_t ox = ox0 + std::min(i, valid - 1);
            t.win[i] = rowOrigin + ox * p.strideW * pv + g * p.cg4;
          }
          float* row = rowBuf.data() + ox0 * ld;
          if (kCols == 3)
            RunTile<3>(t, pm, valid, row, ld);
          else if (kCols == 2)
            RunTile<2>(t, pm, valid, row, ld);
          else
            RunTile<1>(t, pm, valid, row, ld);
        }
      }
    }
    for (int64_t g = 0; g < p.group; ++g)
      for (int64_t m = 0; m < p.mg; ++m) {
        float* out = y + (n * p.group * p.mg + g * p.mg + m) * plane + oy * p.wo;
        const float* src = rowBuf.data() + g * p.blocks * 16 + m;
        for (int64_t ox = 0; ox < p.wo; ++ox) out[ox] = src[ox * ld];
      }
  }
}

#endif  // vector targets

}  // namespace HWY_NAMESPACE
}  // namespace le::int8
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::int8 {

HWY_EXPORT(QuantElemBytes);
HWY_EXPORT(MinMax);
HWY_EXPORT(QuantizeRows);
HWY_EXPORT(ProductRows);

size_t quantElemBytes() { return HWY_DYNAMIC_DISPATCH(QuantElemBytes)(); }

void minMax(const float* x, size_t n, float* lo, float* hi) { HWY_DYNAMIC_DISPATCH(MinMax)(x, n, lo, hi); }

void quantizeRows(const Plan& plan, const float* x, void* q, size_t r0, size_t r1) {
  HWY_DYNAMIC_DISPATCH(QuantizeRows)(plan, x, q, r0, r1);
}

void productRows(const Plan& plan, const void* q, float* y, size_t i0, size_t i1) {
  HWY_DYNAMIC_DISPATCH(ProductRows)(plan, q, y, i0, i1);
}

}  // namespace le::int8
#endif  // HWY_ONCE
